#include "platform/dispatch/timer_thread.h"

#include <pthread.h>

namespace platform {
namespace dispatch_detail {

void TimerThread::run() {
  pthread_setname_np(pthread_self(), "tovarine-timer");
  std::unique_lock lock(mutex_);
  for (;;) {
    if (entries_.empty()) {
      cv_.wait(lock);
      continue;
    }
    auto due = entries_.front().due;
    if (Clock::now() < due) {
      cv_.wait_until(lock, due);
      continue;
    }
    std::pop_heap(entries_.begin(), entries_.end(), Later{});
    Entry entry = std::move(entries_.back());
    entries_.pop_back();
    lock.unlock();
    entry.queue->async(std::move(entry.job));
    entry = Entry{};
    lock.lock();
  }
}

}  // namespace dispatch_detail
}  // namespace platform
