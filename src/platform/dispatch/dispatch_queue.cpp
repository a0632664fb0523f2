#include "platform/dispatch/dispatch_queue.h"

#include <fmt/format.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/parking.h"
#include "platform/dispatch/queue_engine.h"
#include "platform/dispatch/spin_wait.h"
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

namespace {

[[noreturn]] void fatalUncaught(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    fatal(fmt::format("Uncaught exception in work on a dispatch queue: {}", e.what()));
  } catch (...) {
    fatal("Uncaught exception in work on a dispatch queue");
  }
}

// A pool of threads shared by the global queues of one priority. At most `limit` threads run
// work at once; threads that wait inside `sync` (or similar) don't count, so waiting on work
// that needs a thread of the same pool cannot starve it.
//
// A worker that runs out of work spins for a moment (see spin_wait.h), one at a time, before it
// parks; a submit wakes a parked worker only for the items the spinner cannot take, or when the
// spinner has stepped away from its beacon (offering its core, or about to park).
//
// Each parked worker sleeps on its own `Parker`, and the parked workers form a stack: a submit
// that needs a thread takes the one parked last (its cache is the warmest), counts it as waking,
// and wakes exactly that one after letting go of the lock. Nothing is asked of the kernel when
// no worker is parked, and a woken worker takes the lock like any other thread (see parking.h).
class Lane {
 public:
  Lane(std::string name, int limit) : name_(std::move(name)), limit_(limit) {}

  void submit(std::function<void()> task) {
    Worker* wake = nullptr;
    {
      auto lock = lockBriefly(mutex_);
      tasks_.push_back(std::move(task));
      const std::size_t queued = tasks_.size();
      queued_.store(queued, std::memory_order_seq_cst);  // before the beacon is read
      // Each waking worker takes one item; the spinner one more while it is at its beacon.
      const bool uncovered = queued > waking_ + spinning_ || (queued > waking_ && !beacon_.fresh());
      if (uncovered && !parked_.empty()) {
        wake = parked_.back();
        parked_.pop_back();
        ++waking_;
      }
      maybeSpawnLocked();
    }
    if (wake) wake->parker.unpark();
  }

  void enterBlocking() {
    auto lock = lockBriefly(mutex_);
    ++blocked_;
    maybeSpawnLocked();
  }

  void leaveBlocking() {
    auto lock = lockBriefly(mutex_);
    --blocked_;
  }

  static Lane* current() { return tlsCurrentLane; }

 private:
  static constexpr std::size_t kMaxSpinning = 1;

  // A worker's parking place. Kept for the life of the pool, since a waker may still be inside
  // `unpark` when the worker it woke retires; a thread started later reuses it.
  struct Worker {
    Parker parker;
  };

  void maybeSpawnLocked() {
    if (tasks_.size() <= parked_.size() + waking_ + spinning_) return;
    if (threads_ - blocked_ >= limit_) return;
    try {
      if (spare_.empty()) {
        records_.push_back(std::make_unique<Worker>());
        spare_.reserve(records_.size());  // so that a retiring thread never allocates
        parked_.reserve(records_.size());
        spare_.push_back(records_.back().get());
      }
      Worker* worker = spare_.back();
      std::thread([this, worker] { run(*worker); }).detach();
      spare_.pop_back();
      ++threads_;
    } catch (const std::system_error& e) {
      if (threads_ == 0) fatal(fmt::format("Cannot start a worker thread: {}", e.what()));
    }
  }

  void run(Worker& self) {
    tlsCurrentLane = this;
    pthread_setname_np(pthread_self(), name_.substr(0, 15).c_str());
    auto lock = lockBriefly(mutex_);
    for (;;) {
      while (tasks_.empty()) {
        // Threads started while others were blocked retire once the pool is back over limit.
        if (threads_ - blocked_ > limit_) {
          --threads_;
          spare_.push_back(&self);
          return;
        }
        std::int64_t spinStart = 0;
        if (spinning_ < kMaxSpinning) {
          ++spinning_;
          lock.unlock();
          spinStart = spin_detail::nowNanos();
          spinUntil(
              spinBudget_, [this] { return queued_.load(std::memory_order_seq_cst) > 0; },
              &beacon_);
          lock = lockBriefly(mutex_);
          --spinning_;
          // A submit that counted on this spinner woke nobody: look again, under the lock,
          // before parking.
          if (!tasks_.empty()) break;
        }
        parked_.push_back(&self);
        lock.unlock();
        self.parker.park();
        if (spinStart != 0) spinBudget_.cameAfterSpin(spin_detail::nowNanos() - spinStart);
        lock = lockBriefly(mutex_);
        --waking_;  // the submit that woke this worker took it off `parked_`
      }
      auto task = std::move(tasks_.front());
      tasks_.pop_front();
      queued_.store(tasks_.size(), std::memory_order_relaxed);
      lock.unlock();
      try {
        task();
      } catch (...) {
        fatalUncaught(std::current_exception());
      }
      task = nullptr;  // captured state dies outside the pool's lock
      lock = lockBriefly(mutex_);
    }
  }

