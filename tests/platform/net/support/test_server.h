#pragma once

// The shared HTTP test server, and a gate a handler can wait on until the test lets it go on.

#include "support/http_test_server.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace nettest {

using TestServer = testsupport::HttpTestServer;

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
