#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace platform::testing {

// A one-shot signal between threads. Waits are bounded so a broken queue fails the test
// instead of hanging it.
class Gate {
 public:
  void open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    cv_.notify_all();
  }
  bool wait(double seconds = 10.0) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return open_; });
  }
  bool isOpen() {
    std::lock_guard lock(mutex_);
    return open_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

}  // namespace platform::testing
