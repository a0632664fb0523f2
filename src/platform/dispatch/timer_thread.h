#pragma once

// The one thread that keeps every queue's delayed calls. Nothing outside src/platform/dispatch
// includes this.
//
// Delayed calls for every queue are kept by one thread, ordered by due time and then by
// submission, and handed to their queue when due.
//
// Why no delayed call is ever left waiting past its time:
//
// Who may sleep. Only the timer thread, and only inside `cv_.wait` (no entries) or
// `cv_.wait_until` the earliest due time (the earliest entry not due yet). It decides which
// under `mutex_`, from `entries_`, and the wait gives the mutex back in the same step as it
// registers the thread as a waiter on `cv_`, so there is no moment in which the thread has
// looked at `entries_`, no longer holds the lock, and is not yet a waiter.
//
// Who wakes whom. `schedule` pushes its entry under `mutex_` and then notifies `cv_` once,
// after the unlock (so the woken thread does not go straight back to sleep on the mutex); the
// timer thread is the only waiter, so `notify_one` reaches it. A due time ends `wait_until` by
// itself.
//
// Why no wake-up is lost. A push needs the mutex, which the timer thread gives up only inside a
// wait or while it hands a due entry over. A push made before the thread's next look at
// `entries_` is seen by that look; a push made while the thread waits is followed by a notify
// that ends the wait, since the thread became a waiter before the push could take the mutex. A
// notify that finds the thread not waiting (handing an entry over, or just woken) does nothing,
// and need not: the thread looks at `entries_` again under the mutex before every wait. A new
// entry due earlier than the one waited for ends the wait the same way, and the loop then waits
// for the new top of the heap. Early returns and time-outs go round the same loop, and so
// look again before any sleep.
// The thread is started inside the critical section of the first push and takes the mutex
// first thing, so it sees every entry pushed before it ran. Due times are on `steady_clock`,
// which `wait_until` waits on as such, so a change of the wall clock neither stretches nor
// shortens a wait.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"

namespace platform {
namespace dispatch_detail {

class TimerThread {
 public:
  using Clock = std::chrono::steady_clock;

  void schedule(double seconds, DispatchQueuePtr queue, std::function<void()> job) {
    auto due = Clock::now() +
               std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    {
      std::lock_guard lock(mutex_);
      entries_.push_back(Entry{due, nextSequence_++, std::move(queue), std::move(job)});
      std::push_heap(entries_.begin(), entries_.end(), Later{});
      if (!started_) {
        started_ = true;
        std::thread([this] { run(); }).detach();
      }
    }
    cv_.notify_one();
  }

  static TimerThread& shared() {
    // Never destroyed: delayed calls may still be due while static destructors run at exit.
    static TimerThread* timer = new TimerThread;
    return *timer;
  }

 private:
  struct Entry {
    Clock::time_point due;
    std::uint64_t sequence;
    DispatchQueuePtr queue;
    std::function<void()> job;
  };
  struct Later {
    bool operator()(const Entry& a, const Entry& b) const {
      return a.due != b.due ? a.due > b.due : a.sequence > b.sequence;
    }
  };

  void run();

  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Entry> entries_;
  std::uint64_t nextSequence_ = 0;
  bool started_ = false;
};

}  // namespace dispatch_detail
}  // namespace platform
