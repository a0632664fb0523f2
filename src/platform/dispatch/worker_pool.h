#pragma once

// The threads behind the global queues. Nothing outside src/platform/dispatch includes this.
//
// A pool of threads shared by the global queues of one priority. At most `limit` threads run
// work at once; threads that wait inside `sync` (or similar) don't count, so waiting on work
// that needs a thread of the same pool cannot starve it.
//
// A worker that runs out of work spins for a moment (see spin_wait.h), one at a time, before it
// parks; a submit wakes a parked worker only for the items the spinner cannot take, or when the
// spinner has stepped away from its beacon (offering its core, or about to park), and not for
// an item its own worker submits on its way back to the list.
//
// Each parked worker sleeps on its own `Parker`, and the parked workers form a stack: a submit
// that needs a thread takes the one parked last (its cache is the warmest), counts it as waking,
// and wakes exactly that one after letting go of the lock. Nothing is asked of the kernel when
// no worker is parked, and a woken worker takes the lock like any other thread (see parking.h).
//
// Why no item is ever left in the list with nobody coming for it:
//
// Who may sleep. Only a worker, and only on its own parker, and only after the one critical
// section in which it saw `tasks_` empty and pushed itself on `parked_`. Its spin is no sleep:
// it lasts a bounded while (spin_wait.h), holds no lock, and is always followed by the lock.
//
// Who wakes whom. Only `submit`, and only the worker on top of `parked_`: in the critical
// section that pushes the task it pops that worker and counts it in `waking_`; it calls
// `unpark` after the unlock. Nothing else takes a worker off `parked_`.
//
// Call a thread of the pool a looker when it is sure to take the lock and test `tasks_` before
// it can park again. Every thread not on `parked_` is one: a worker that ran a task takes the
// lock again after it; a woken worker takes it, gives up its count in `waking_` and tests
// `tasks_` in the same critical section; a spinner takes it and tests `tasks_` before it may push
// itself on `parked_`, and stays counted in `spinning_` until then; a new thread takes it first
// thing. (A worker inside a `BlockingRegion` is running a task: a looker, only a late one.) A
// looker that finds a task takes it and, having run it, looks again, so one look after a push
// is enough for the list to drain; how many lookers come decides how many tasks run at once,
// not whether they run.
//
// Every look is under the lock, so a thread that submit sees (under the lock) as waking,
// spinning or not parked looks after the push. When submit leaves its critical section, either
// - it popped a parked worker, which looks once woken; or
// - it woke none because `parked_` was empty: then every thread is a looker, and while fewer
//   than `limit` of them are outside blocking regions `maybeSpawnLocked` starts one more
//   whenever the tasks outnumber `waking_ + spinning_`, so a looker that is not blocked comes
//   (the new thread, a woken worker or the spinner); at the limit, `limit` such lookers exist;
//   or
// - the task was covered: `queued <= waking_ + spinning_ + callerLooks` with `queued >= 1`, so
//   a woken worker, the spinner or the caller is still to look. The caller counts only when it
//   is a worker of this pool submitting as the last act of its task (a serial queue's drain
//   handing on the rest of its list): once that task returns it takes the lock and tests
//   `tasks_` before it may park, like any worker that ran a task.
// The one way out is a failed thread start while every thread waits in a blocking region: the
// task then waits for one of them to come back (with no thread at all, the program stops).
//
// The wake-up itself cannot be lost: a `Parker` keeps an `unpark` made before its `park`, which
// then returns at once (the worker may not have reached `park` when submit pops it). Each push on
// `parked_` is matched by exactly one pop and one `unpark`, so a parker never holds a stale
// wake-up that would let a worker leave `park` uncounted in `waking_`, and every decrement of
// `waking_` matches a submit's increment.
//
// The beacon is about latency, not about loss: the spinner counted in `spinning_` looks whatever
// the beacon says. It only lets submit leave one more task to the spinner while the spinner is
// still watching `queued_`. Submit stores `queued_` and then reads the beacon; the spinner
// clears the beacon and then reads `queued_` once more before it offers its core or stops (both
// sequentially consistent). So either submit sees the cleared beat and wakes a parked worker, or
// the spinner sees the task without giving its core away first. The stores of `queued_` after a
// pop are relaxed but made under the lock: a smaller value the spinner reads means a worker took
// the task.

