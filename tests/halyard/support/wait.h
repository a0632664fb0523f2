#pragma once

// Waiting helpers for the integration tests: the main queue is drained while waiting, so
// completions delivered there (the default) run.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "platform/dispatch/main_queue.h"

namespace halyardtest {

inline bool waitUntil(const std::function<bool()>& condition, double seconds = 10) {
  return platform::runMainUntil(condition, seconds);
}

// A one-way latch a server handler can wait on until the test opens it; it lets go by itself
// after `limit` so that a failing test cannot hang the server's shutdown.
class Gate {
 public:
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  void wait(std::chrono::seconds limit = std::chrono::seconds(20)) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

}  // namespace halyardtest
