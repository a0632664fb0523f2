#pragma once

// An HTTP/1.1 server on 127.0.0.1 that keeps every request exactly as it arrived: the head,
// and the body as sent (a chunked body de-chunked, nothing else undone: no multipart parsing,
// no decompression). Each request is answered "got <body length>" (or, with `failFirst`, the
// first one with a 500) and its connection closed.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/recorder.h"

namespace halyardtest {

class RawCaptureServer {
 public:
  struct Capture {
    std::string requestLine;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    std::optional<std::string> header(const std::string& name) const {
      for (const auto& [key, value] : headers) {
        if (key.size() == name.size() &&
            std::equal(key.begin(), key.end(), name.begin(), [](char a, char b) {
              return std::tolower(static_cast<unsigned char>(a)) ==
                     std::tolower(static_cast<unsigned char>(b));
            })) {
          return value;
        }
      }
      return std::nullopt;
    }
  };

  RawCaptureServer() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener_, 16);
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    if (pipe(stop_) != 0) std::abort();
    thread_ = std::thread([this] { run(); });
  }
  ~RawCaptureServer() {
    [[maybe_unused]] auto written = write(stop_[1], "x", 1);
    thread_.join();
    close(listener_);
    close(stop_[0]);
    close(stop_[1]);
  }
  RawCaptureServer(const RawCaptureServer&) = delete;
  RawCaptureServer& operator=(const RawCaptureServer&) = delete;

  // Answers the first request with "500 Internal Server Error".
  std::atomic<bool> failFirst{false};

  std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::vector<Capture> captures() const { return captures_.entries(); }

 private:
  void run() {
    while (true) {
      pollfd fds[2] = {{listener_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents) return;
      const int client = accept(listener_, nullptr, nullptr);
      if (client < 0) continue;
      serve(client);
      close(client);
    }
  }

  // Reads until `buffer` holds `wanted` bytes; false when the peer went away first.
  static bool fill(int fd, std::string& buffer, std::size_t wanted) {
    char chunk[65536];
    while (buffer.size() < wanted) {
      const ssize_t n = read(fd, chunk, sizeof chunk);
      if (n <= 0) return false;
      buffer.append(chunk, static_cast<std::size_t>(n));
    }
    return true;
  }
  static bool fillUntil(int fd, std::string& buffer, const std::string& marker, std::size_t from,
                        std::size_t& at) {
    char chunk[65536];
    while ((at = buffer.find(marker, from)) == std::string::npos) {
      const ssize_t n = read(fd, chunk, sizeof chunk);
      if (n <= 0) return false;
      buffer.append(chunk, static_cast<std::size_t>(n));
    }
    return true;
  }

  void serve(int fd) {
    std::string buffer;
    std::size_t headEnd = 0;
    if (!fillUntil(fd, buffer, "\r\n\r\n", 0, headEnd)) return;
    Capture capture;
    std::size_t lineStart = 0;
    bool first = true;
    while (lineStart < headEnd) {
      const std::size_t lineEnd = buffer.find("\r\n", lineStart);
      const std::string line = buffer.substr(lineStart, lineEnd - lineStart);
      lineStart = lineEnd + 2;
      if (first) {
        capture.requestLine = line;
        first = false;
        continue;
      }
      const auto colon = line.find(':');
      if (colon == std::string::npos) continue;
      std::size_t valueStart = colon + 1;
      while (valueStart < line.size() && line[valueStart] == ' ')
        ++valueStart;
      capture.headers.emplace_back(line.substr(0, colon), line.substr(valueStart));
    }
    std::size_t position = headEnd + 4;
    if (auto length = capture.header("Content-Length")) {
      const std::size_t size = std::strtoull(length->c_str(), nullptr, 10);
      if (!fill(fd, buffer, position + size)) return;
      capture.body = buffer.substr(position, size);
    } else if (capture.header("Transfer-Encoding") == "chunked") {
      while (true) {
        std::size_t sizeEnd = 0;
        if (!fillUntil(fd, buffer, "\r\n", position, sizeEnd)) return;
        const std::size_t size =
            std::strtoull(buffer.substr(position, sizeEnd - position).c_str(), nullptr, 16);
        position = sizeEnd + 2;
        if (!fill(fd, buffer, position + size + 2)) return;
        capture.body += buffer.substr(position, size);
        position += size + 2;
        if (size == 0) break;
      }
    }
    const std::string answer = "got " + std::to_string(capture.body.size());
    const bool isFirst = captures_.add(std::move(capture)) == 0;
    const std::string status = isFirst && failFirst ? "500 Internal Server Error" : "200 OK";
    const std::string response =
        "HTTP/1.1 " + status +
        "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(answer.size()) +
        "\r\nConnection: close\r\n\r\n" + answer;
    [[maybe_unused]] auto sent = write(fd, response.data(), response.size());
  }

  int listener_ = -1;
  int stop_[2] = {-1, -1};
  int port_ = 0;
  std::thread thread_;
  testsupport::Recorder<Capture> captures_;
};

}  // namespace halyardtest