  static thread_local Lane* tlsCurrentLane;

  const std::string name_;
  const int limit_;
  std::mutex mutex_;
  std::deque<std::function<void()>> tasks_;
  // The length of `tasks_`, for spinning workers to watch without taking the lock.
  std::atomic<std::size_t> queued_{0};
  SpinBeacon beacon_;
  SpinBudget spinBudget_;
  std::vector<std::unique_ptr<Worker>> records_;  // every worker's, never freed
  std::vector<Worker*> spare_;                    // not in use by a thread
  std::vector<Worker*> parked_;                   // last parked on top
  int threads_ = 0;
  std::size_t waking_ = 0;    // taken off `parked_` by a submit, not yet back under the lock
  std::size_t spinning_ = 0;  // workers between the spin and the lock again; see `submit`
  int blocked_ = 0;
};

thread_local Lane* Lane::tlsCurrentLane = nullptr;

int laneLimit() {
  unsigned cores = std::thread::hardware_concurrency();
  return std::max(2, static_cast<int>(cores));
}

// The pools live for the whole process and are never destroyed: work may still be running on
// them while static destructors run at exit.
Lane& defaultLane() {
  static Lane* lane = new Lane("tovarine-pool", laneLimit());
  return *lane;
}

Lane& highLane() {
  static Lane* lane = new Lane("tovarine-high", laneLimit());
  return *lane;
}

}  // namespace

BlockingRegion::BlockingRegion() : lane_(Lane::current()) {
  if (lane_) static_cast<Lane*>(lane_)->enterBlocking();
}

BlockingRegion::~BlockingRegion() {
  if (lane_) static_cast<Lane*>(lane_)->leaveBlocking();
}

}  // namespace dispatch_detail

namespace {

using dispatch_detail::CurrentQueueFrame;
using dispatch_detail::Lane;

// One of the shared concurrent queues: jobs go straight to its pool.
class GlobalEngine : public QueueEngine {
 public:
  explicit GlobalEngine(Lane& lane) : QueueEngine(false, nullptr), lane_(lane) {}
  void enqueue(DispatchQueue& owner, std::function<void()> job) override {
    lane_.submit([queue = &owner, job = std::move(job)] {
      CurrentQueueFrame frame(queue);
      job();
    });
  }

 private:
  Lane& lane_;
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
      if (!scheduled_) scheduled_ = schedule = true;
    }
    if (schedule) scheduleDrain(owner);
  }

 private:
  // A drain gives its thread back after this many items so queues sharing a target take turns.
  static constexpr int kDrainBatch = 32;

  void scheduleDrain(DispatchQueue& owner) {
    auto& target = *effectiveTarget();
    QueueEngine::of(target).enqueue(target, [queue = owner.shared_from_this()] {
      static_cast<SerialEngine&>(QueueEngine::of(*queue)).drain(*queue);
    });
  }

  // Takes the next item, or clears the scheduled flag when there is none.
  bool next(std::function<void()>& job) {
    auto lock = lockBriefly(mutex_);
    if (items_.empty()) {
      scheduled_ = false;
      return false;
    }
    job = std::move(items_.front());
    items_.pop_front();
    return true;
  }

  void drain(DispatchQueue& owner) {
    CurrentQueueFrame frame(&owner);
    std::function<void()> job;
    for (int n = 0; n < kDrainBatch; ++n) {
      if (!next(job)) return;
      try {
        job();
      } catch (...) {
        // Keep the queue alive for whoever handles the exception up the stack.
        job = nullptr;
        rescheduleIfNeeded(owner);
        throw;
      }
      job = nullptr;
    }
    rescheduleIfNeeded(owner);
  }

  void rescheduleIfNeeded(DispatchQueue& owner) {
    {
      auto lock = lockBriefly(mutex_);
      if (items_.empty()) {
        scheduled_ = false;
        return;
      }
    }
    scheduleDrain(owner);
  }

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

// Delayed calls for every queue are kept by one thread, ordered by due time and then by
// submission, and handed to their queue when due.
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
    static TimerThread* timer = new TimerThread;  // never destroyed, see defaultLane()
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

  void run() {
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

  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Entry> entries_;
  std::uint64_t nextSequence_ = 0;
  bool started_ = false;
};

DispatchQueuePtr makeGlobal(QoS qos) {
  bool high = qos == QoS::userInitiated || qos == QoS::userInteractive;
  auto& lane = high ? dispatch_detail::highLane() : dispatch_detail::defaultLane();
  static constexpr const char* labels[] = {"global.background", "global.utility", "global.default",
                                           "global.userInitiated", "global.userInteractive"};
  return QueueEngine::createQueue(labels[static_cast<int>(qos)],
                                  DispatchQueue::Attributes::concurrent, nullptr,
                                  std::make_shared<GlobalEngine>(lane));
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
  TimerThread::shared().schedule(seconds, shared_from_this(), std::move(work));
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
