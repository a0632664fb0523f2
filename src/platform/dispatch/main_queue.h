#pragma once

#include <functional>
#include <memory>

namespace platform {

// What runs the main queue. The default driver runs nothing by itself: work waits until
// `drainMainQueue` or `runMainUntil` is called on the main thread. The application installs a
// driver that wakes the Qt event loop.
class MainQueueDriver {
 public:
  virtual ~MainQueueDriver() = default;
  // Called from any thread whenever the main queue gains work. Must not run the work itself.
  virtual void wake() = 0;
};

void setMainQueueDriver(std::shared_ptr<MainQueueDriver> driver);

// Queues `job` on the main queue, in order with everything else queued there, without waking
// whoever drains it: the job runs with the next drain, whatever brings it (other work, a wake
// below, `runMainUntil`'s own time slices). For work whose only reader may not exist yet, so
// that an idle main thread is not woken to find that out.
void enqueueOnMainQuietly(std::function<void()> job);
// Wakes whoever drains the main queue, as queueing an item would.
void wakeMainQueue();

// Runs every item the main queue holds now (and any they add) on the calling thread, which
// becomes the main thread. Returns the number of items run.
int drainMainQueue();

// Drains the main queue until `predicate` holds or `timeoutSeconds` of real time pass.
// Returns whether the predicate held. For tests and headless tools.
bool runMainUntil(const std::function<bool()>& predicate, double timeoutSeconds = 5.0);

// Virtual time for the main queue, for tests of timers and animations: while installed,
// `DispatchQueue::main()->asyncAfter` schedules on a virtual clock that moves only through
// `advance`. Other queues keep real time.
class VirtualMainClock {
 public:
  VirtualMainClock();
  ~VirtualMainClock();
  VirtualMainClock(const VirtualMainClock&) = delete;
  VirtualMainClock& operator=(const VirtualMainClock&) = delete;

  // Moves the clock forward, running (in time order, then submission order) every delayed
  // main-queue item that falls due, and draining the main queue after each.
  void advance(double seconds);
  double now() const;
};

}  // namespace platform