#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/parking.h"
#include "platform/dispatch/spin_wait.h"

namespace platform {

class DispatchQueue;

namespace dispatch_detail {

class WorkerPool {
 public:
  WorkerPool(std::string name, int limit) : name_(std::move(name)), limit_(limit) {}

  // What the submitting thread does next. `looksNext`: it is a worker of this pool whose task
  // returns right after this submit, so it takes the lock and looks at the list before it can
  // park (a looker, see above), and the item is covered by it as by a waking worker. Said by a
  // thread that is not one of this pool's workers, it means nothing.
  enum class Caller { goesOn, looksNext };

  // Runs `job` as an item of `queue` (a global queue, which outlives the pool's work).
  //
  // Defined here so that the global queues' enqueue can inline it: it is the hot path of every
  // hand-off onto the pool.
  void submit(const DispatchQueue* queue, std::function<void()> job,
              Caller caller = Caller::goesOn) {
    Worker* wake = nullptr;
    const std::size_t callerLooks = caller == Caller::looksNext && tlsCurrent == this ? 1 : 0;
    {
      auto lock = lockBriefly(mutex_);
      tasks_.push_back(Task{queue, std::move(job)});
      const std::size_t queued = tasks_.size();
      queued_.store(queued, std::memory_order_seq_cst);  // before the beacon is read
      // Each waking worker takes one item, and so does a caller that looks next; the spinner
      // one more while it is at its beacon.
      const std::size_t sure = waking_ + callerLooks;
      const bool uncovered = queued > sure + spinning_ || (queued > sure && !beacon_.fresh());
      if (uncovered && !parked_.empty()) {
        wake = parked_.back();
        parked_.pop_back();
        ++waking_;
      }
      maybeSpawnLocked(callerLooks);
    }
    if (wake) wake->parker.unpark();
  }

  void enterBlocking();
  void leaveBlocking();

  // The pool whose worker the calling thread is, if any.
  static WorkerPool* current() { return tlsCurrent; }

 private:
  static constexpr std::size_t kMaxSpinning = 1;

  // A worker's parking place. Kept for the life of the pool, since a waker may still be inside
  // `unpark` when the worker it woke retires; a thread started later reuses it.
  struct Worker {
    Parker parker;
  };

  // The item and the queue it belongs to, side by side rather than wrapped in one more
  // function (which would cost a block of memory per hand-off).
  struct Task {
    const DispatchQueue* queue;
    std::function<void()> job;
  };

  // Starts one more thread when the queued tasks outnumber the threads sure to come for them
  // (`lookers`: callers that look next, beside the parked, waking and spinning workers).
  void maybeSpawnLocked(std::size_t lookers = 0);
  void run(Worker& self);

  static thread_local WorkerPool* tlsCurrent;

  const std::string name_;
  const int limit_;
  std::mutex mutex_;
  std::deque<Task> tasks_;
  // The length of `tasks_`, for spinning workers to watch without taking the lock.
  std::atomic<std::size_t> queued_{0};
  SpinBeacon beacon_;
  // A worker waits for whatever comes next to the pool, often a whole request's round trip
  // away: it spins about as long as a wake-up would cost it at most, and next to nothing once
  // its spins keep missing (one request at a time going round the client's threads).
  SpinBudget spinBudget_{SpinBudget::kLeastNanos, 2'000};
  std::vector<std::unique_ptr<Worker>> records_;  // every worker's, never freed
  std::vector<Worker*> spare_;                    // not in use by a thread
  std::vector<Worker*> parked_;                   // last parked on top
  int threads_ = 0;
  std::size_t waking_ = 0;    // taken off `parked_` by a submit, not yet back under the lock
  std::size_t spinning_ = 0;  // workers between the spin and the lock again; see `submit`
  int blocked_ = 0;
};

// The pools live for the whole process and are never destroyed: work may still be running on
// them while static destructors run at exit.
WorkerPool& defaultPool();
WorkerPool& highPool();

}  // namespace dispatch_detail
}  // namespace platform
