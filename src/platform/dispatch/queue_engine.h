#pragma once

// Internals shared by the dispatch sources. Nothing outside src/platform/dispatch includes this.

#include <functional>
#include <memory>
#include <string>

#include "platform/dispatch/dispatch_queue.h"

namespace platform {

// How a queue runs the jobs given to it. Every queue owns one engine; the engine decides where
// a job goes (the queue's own list, its target, a thread pool lane or the main queue's list).
class QueueEngine {
 public:
  QueueEngine(bool serial, std::shared_ptr<DispatchQueue> effectiveTarget)
      : serial_(serial), effectiveTarget_(std::move(effectiveTarget)) {}
  virtual ~QueueEngine() = default;

  // Runs `job` as an item of `owner` (the queue this engine belongs to).
  virtual void enqueue(DispatchQueue& owner, std::function<void()> job) = 0;
  // The same, called as the last thing an item of `owner`'s target does before it returns (a
  // serial queue's drain handing on the rest of its list): the thread running that item is
  // about to look for more work anyway, which a pool may count on instead of waking another.
  virtual void enqueueAsLastAct(DispatchQueue& owner, std::function<void()> job) {
    enqueue(owner, std::move(job));
  }
  virtual bool isMain() const { return false; }

  bool serial() const { return serial_; }
  // Where this queue's work really runs: the explicit target, or the global queue of its
  // quality of service; empty for the global queues and the main queue.
  const std::shared_ptr<DispatchQueue>& effectiveTarget() const { return effectiveTarget_; }

  static QueueEngine& of(const DispatchQueue& queue) { return *queue.engine_; }
  static std::shared_ptr<DispatchQueue> createQueue(std::string label,
                                                    DispatchQueue::Attributes attributes,
                                                    std::shared_ptr<DispatchQueue> target,
                                                    std::shared_ptr<QueueEngine> engine);

 private:
  bool serial_;
  std::shared_ptr<DispatchQueue> effectiveTarget_;
};

namespace dispatch_detail {

// Marks the calling thread as running an item of `queue` for as long as it lives.
class CurrentQueueFrame {
 public:
  explicit CurrentQueueFrame(const DispatchQueue* queue);
  ~CurrentQueueFrame();
  CurrentQueueFrame(const CurrentQueueFrame&) = delete;
  CurrentQueueFrame& operator=(const CurrentQueueFrame&) = delete;
};

bool isOnQueueStack(const DispatchQueue* queue);

// Tells the thread pool that the calling thread is about to wait on other work, so the pool may
// start another thread rather than starve the work being waited for.
class BlockingRegion {
 public:
  BlockingRegion();
  ~BlockingRegion();
  BlockingRegion(const BlockingRegion&) = delete;
  BlockingRegion& operator=(const BlockingRegion&) = delete;

 private:
  void* lane_;
};

// The main queue's list, implemented beside the main-queue drivers.
void enqueueOnMain(std::function<void()> job);
bool isMainThread();
// Schedules on the virtual clock when one is installed; leaves `job` untouched otherwise.
bool scheduleOnVirtualClock(double seconds, std::function<void()>& job);

// Seconds as a finite, non-negative delay that cannot overflow a clock's duration.
double sanitizedDelay(double seconds);

}  // namespace dispatch_detail
}  // namespace platform
