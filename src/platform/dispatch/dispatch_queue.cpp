#include "platform/dispatch/dispatch_queue.h"

#include <fmt/format.h>

#include <algorithm>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/dispatch/parking.h"
#include "platform/dispatch/queue_engine.h"
#include "platform/dispatch/spin_wait.h"
#include "platform/dispatch/timer_thread.h"
#include "platform/dispatch/worker_pool.h"
#include "platform/foundation/log.h"

namespace platform {

DispatchWorkItem::DispatchWorkItem(std::function<void()> block) : block_(std::move(block)) {}

void DispatchWorkItem::perform() {
  if (isCancelled() || !block_) return;
  block_();
}

namespace dispatch_detail {
namespace {

// The queues the calling thread is running items of, outermost first. A queue draining through
// its target sits above the target, which is what makes `isCurrent` see through targets.
thread_local std::vector<const DispatchQueue*> tlsQueueStack;

}  // namespace

CurrentQueueFrame::CurrentQueueFrame(const DispatchQueue* queue) {
  tlsQueueStack.push_back(queue);
}

CurrentQueueFrame::~CurrentQueueFrame() {
  tlsQueueStack.pop_back();
}

bool isOnQueueStack(const DispatchQueue* queue) {
  return std::find(tlsQueueStack.begin(), tlsQueueStack.end(), queue) != tlsQueueStack.end();
}

double sanitizedDelay(double seconds) {
  if (!(seconds > 0)) return 0;  // negative and NaN
  // About thirty years: far enough to mean "never" and small enough for any clock.
  return std::min(seconds, 1e9);
}

}  // namespace dispatch_detail

namespace {

using dispatch_detail::CurrentQueueFrame;
using dispatch_detail::WorkerPool;

// One of the shared concurrent queues: jobs go straight to its pool.
class GlobalEngine : public QueueEngine {
 public:
  explicit GlobalEngine(WorkerPool& pool) : QueueEngine(false, nullptr), pool_(pool) {}
  void enqueue(DispatchQueue& owner, std::function<void()> job) override {
    pool_.submit(&owner, std::move(job));
  }
  void enqueueAsLastAct(DispatchQueue& owner, std::function<void()> job) override {
    pool_.submit(&owner, std::move(job), WorkerPool::Caller::looksNext);
  }

 private:
  WorkerPool& pool_;
};

// A concurrent queue of our own: every job is handed to the target on its own, so as many run
// at once as the target allows.
class ConcurrentEngine : public QueueEngine {
 public:
  using QueueEngine::QueueEngine;
  void enqueue(DispatchQueue& owner, std::function<void()> job) override {
    auto& target = *effectiveTarget();
    QueueEngine::of(target).enqueue(target,
                                    [queue = owner.shared_from_this(), job = std::move(job)] {
                                      CurrentQueueFrame frame(queue.get());
                                      job();
                                    });
  }
};

// A serial queue keeps its own list and, while the list is not empty, has exactly one drain
// scheduled on its target; the drain runs as a single item there.
class SerialEngine : public QueueEngine {
 public:
  using QueueEngine::QueueEngine;

  void enqueue(DispatchQueue& owner, std::function<void()> job) override {
    bool schedule = false;
    {
      auto lock = lockBriefly(mutex_);
      items_.push_back(std::move(job));
      if (!scheduled_) {
        scheduled_ = schedule = true;
        owner_ = &owner;  // an engine serves one queue
        keepAlive_ = owner.shared_from_this();
      }
    }
    if (schedule) scheduleDrain();
  }

 private:
  // A drain gives its thread back after this many items so queues sharing a target take turns.
  static constexpr int kDrainBatch = 32;

