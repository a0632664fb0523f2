#pragma once

// An HTTP server on 127.0.0.1 for integration tests, serving on its own thread for the life of
// the object.

#include <httplib.h>

#include <string>
#include <thread>

namespace testsupport {

class HttpTestServer {
 public:
  // With `onePerConnection`, every connection carries one request, so `stop` never waits for
  // an idle kept-alive connection to time out.
  explicit HttpTestServer(bool onePerConnection = false) {
    if (onePerConnection) server_.set_keep_alive_max_count(1);
  }
  ~HttpTestServer() { stop(); }
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  httplib::Server& server() { return server_; }

  // Binds to a free port and starts serving. Returns the base URL ("http://127.0.0.1:N").
  std::string start() {
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // `stop` only reaches a loop that is running: wait for it, or a quick test would leave
    // the loop blocked in accept() for good.
    while (!server_.is_running())
      std::this_thread::yield();
    return baseURL();
  }
  void stop() {
    if (thread_.joinable()) {
      server_.stop();
      thread_.join();
    }
  }
  std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
};

}  // namespace testsupport
