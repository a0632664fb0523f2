#pragma once

// An HTTP server on 127.0.0.1 for integration tests, running on its own thread for the life of
// the object, and a gate a handler can wait on until the test lets it go on.

#include <httplib.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace nettest {

class TestServer {
 public:
  TestServer() = default;
  ~TestServer() { stop(); }

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

// A one-way latch: handlers wait until the test opens it. Opening it twice is harmless.
class Gate {
 public:
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  void wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return open_; });
  }
  bool isOpen() const {
    std::lock_guard lock(mutex_);
    return open_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

// A flag set from a server thread and read by the test.
class Flag {
 public:
  void set() {
    std::lock_guard lock(mutex_);
    set_ = true;
  }
  bool isSet() const {
    std::lock_guard lock(mutex_);
    return set_;
  }

 private:
  mutable std::mutex mutex_;
  bool set_ = false;
};

}  // namespace nettest