  // The drain item holds nothing but this engine, so that the function wrapping it needs no
  // memory of its own: the queue is kept alive by `keepAlive_` while a drain is scheduled, and
  // the drain hands that reference to the item as it unschedules itself, to be let go once the
  // item is done with the queue.
  //
  // A drain that hands on the rest of the list does so as its last act (`handingOn`), so a
  // pool target may leave the next drain to the thread that ran this one.
  void scheduleDrain(bool handingOn = false) {
    auto& target = *effectiveTarget();
    auto item = [engine = this] {
      std::shared_ptr<DispatchQueue> keep;
      engine->drain(keep);
    };
    if (handingOn) {
      QueueEngine::of(target).enqueueAsLastAct(target, item);
    } else {
      QueueEngine::of(target).enqueue(target, item);
    }
  }

  // Takes the next item, or clears the scheduled flag when there is none (and hands over the
  // queue's reference in `keep`).
  bool next(std::function<void()>& job, std::shared_ptr<DispatchQueue>& keep) {
    auto lock = lockBriefly(mutex_);
    if (items_.empty()) {
      scheduled_ = false;
      keep = std::move(keepAlive_);
      return false;
    }
    job = std::move(items_.front());
    items_.pop_front();
    return true;
  }

  void drain(std::shared_ptr<DispatchQueue>& keep) {
    CurrentQueueFrame frame(owner_);
    std::function<void()> job;
    for (int n = 0; n < kDrainBatch; ++n) {
      if (!next(job, keep)) return;
      try {
        job();
      } catch (...) {
        // Keep the queue alive for whoever handles the exception up the stack.
        job = nullptr;
        rescheduleIfNeeded(keep, false);
        throw;
      }
      job = nullptr;
    }
    rescheduleIfNeeded(keep, true);
  }

  void rescheduleIfNeeded(std::shared_ptr<DispatchQueue>& keep, bool lastAct) {
    {
      auto lock = lockBriefly(mutex_);
      if (items_.empty()) {
        scheduled_ = false;
        keep = std::move(keepAlive_);
        return;
      }
    }
    scheduleDrain(lastAct);
  }

