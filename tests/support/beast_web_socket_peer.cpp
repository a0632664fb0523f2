#include "support/beast_web_socket_peer.h"

#include <sys/socket.h>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <chrono>
#include <mutex>
#include <thread>

namespace testing_support {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace asio = boost::asio;
using tcp = asio::ip::tcp;

struct BeastEchoServer::State {
  Options options;
  asio::io_context io;
  tcp::acceptor acceptor{io};
  std::thread acceptThread;
  std::mutex mutex;
  std::vector<std::thread> connections;
  std::vector<std::string> received;
  std::vector<std::string> closes;
  std::vector<int> sockets;  // of the connections, to end them when the server goes
  bool stopping = false;

  void serve(tcp::socket socket) {
    try {
      beast::flat_buffer buffer;
      http::request<http::string_body> request;
      http::read(socket, buffer, request);
      websocket::stream<tcp::socket> ws(std::move(socket));
      ws.read_message_max(std::uint64_t{1} << 31);
      const std::string offered(request[http::field::sec_websocket_protocol]);
      if (options.subprotocol && offered.find(*options.subprotocol) != std::string::npos) {
        ws.set_option(websocket::stream_base::decorator(
            [p = *options.subprotocol](websocket::response_type& response) {
              response.set(http::field::sec_websocket_protocol, p);
            }));
      }
      ws.accept(request);
      while (true) {
        beast::flat_buffer message;
        beast::error_code error;
        ws.read(message, error);
        if (error) {
          std::lock_guard lock(mutex);
          closes.push_back("closed:" + std::to_string(ws.reason().code) + ":" +
                           std::string(ws.reason().reason.c_str()));
          return;
        }
        const bool text = ws.got_text();
        const std::string payload = beast::buffers_to_string(message.data());
        if (options.record) {
          std::lock_guard lock(mutex);
          received.push_back(text ? "t:" + payload : "b:" + std::to_string(payload.size()));
        }
        if (text && payload.starts_with("close:")) {
          const auto colon = payload.find(':', 6);
          const auto code =
              static_cast<websocket::close_code>(std::stoi(payload.substr(6, colon - 6)));
          ws.close(websocket::close_reason(code, payload.substr(colon + 1)));
          // The client's answer ends the read loop with "closed".
          continue;
        }
        if (options.silent) continue;
        ws.text(text);
        if (!options.fragmentWithPings || payload.empty()) {
          ws.write(message.data());
          continue;
        }
        for (std::size_t i = 0; i < payload.size(); ++i) {
          ws.write_some(i + 1 == payload.size(), asio::buffer(payload.data() + i, 1));
          if (i + 1 < payload.size()) ws.ping({});
        }
      }
    } catch (const std::exception&) {
      // The client went away; nothing to report.
    }
  }
};

BeastEchoServer::BeastEchoServer(Options options) : state_(std::make_shared<State>()) {
  state_->options = std::move(options);
  tcp::endpoint endpoint(asio::ip::address_v4::loopback(), 0);
  state_->acceptor.open(endpoint.protocol());
  state_->acceptor.set_option(asio::socket_base::reuse_address(true));
  state_->acceptor.bind(endpoint);
  state_->acceptor.listen();
  state_->acceptThread = std::thread([state = state_.get()] {
    while (true) {
      beast::error_code error;
      tcp::socket socket(state->io);
      state->acceptor.accept(socket, error);
      std::lock_guard lock(state->mutex);
      if (error || state->stopping) return;
      state->sockets.push_back(socket.native_handle());
      state->connections.emplace_back(
          [state, s = std::move(socket)]() mutable { state->serve(std::move(s)); });
    }
  });
}

BeastEchoServer::~BeastEchoServer() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  // Wake the accept with a connection of our own.
  {
    beast::error_code ignored;
    tcp::socket poke(state_->io);
    poke.connect(
        tcp::endpoint(asio::ip::address_v4::loopback(), static_cast<unsigned short>(port())),
        ignored);
  }
  state_->acceptThread.join();
  for (int socket : state_->sockets)
    ::shutdown(socket, SHUT_RDWR);
  for (auto& thread : state_->connections)
    thread.join();
}

int BeastEchoServer::port() const {
  return state_->acceptor.local_endpoint().port();
}

std::vector<std::string> BeastEchoServer::received() const {
  std::lock_guard lock(state_->mutex);
  return state_->received;
}

std::vector<std::string> BeastEchoServer::closes() const {
  std::lock_guard lock(state_->mutex);
  return state_->closes;
}

double beastEchoRun(int port, std::size_t count, std::size_t size, bool binary) {
  try {
    asio::io_context io;
    websocket::stream<tcp::socket> ws(io);
    ws.next_layer().connect(
        tcp::endpoint(asio::ip::address_v4::loopback(), static_cast<unsigned short>(port)));
    ws.handshake("127.0.0.1", "/");
    ws.read_message_max(std::uint64_t{1} << 31);
    ws.binary(binary);
    const std::string payload(size, 'a');
    const auto start = std::chrono::steady_clock::now();
    beast::flat_buffer buffer;
    for (std::size_t i = 0; i < count; ++i) {
      ws.write(asio::buffer(payload));
      ws.read(buffer);
      buffer.consume(buffer.size());
    }
    const auto end = std::chrono::steady_clock::now();
    ws.close(websocket::close_code::normal);
    return std::chrono::duration<double>(end - start).count();
  } catch (const std::exception&) {
    return -1;
  }
}

}  // namespace testing_support
