#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace testsupport {

// A one-shot signal between threads: waiters go on once the test opens it, and opening it
// twice is harmless. Every wait is bounded, so a broken queue or a handler nobody releases
// fails its test (or lets a server's shutdown go on) instead of hanging it.
class Gate {
 public:
  void open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    changed_.notify_all();
  }
  // Whether the gate opened within `limit`.
  bool wait(std::chrono::duration<double> limit = std::chrono::seconds(20)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return open_; });
  }
  bool wait(double seconds) { return wait(std::chrono::duration<double>(seconds)); }
  bool isOpen() const {
    std::lock_guard lock(mutex_);
    return open_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

}  // namespace testsupport
