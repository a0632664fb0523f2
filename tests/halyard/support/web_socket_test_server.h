#pragma once

// A web-socket server on 127.0.0.1 for the request-level tests, written from RFC 6455 alone
// (handshake §4.2, framing §5.2) so that it shares nothing with the client under test. Each
// connection gets a thread. It records the upgrade request and every client frame, echoes
// data messages, answers pings (unless told not to) and echoes a close. A test can send
// literal frames, a close, or end a connection's TCP without one.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace halyardtest {

class WebSocketTestServer {
 public:
  enum Opcode : std::uint8_t { text = 1, binary = 2, close = 8, ping = 9, pong = 10 };

  struct Frame {
    std::uint8_t opcode;
    std::string payload;
  };

  struct Connection {
    std::string requestHead;
    std::vector<Frame> frames;  // what the client sent, in order
    int fd = -1;
    std::mutex writeMutex;
    bool ended = false;

    // The values of every header field named `name` (any case), in order.
    std::vector<std::string> headerValues(const std::string& name) const {
      std::vector<std::string> values;
      std::size_t start = requestHead.find("\r\n") + 2;
      while (start < requestHead.size()) {
        const std::size_t end = requestHead.find("\r\n", start);
        const std::string line = requestHead.substr(start, end - start);
        start = end + 2;
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos || colon != name.size()) continue;
        if (!std::equal(name.begin(), name.end(), line.begin(), [](char a, char b) {
              return std::tolower(static_cast<unsigned char>(a)) ==
                     std::tolower(static_cast<unsigned char>(b));
            })) {
          continue;
        }
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        values.push_back(value);
      }
      return values;
    }
  };

  // How the upgrade is answered; set before the client connects.
  struct Options {
    // Anything but 101 is answered with this status and a short body, then the TCP ends.
    int status = 101;
    // Chooses the first protocol the client offers.
    bool chooseProtocol = true;
    bool answerPings = true;
    bool echo = true;
  };

  WebSocketTestServer() : WebSocketTestServer(Options()) {}
  explicit WebSocketTestServer(Options options) : options_(options) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 64) != 0) {
      std::abort();
    }
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
  }
  ~WebSocketTestServer() {
    stopping_ = true;
    shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    std::unique_lock lock(mutex_);
    for (auto& connection : connections_)
      if (!connection->ended) shutdown(connection->fd, SHUT_RDWR);
    // Connection threads are detached, so a long run does not keep every finished one.
    threadsDone_.wait(lock, [&] { return live_ == 0; });
    lock.unlock();
    ::close(listener_);
  }
  WebSocketTestServer(const WebSocketTestServer&) = delete;
  WebSocketTestServer& operator=(const WebSocketTestServer&) = delete;

  std::string url(const std::string& path = "/socket") const {
    return "ws://127.0.0.1:" + std::to_string(port_) + path;
  }
  void setOptions(Options options) {
    std::lock_guard lock(mutex_);
    options_ = options;
  }

  std::size_t connectionCount() const {
    std::lock_guard lock(mutex_);
    return connections_.size();
  }
  // A copy of what connection `index` (in accept order) received so far.
  std::string requestHead(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return connections_.at(index)->requestHead;
  }
  std::vector<std::string> headerValues(std::size_t index, const std::string& name) const {
    std::lock_guard lock(mutex_);
    return connections_.at(index)->headerValues(name);
  }
  std::vector<Frame> frames(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return connections_.at(index)->frames;
  }
  std::size_t count(std::size_t index, std::uint8_t opcode) const {
    std::lock_guard lock(mutex_);
    const auto& frames = connections_.at(index)->frames;
    return std::size_t(std::count_if(frames.begin(), frames.end(),
                                     [&](const Frame& f) { return f.opcode == opcode; }));
  }
  bool ended(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return connections_.at(index)->ended;
  }

  // Sends one unfragmented frame to connection `index`.
  void send(std::size_t index, std::uint8_t opcode, const std::string& payload) {
    writeFrame(connection(index), opcode, payload);
  }
  void sendClose(std::size_t index, std::uint16_t code, const std::string& reason) {
    std::string payload{char(code >> 8), char(code & 0xff)};
    send(index, close, payload + reason);
  }
  // Ends the TCP connection without a close frame.
  void drop(std::size_t index) {
    std::lock_guard lock(mutex_);
    const auto& connection = connections_.at(index);
    if (!connection->ended) shutdown(connection->fd, SHUT_RDWR);
  }

 private:
  std::shared_ptr<Connection> connection(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return connections_.at(index);
  }

  void acceptLoop() {
    while (!stopping_) {
      const int fd = accept(listener_, nullptr, nullptr);
      if (fd < 0) return;
      auto connection = std::make_shared<Connection>();
      connection->fd = fd;
      std::lock_guard lock(mutex_);
      connections_.push_back(connection);
      ++live_;
      std::thread([this, connection, options = options_] {
        serve(*connection, options);
        std::lock_guard lock(mutex_);
        --live_;
        threadsDone_.notify_all();
      }).detach();
    }
  }

  static bool readExactly(int fd, std::string& out, std::size_t count) {
    out.resize(count);
    std::size_t done = 0;
    while (done < count) {
      const ssize_t n = recv(fd, out.data() + done, count - done, 0);
      if (n <= 0) return false;
      done += std::size_t(n);
    }
    return true;
  }
  static void writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return;
      done += std::size_t(n);
    }
  }
  static void writeFrame(const std::shared_ptr<Connection>& connection, std::uint8_t opcode,
                         const std::string& payload) {
    std::string frame{char(0x80 | opcode)};
    const std::uint64_t length = payload.size();
    if (length < 126) {
      frame += char(length);
    } else if (length <= 0xffff) {
      frame += char(126);
      frame += char(length >> 8);
      frame += char(length & 0xff);
    } else {
      frame += char(127);
      for (int shift = 56; shift >= 0; shift -= 8)
        frame += char((length >> shift) & 0xff);
    }
    std::lock_guard lock(connection->writeMutex);
    if (connection->fd >= 0) writeAll(connection->fd, frame + payload);
  }

  static std::string acceptFor(const std::string& key) {
    const std::string input = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(input.data(), input.size(), digest, &size, EVP_sha1(), nullptr);
    unsigned char encoded[64];
    const int written = EVP_EncodeBlock(encoded, digest, int(size));
    return std::string(reinterpret_cast<char*>(encoded), std::size_t(written));
  }

  void serve(Connection& connection, Options options) {
    const int fd = connection.fd;
    std::string head;
    char byte;
    while (head.find("\r\n\r\n") == std::string::npos) {
      if (recv(fd, &byte, 1, 0) != 1) return finish(connection);
      head += byte;
    }
    {
      std::lock_guard lock(mutex_);
      connection.requestHead = head;
    }
    if (options.status != 101) {
      const std::string body = "no socket here";
      writeAll(fd, "HTTP/1.1 " + std::to_string(options.status) + " Refused\r\nContent-Length: " +
                       std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
      shutdown(fd, SHUT_WR);
      return finish(connection);
    }
    const auto keys = connection.headerValues("Sec-WebSocket-Key");
    std::string answer =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Accept: " +
        acceptFor(keys.empty() ? "" : keys.front()) + "\r\n";
    const auto offered = connection.headerValues("Sec-WebSocket-Protocol");
    if (options.chooseProtocol && !offered.empty()) {
      answer += "Sec-WebSocket-Protocol: " + offered.front().substr(0, offered.front().find(','));
      answer += "\r\n";
    }
    {
      std::lock_guard lock(connection.writeMutex);
      writeAll(fd, answer + "\r\n");
    }
    auto shared = this->connection(indexOf(connection));
    std::string message;
    std::uint8_t messageOpcode = 0;
    for (;;) {
      std::string header;
      if (!readExactly(fd, header, 2)) break;
      const bool fin = header[0] & 0x80;
      const std::uint8_t opcode = header[0] & 0x0f;
      std::uint64_t length = std::uint8_t(header[1]) & 0x7f;
      std::string extended;
      if (length == 126 || length == 127) {
        if (!readExactly(fd, extended, length == 126 ? 2 : 8)) break;
        length = 0;
        for (char c : extended)
          length = (length << 8) | std::uint8_t(c);
      }
      std::string mask, payload;
      if (!(header[1] & 0x80) || !readExactly(fd, mask, 4) || !readExactly(fd, payload, length)) {
        break;
      }
      for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = char(payload[i] ^ mask[i % 4]);
      if (opcode >= close) {
        {
          std::lock_guard lock(mutex_);
          connection.frames.push_back({opcode, payload});
        }
        if (opcode == ping && options.answerPings) writeFrame(shared, pong, payload);
        if (opcode == close) {
          writeFrame(shared, close, payload.substr(0, 2));
          shutdown(fd, SHUT_WR);
        }
        continue;
      }
      if (opcode != 0) messageOpcode = opcode;
      message += payload;
      if (!fin) continue;
      {
        std::lock_guard lock(mutex_);
        connection.frames.push_back({messageOpcode, message});
      }
      if (options.echo) writeFrame(shared, messageOpcode, message);
      message.clear();
    }
    finish(connection);
  }

  std::size_t indexOf(const Connection& connection) const {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < connections_.size(); ++i)
      if (connections_[i].get() == &connection) return i;
    std::abort();
  }
  void finish(Connection& connection) {
    std::lock_guard writing(connection.writeMutex);
    std::lock_guard lock(mutex_);
    connection.ended = true;
    ::close(connection.fd);
    connection.fd = -1;
  }

  Options options_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Connection>> connections_;
  std::size_t live_ = 0;
  std::condition_variable threadsDone_;
};

}  // namespace halyardtest
