#pragma once

// An HTTP server on 127.0.0.1 for the client's integration tests, serving on its own thread for
// the life of the object.

#include <httplib.h>

#include <string>
#include <thread>

namespace halyardtest {

class TestServer {
 public:
  // One request per connection: a kept-alive connection would hold `stop` up for the server's
  // keep-alive time-out.
  TestServer() { server_.set_keep_alive_max_count(1); }
  ~TestServer() { stop(); }
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  httplib::Server& server() { return server_; }

  // Binds to a free port and starts serving; answers the base URL ("http://127.0.0.1:N").
  std::string start() {
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // `stop` does nothing to a server whose loop has not started yet, so wait for the loop.
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

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
};

}  // namespace halyardtest
