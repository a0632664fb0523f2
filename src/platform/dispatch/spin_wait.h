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
// How long to watch is learnt per place that spins (`SpinBudget`): from a few tens of
// microseconds, it grows towards that place's most while work keeps coming back within the
// budget (a request going round a chain of threads and a server) and shrinks again when spins
// come to nothing (work that comes once a frame), so that spinning costs little where it cannot
// help.
//
// Spinning is paid for in CPU time, a microsecond per microsecond, where a wake-up costs a
// thread about fifteen microseconds of CPU (the waker's call and the woken core's return from
// halt, on these machines) and some twenty-five of latency. A spin much longer than that buys
// latency with CPU time, which is worth it only where the wait is on the critical path and
// usually short: each place says how far it may grow. Where several threads of one chain of
// hand-offs each spin through the whole round trip, the process burns several cores to serve
// one request at a time.
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

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>

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

// How long the threads of one place spin: learnt from how long their work takes to come back,
// between the place's least and most.
class SpinBudget {
 public:
  static constexpr std::int64_t kLeastNanos = 20'000;
  static constexpr std::int64_t kMostNanos = 200'000;

  // `mostNanos` (up to `kMostNanos`) bounds how long this place ever spins; spins that keep
  // missing shrink to `leastNanos` (at most the most).
  explicit SpinBudget(std::int64_t mostNanos = kMostNanos, std::int64_t leastNanos = kLeastNanos)
      : most_(std::clamp<std::int64_t>(mostNanos, 1'000, kMostNanos)),
        least_(std::clamp<std::int64_t>(leastNanos, 1'000, most_)),
        nanos_(std::min<std::int64_t>(50'000, most_)) {}

  std::int64_t most() const { return most_; }
  std::int64_t least() const { return least_; }
  std::int64_t nanos() const { return nanos_.load(std::memory_order_relaxed); }
  // Work came `afterNanos` into a spin: spin at least twice that long next time.
  void found(std::int64_t afterNanos) {
    const std::int64_t wanted = std::min(most_, 2 * afterNanos);
    if (wanted > nanos()) nanos_.store(wanted, std::memory_order_relaxed);
  }
  // Work came `afterNanos` after the thread began to watch for it, past a spin that missed it
  // (the thread parked): a spin that long would have caught it. A work cycle longer than the
  // spin (a request's round trip through other threads and a server) is learnt this way, which
  // spins that keep missing never would; waits longer than the most a spin lasts teach nothing.
  void cameAfterSpin(std::int64_t afterNanos) {
    if (afterNanos <= most_) found(afterNanos);
  }
  // A whole spin came to nothing: spin half as long next time.
  void missed() { nanos_.store(std::max(least_, nanos() / 2), std::memory_order_relaxed); }

 private:
  std::int64_t most_;
  std::int64_t least_;
  std::atomic<std::int64_t> nanos_;
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

// How often a spinner offers its core, and the gap in a spin (or the time an offered core stays
// away) that means the machine has more runnable threads than cores.
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

// Spins until `ready()` is true or `budget` is spent, and teaches `budget` how it went; true when
// `ready()` became true. `ready` must be cheap (an atomic load, sequentially consistent where a
// beacon is used).
template <class Ready>
bool spinUntil(SpinBudget& budget, Ready&& ready, SpinBeacon* beacon = nullptr) {
  using namespace spin_detail;
  std::int64_t now = nowNanos();
  if (!allowed(now)) return ready();
  const std::int64_t start = now;
  const std::int64_t until = now + budget.nanos();
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
  if (found || ready()) {
    budget.found(nowNanos() - start);
    return true;
  }
  if (allowed(now)) budget.missed();  // not when the spin was cut short by an overload
  return false;
}

// Takes `mutex`, trying for a moment before sleeping on it. For the locks around the runtime's
// queues: they are held for a few instructions, so a holder is almost always about to let go,
// while sleeping on a contended lock costs a futex wait and a wake-up that cost far more.
inline std::unique_lock<std::mutex> lockBriefly(std::mutex& mutex) {
  for (int i = 0; i < 100; ++i) {
    if (mutex.try_lock()) return std::unique_lock(mutex, std::adopt_lock);
    spin_detail::cpuRelax();
  }
  return std::unique_lock(mutex);
}

}  // namespace platform
