#pragma once

// Putting a thread to sleep until another hands it work, for the dispatch runtime's hand-offs.
//
// Why not std::condition_variable: on this kind of machine a system call costs about a
// microsecond and a context switch far more, and a condition variable spends calls a hand-off
// does not need. A notify is a call whenever anyone waits on the variable, even when the waker
// wanted one particular sleeper; the mutex a wait gives back is taken again marked "contended"
// (glibc cannot know whether others sleep on it), so the next unlock of that mutex is one more
// wake-up call although nobody sleeps on it; and a notify made while the woken thread has to
// take the notifier's mutex makes it sleep once more. Here a sleeper waits on a word of its own,
// its waker asks the kernel only when that sleeper is (about to be) asleep, and the woken thread
// needs no lock to learn that it was woken.

#include <atomic>
#include <cstdint>

namespace platform {
namespace parking {

// The kernel's wait on one word: sleeps while `word` holds `expected`, until woken or, for a
// deadline >= 0, until CLOCK_MONOTONIC reaches `deadlineNanos`. May return early for no reason:
// callers look at their word again.
void wait(std::atomic<std::uint32_t>& word, std::uint32_t expected,
          std::int64_t deadlineNanos = -1);
// Wakes one thread, or all threads, asleep in `wait` on `word`.
void wakeOne(std::atomic<std::uint32_t>& word);
void wakeAll(std::atomic<std::uint32_t>& word);

}  // namespace parking

// Where one thread sleeps until another wakes it. An `unpark` made before the `park` it was
// meant for is not lost: that `park` returns at once. Only the owning thread parks; any thread
// may unpark. Unparking a thread that is not asleep costs no system call.
class Parker {
 public:
  // Returns once `unpark` has been called since the last return.
  void park() { parkUntil(-1); }
  // Like `park`, but gives up when CLOCK_MONOTONIC reaches `deadlineNanos` (< 0: never);
  // true when woken by `unpark`.
  bool parkUntil(std::int64_t deadlineNanos);
  void unpark();

 private:
  // Parking subtracts one, so that a wake-up that came first is taken in the same step.
  static constexpr std::uint32_t kEmpty = 0;
  static constexpr std::uint32_t kNotified = 1;
  static constexpr std::uint32_t kParked = kEmpty - 1;
  std::atomic<std::uint32_t> state_{kEmpty};
};

// Wakes the threads that wait for some shared state to change, where the state lives elsewhere
// and every waiter looks at it itself (for a list with more than one possible waiter). A waiter
// takes a ticket, looks at the state, and sleeps on the ticket only when there is nothing for
// it; a ring after the ticket was taken ends that sleep, or keeps it from starting. A ring costs
// a system call only when a waiter went to sleep since the last ring (or timed out of a sleep).
//
// The state must be published before `ring` and read after `ticket`, both sequentially
// consistent (or under a lock), so that a waiter sees the change or its ticket is out of date.
class Doorbell {
 public:
  std::uint32_t ticket() const { return rings_.load(std::memory_order_seq_cst) & ~kSleeper; }
  // Sleeps until a ring after `ticket` was taken, or until the deadline (see `parking::wait`).
  void wait(std::uint32_t ticket, std::int64_t deadlineNanos = -1);
  void ring() {
    std::uint32_t rings = rings_.load(std::memory_order_relaxed);
    // One more ring, and the sleeper mark taken off.
    while (!rings_.compare_exchange_weak(rings, (rings | kSleeper) + 1, std::memory_order_seq_cst))
      ;
    if (rings & kSleeper) parking::wakeAll(rings_);
  }

 private:
  // The low bit of `rings_` marks that a waiter sleeps (or is about to); the rest counts rings.
  static constexpr std::uint32_t kSleeper = 1;
  std::atomic<std::uint32_t> rings_{0};
};

}  // namespace platform
