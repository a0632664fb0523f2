#pragma once

// A raw TCP server on 127.0.0.1 that plays a web-socket server from a script: it reads the
// upgrade request, writes whatever bytes the script gives, and reads the client's frames with
// the independent reader of web_socket_frames.h. Each accepted connection runs the script on
// the server's thread.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/web_socket_frames.h"

namespace testing_support {

class ScriptedPeer {
 public:
  explicit ScriptedPeer(int fd) : fd_(fd) {}

  // The upgrade request head, read up to its blank line.
  std::string readRequest() {
    while (true) {
      std::string text(buffer_.begin(), buffer_.end());
      if (auto end = text.find("\r\n\r\n"); end != std::string::npos) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(end + 4));
        request_ = text.substr(0, end + 4);
        return request_;
      }
      if (!fill()) return {};
    }
  }
  // A request field's value, by name without regard to case.
  std::string field(std::string_view name) const {
    std::string lowerRequest = lower(request_);
    const std::string needle = "\r\n" + lower(std::string(name)) + ":";
    auto at = lowerRequest.find(needle);
    if (at == std::string::npos) return {};
    at += needle.size();
    while (request_[at] == ' ')
      ++at;
    return request_.substr(at, request_.find("\r\n", at) - at);
  }
  // The answer a well-behaved server gives, with `extra` header lines.
  std::string acceptance(const std::string& extra = "") const {
    return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Accept: " +
           accept(field("Sec-WebSocket-Key")) + "\r\n" + extra + "\r\n";
  }
  void write(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  void write(const std::vector<std::uint8_t>& bytes) {
    write(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  }
  // The client's next frame; none when the connection ended or nothing came in time.
  std::optional<TestFrame> readFrame() {
    while (true) {
      if (auto frame = takeFrame(buffer_)) return frame;
      if (!fill()) return std::nullopt;
    }
  }
  // Waits until the client ends the connection; false when it did not in time.
  bool awaitEnd() {
    while (fill()) {
    }
    return ended_;
  }
  // The connection itself, for scripts that write without blocking.
  int fd() const { return fd_; }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  ~ScriptedPeer() { close(); }

  static std::string accept(const std::string& key);

 private:
  static std::string lower(std::string text) {
    for (char& c : text)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  }
  bool fill() {
    if (fd_ < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) return false;
    char chunk[65536];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) {
      ended_ = true;
      return false;
    }
    buffer_.insert(buffer_.end(), chunk, chunk + n);
    return true;
  }
  int fd_;
  bool ended_ = false;
  std::vector<std::uint8_t> buffer_;
  std::string request_;
};

class ScriptedWebSocketServer {
 public:
  explicit ScriptedWebSocketServer(std::function<void(ScriptedPeer&)> script)
      : script_(std::move(script)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 8);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] {
      while (!stopping_) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) continue;
        ScriptedPeer peer(fd);
        script_(peer);
        connections_++;
      }
    });
  }
  ~ScriptedWebSocketServer() {
    stopping_ = true;
    thread_.join();
    ::close(listener_);
  }
  int port() const { return port_; }
  std::string url(const std::string& path = "/") const {
    return "ws://127.0.0.1:" + std::to_string(port_) + path;
  }
  int connections() const { return connections_; }

 private:
  std::function<void(ScriptedPeer&)> script_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
};

inline std::string ScriptedPeer::accept(const std::string& key) {
  const std::string input = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(input.data(), input.size(), digest, &length, EVP_sha1(), nullptr);
  std::string out(64, '\0');
  out.resize(static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                                      digest, static_cast<int>(length))));
  return out;
}

}  // namespace testing_support