  DispatchQueue* owner_ = nullptr;
  std::shared_ptr<DispatchQueue> keepAlive_;  // while a drain is scheduled
  std::mutex mutex_;
  std::deque<std::function<void()>> items_;
  bool scheduled_ = false;
};

class MainEngine : public QueueEngine {
 public:
  MainEngine() : QueueEngine(true, nullptr) {}
  void enqueue(DispatchQueue&, std::function<void()> job) override {
    dispatch_detail::enqueueOnMain(std::move(job));
  }
  bool isMain() const override { return true; }
};

DispatchQueuePtr makeGlobal(QoS qos) {
  bool high = qos == QoS::userInitiated || qos == QoS::userInteractive;
  auto& pool = high ? dispatch_detail::highPool() : dispatch_detail::defaultPool();
  static constexpr const char* labels[] = {"global.background", "global.utility", "global.default",
                                           "global.userInitiated", "global.userInteractive"};
  return QueueEngine::createQueue(labels[static_cast<int>(qos)],
                                  DispatchQueue::Attributes::concurrent, nullptr,
                                  std::make_shared<GlobalEngine>(pool));
}

}  // namespace

std::shared_ptr<DispatchQueue> QueueEngine::createQueue(std::string label,
                                                        DispatchQueue::Attributes attributes,
                                                        std::shared_ptr<DispatchQueue> target,
                                                        std::shared_ptr<QueueEngine> engine) {
  std::shared_ptr<DispatchQueue> queue(
      new DispatchQueue(std::move(label), attributes, std::move(target)));
  queue->engine_ = std::move(engine);
  return queue;
}

DispatchQueue::DispatchQueue(std::string label, Attributes attributes,
                             std::shared_ptr<DispatchQueue> target)
    : label_(std::move(label)), attributes_(attributes), target_(std::move(target)) {}

DispatchQueue::~DispatchQueue() = default;

std::shared_ptr<DispatchQueue> DispatchQueue::make(std::string label, Attributes attributes,
                                                   std::shared_ptr<DispatchQueue> target, QoS qos) {
  auto effective = target ? target : global(qos);
  std::shared_ptr<QueueEngine> engine;
  if (attributes == Attributes::serial) {
    engine = std::make_shared<SerialEngine>(true, std::move(effective));
  } else {
    engine = std::make_shared<ConcurrentEngine>(false, std::move(effective));
  }
  return QueueEngine::createQueue(std::move(label), attributes, std::move(target),
                                  std::move(engine));
}

std::shared_ptr<DispatchQueue> DispatchQueue::main() {
  static auto* queue = new DispatchQueuePtr(QueueEngine::createQueue(
      "main", Attributes::serial, nullptr, std::make_shared<MainEngine>()));
  return *queue;
}

std::shared_ptr<DispatchQueue> DispatchQueue::global(QoS qos) {
  static auto* queues = new DispatchQueuePtr[5]{
      makeGlobal(QoS::background), makeGlobal(QoS::utility), makeGlobal(QoS::defaultQoS),
      makeGlobal(QoS::userInitiated), makeGlobal(QoS::userInteractive)};
  auto index = static_cast<int>(qos);
  if (index < 0 || index > 4) index = static_cast<int>(QoS::defaultQoS);
  return queues[index];
}

void DispatchQueue::async(std::function<void()> work) {
  if (!work) return;
  engine_->enqueue(*this, std::move(work));
}

void DispatchQueue::async(std::shared_ptr<DispatchWorkItem> item) {
  if (!item) return;
  engine_->enqueue(*this, [item = std::move(item)] { item->perform(); });
}

void DispatchQueue::sync(const std::function<void()>& work) {
  // Waiting on a serial queue this thread is already running (directly, or because this queue
  // drains through it) can never finish.
  for (const DispatchQueue* q = this; q; q = QueueEngine::of(*q).effectiveTarget().get()) {
    if (QueueEngine::of(*q).serial() && q->isCurrent()) {
      if (q == this) {
        fatal(
            fmt::format("DispatchQueue.sync onto the current queue \"{}\" would deadlock", label_));
      }
      fatal(fmt::format(
          "DispatchQueue.sync onto \"{}\" from \"{}\", which it runs on, would deadlock", label_,
          q->label_));
    }
  }

  // The item wakes this thread through a parker: no lock for either side to take again, and no
  // system call when the item is done before this thread sleeps. (The waker may still be in its
  // wake-up call after this frame is gone; a stray wake-up is harmless to every futex user.)
  struct Waiter {
    Parker parker;
    std::exception_ptr error;
  } waiter;
  engine_->enqueue(*this, [&waiter, &work] {
    try {
      if (work) work();
    } catch (...) {
      waiter.error = std::current_exception();
    }
    waiter.parker.unpark();
  });
  {
    dispatch_detail::BlockingRegion blocking;
    waiter.parker.park();
  }
  if (waiter.error) std::rethrow_exception(waiter.error);
}

void DispatchQueue::asyncAfter(double seconds, std::function<void()> work) {
  if (!work) return;
  seconds = dispatch_detail::sanitizedDelay(seconds);
  if (engine_->isMain() && dispatch_detail::scheduleOnVirtualClock(seconds, work)) return;
  dispatch_detail::TimerThread::shared().schedule(seconds, shared_from_this(), std::move(work));
}

void DispatchQueue::asyncAfter(double seconds, std::shared_ptr<DispatchWorkItem> item) {
  if (!item) return;
  asyncAfter(seconds, [item = std::move(item)] { item->perform(); });
}

bool DispatchQueue::isCurrent() const {
  if (dispatch_detail::isOnQueueStack(this)) return true;
  // The main thread counts as on the main queue even between items, as it does in the
  // application's event loop.
  return engine_->isMain() && dispatch_detail::isMainThread();
}

void DispatchQueue::dispatchPrecondition(bool onQueue) const {
  if (isCurrent() == onQueue) return;
  fatal(onQueue ? fmt::format("dispatchPrecondition: expected to run on queue \"{}\"", label_)
                : fmt::format("dispatchPrecondition: expected not to run on queue \"{}\"", label_));
}

}  // namespace platform
