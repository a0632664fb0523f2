#include "platform/dispatch/main_queue.h"

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/parking.h"
#include "platform/dispatch/queue_engine.h"
#include "platform/dispatch/spin_wait.h"
#include "platform/foundation/log.h"

namespace platform {
namespace {

struct VirtualEntry {
  double due;
  std::uint64_t sequence;
  std::function<void()> job;
};

struct LaterVirtual {
  bool operator()(const VirtualEntry& a, const VirtualEntry& b) const {
    return a.due != b.due ? a.due > b.due : a.sequence > b.sequence;
  }
};

struct MainState {
  std::mutex mutex;
  std::deque<std::function<void()>> items;
  // Rung for every item; whoever waits in `runMainUntil` sleeps on it.
  Doorbell workArrived;
  // The length of `items`, for a waiter to look at without taking the lock.
  std::atomic<std::size_t> queued{0};
  std::shared_ptr<MainQueueDriver> driver;

  // Keeps the main queue serial when two threads try to drain it; recursive so that an item
  // may run a nested loop (as a modal dialog does).
  std::recursive_mutex drainMutex;
  // The thread that drains the main queue; 0 until one does, meaning the process's first thread.
  std::atomic<pid_t> mainThread{0};

  bool virtualActive = false;
  double virtualNow = 0;
  std::uint64_t virtualSequence = 0;
  std::vector<VirtualEntry> virtualEntries;  // a heap ordered by LaterVirtual
};

// Never destroyed: other threads may still post to the main queue while the process exits.
MainState& state() {
  static MainState* s = new MainState;
  return *s;
}

const DispatchQueue* mainQueue() {
  static const DispatchQueue* queue = DispatchQueue::main().get();
  return queue;
}

}  // namespace

namespace dispatch_detail {

void enqueueOnMain(std::function<void()> job) {
  auto& s = state();
  std::shared_ptr<MainQueueDriver> driver;
  {
    auto lock = lockBriefly(s.mutex);
    s.items.push_back(std::move(job));
    s.queued.store(s.items.size(), std::memory_order_seq_cst);  // before the ring
    driver = s.driver;
  }
  s.workArrived.ring();
  if (driver) driver->wake();
}

bool isMainThread() {
  pid_t main = state().mainThread.load(std::memory_order_acquire);
  pid_t self = gettid();
  return main != 0 ? self == main : self == getpid();
}

bool scheduleOnVirtualClock(double seconds, std::function<void()>& job) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  if (!s.virtualActive) return false;
  s.virtualEntries.push_back(
      VirtualEntry{s.virtualNow + sanitizedDelay(seconds), s.virtualSequence++, std::move(job)});
  std::push_heap(s.virtualEntries.begin(), s.virtualEntries.end(), LaterVirtual{});
  return true;
}

}  // namespace dispatch_detail

void enqueueOnMainQuietly(std::function<void()> job) {
  auto& s = state();
  auto lock = lockBriefly(s.mutex);
  s.items.push_back(std::move(job));
  s.queued.store(s.items.size(), std::memory_order_seq_cst);  // before a later wake's ring
}

void wakeMainQueue() {
  auto& s = state();
  std::shared_ptr<MainQueueDriver> driver;
  {
    auto lock = lockBriefly(s.mutex);
    driver = s.driver;
  }
  s.workArrived.ring();
  if (driver) driver->wake();
}

void setMainQueueDriver(std::shared_ptr<MainQueueDriver> driver) {
  auto& s = state();
  bool pending = false;
  {
    std::lock_guard lock(s.mutex);
    s.driver = driver;
    pending = !s.items.empty();
  }
  // Work queued before the driver arrived must not wait for the next post.
  if (driver && pending) driver->wake();
}

int drainMainQueue() {
  auto& s = state();
  const DispatchQueue* main = mainQueue();
  std::lock_guard drainLock(s.drainMutex);
  s.mainThread.store(gettid(), std::memory_order_release);
  int count = 0;
  for (;;) {
    std::function<void()> job;
    {
      auto lock = lockBriefly(s.mutex);
      if (s.items.empty()) break;
      job = std::move(s.items.front());
      s.items.pop_front();
      s.queued.store(s.items.size(), std::memory_order_relaxed);
    }
    dispatch_detail::CurrentQueueFrame frame(main);
    job();
    ++count;
  }
  return count;
}

bool runMainUntil(const std::function<bool()>& predicate, double timeoutSeconds) {
  using Clock = std::chrono::steady_clock;
  auto& s = state();
  auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                         dispatch_detail::sanitizedDelay(timeoutSeconds)));
  // Work arriving on the main queue wakes the loop at once; the slice only bounds how late a
  // predicate that other threads make true (without posting to main) is noticed.
  constexpr auto kSlice = std::chrono::milliseconds(5);
  for (;;) {
    drainMainQueue();
    if (predicate()) return true;
    auto now = Clock::now();
    if (now >= deadline) return false;
    // No spin before sleeping: what the main thread waits for here is mostly a whole round
    // trip of other threads (and a server) away, which a spin would pay for in CPU time many
    // times over what the wake-up costs.
    const std::uint32_t ticket = s.workArrived.ticket();
    if (s.queued.load(std::memory_order_seq_cst) > 0) continue;
    const auto wakeAt = std::min(deadline, now + kSlice);  // steady_clock is CLOCK_MONOTONIC
    s.workArrived.wait(
        ticket,
        std::chrono::duration_cast<std::chrono::nanoseconds>(wakeAt.time_since_epoch()).count());
  }
}

VirtualMainClock::VirtualMainClock() {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  if (s.virtualActive) fatal("VirtualMainClock: a virtual clock is already installed");
  s.virtualActive = true;
  s.virtualNow = 0;
  s.virtualSequence = 0;
}

VirtualMainClock::~VirtualMainClock() {
  auto& s = state();
  std::vector<VirtualEntry> dropped;
  {
    std::lock_guard lock(s.mutex);
    s.virtualActive = false;
    dropped.swap(s.virtualEntries);
  }
  // Calls that never fell due die here, outside the lock, since they may own anything.
}

void VirtualMainClock::advance(double seconds) {
  auto& s = state();
  drainMainQueue();
  double until;
  {
    std::lock_guard lock(s.mutex);
    until = s.virtualNow + dispatch_detail::sanitizedDelay(seconds);
  }
  for (;;) {
    std::function<void()> job;
    {
      std::lock_guard lock(s.mutex);
      if (s.virtualEntries.empty() || s.virtualEntries.front().due > until) break;
      std::pop_heap(s.virtualEntries.begin(), s.virtualEntries.end(), LaterVirtual{});
      s.virtualNow = std::max(s.virtualNow, s.virtualEntries.back().due);
      job = std::move(s.virtualEntries.back().job);
      s.virtualEntries.pop_back();
    }
    dispatch_detail::enqueueOnMain(std::move(job));
    drainMainQueue();
  }
  {
    std::lock_guard lock(s.mutex);
    s.virtualNow = std::max(s.virtualNow, until);
  }
  drainMainQueue();
}

double VirtualMainClock::now() const {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  return s.virtualNow;
}

}  // namespace platform
