#pragma once

// Bounded spinning before a thread parks.
//
// Handing an item to a parked thread costs a futex wake-up, and on a virtual machine whose idle
// cores halt that is tens of microseconds before the thread runs, plus a few for the thread that
// wakes it; a thread that is still spinning sees the item in well under one. So a thread that
// runs out of work first watches for more for a short, bounded while, and parks only when none
// comes. A quiet process therefore has no thread spinning once its last work is a spin budget
// old.
//
// A spinner must not keep a core from a thread that needs it: the scheduler may have put a
// freshly woken thread (or preempted one) on the spinner's core. So a spinner offers its core
// (`sched_yield`) every few microseconds. Before it does, it takes its beat off the beacon and
// looks for work once more, so that no hand-off counts on a spinner that is about to lose its
// core; a thread that hands over work publishes the work first and reads the beacon after, so
// one of the two always sees the other (both sides sequentially consistent).
//
// When a spinner finds its core was taken away for long (preempted, or a yield that did not come
// back soon) it asks whether the machine has more runnable threads than cores; if so spinning is
// switched off process-wide for a while, and every thread parks at once as it would without
// spinning. Machines with fewer than four cores never spin.

#include <atomic>
#include <cstdint>

namespace platform {

// Where the threads spinning for one kind of work show they are at it: a thread handing over
// work may leave the wake-up out only while a spinner beat recently.
class SpinBeacon {
 public:
  // A spinner beat within the last few microseconds and has not stepped away since. Read after
  // the work handed over was published.
  bool fresh() const;
  void beat(std::int64_t nowNanos) { lastBeat_.store(nowNanos, std::memory_order_seq_cst); }
  // The spinner is about to offer its core, or to stop.
  void clear() { lastBeat_.store(0, std::memory_order_seq_cst); }

 private:
  std::atomic<std::int64_t> lastBeat_{0};
};

namespace spin_detail {

std::int64_t nowNanos();
// False while spinning is off (the machine overloaded, or too few cores).
bool allowed(std::int64_t nowNanos);
// After a spinner lost its core for long: true, and spinning off for a while, when the machine
// has more runnable threads than cores.
bool overloaded(std::int64_t nowNanos);
// Offers the core to any other thread ready to run on it.
void offerCore();

// How long one spin may last; how often a spinner offers its core; and the gap in a spin (or the
// time an offered core stays away) that means the machine has more runnable threads than cores.
constexpr std::int64_t kBudgetNanos = 200'000;
constexpr std::int64_t kOfferEveryNanos = 20'000;
constexpr std::int64_t kOverloadedGapNanos = 200'000;

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace spin_detail

// Spins until `ready()` is true or the budget is spent; true when `ready()` became true.
// `ready` must be cheap (an atomic load, sequentially consistent where a beacon is used).
template <class Ready>
bool spinUntil(Ready&& ready, SpinBeacon* beacon = nullptr) {
  using namespace spin_detail;
  std::int64_t now = nowNanos();
  if (!allowed(now)) return ready();
  const std::int64_t until = now + kBudgetNanos;
  std::int64_t nextOffer = now + kOfferEveryNanos;
  bool found = false;
  for (;;) {
    if (beacon) beacon->beat(now);
    for (int i = 0; i < 16 && !found; ++i) {
      found = ready();
      cpuRelax();
    }
    if (found) break;
    std::int64_t later = nowNanos();
    if (later - now > kOverloadedGapNanos && overloaded(later)) break;
    if (later >= until) break;
    if (later >= nextOffer) {
      if (beacon) beacon->clear();
      if ((found = ready())) break;
      offerCore();
      const std::int64_t back = nowNanos();
      if (back - later > kOverloadedGapNanos && overloaded(back)) break;
      later = back;
      nextOffer = later + kOfferEveryNanos;
    }
    now = later;
  }
  if (beacon) beacon->clear();
  return found || ready();
}

}  // namespace platform
