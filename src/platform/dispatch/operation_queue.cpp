#include "platform/dispatch/operation_queue.h"

#include <fmt/format.h>

#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/dispatch/queue_engine.h"
#include "platform/dispatch/spin_wait.h"
#include "platform/foundation/log.h"

namespace platform {

// Operations run one at a time: at most one step is ever scheduled on the underlying queue, and
// each step runs a single operation before scheduling the next, so other work sharing the
// underlying queue is not held up by a long backlog.
struct OperationQueue::State : std::enable_shared_from_this<OperationQueue::State> {
  std::string name;
  DispatchQueuePtr underlying;

  mutable std::mutex mutex;
  std::condition_variable finished;
  std::deque<std::function<void()>> operations;
  bool suspended = false;
  bool running = false;  // a step is scheduled or executing

  // Called with the lock held; returns whether the caller must schedule a step.
  bool claimStepLocked() {
    if (running || suspended || operations.empty()) return false;
    running = true;
    return true;
  }

  void scheduleStep() {
    underlying->async([self = shared_from_this()] { self->step(); });
  }

  void step() {
    std::function<void()> operation;
    {
      auto lock = lockBriefly(mutex);
      if (suspended || operations.empty()) {
        running = false;
        finished.notify_all();
        return;
      }
      operation = std::move(operations.front());
      operations.pop_front();
    }
    try {
      operation();
    } catch (...) {
      operation = nullptr;
      finishStep();
      throw;
    }
    operation = nullptr;
    finishStep();
  }

  void finishStep() {
    bool again;
    {
      auto lock = lockBriefly(mutex);
      running = false;
      again = claimStepLocked();
      if (!again) finished.notify_all();
    }
    if (again) scheduleStep();
  }
};

OperationQueue::OperationQueue(std::string name, DispatchQueuePtr underlyingQueue)
    : state_(std::make_shared<State>()) {
  state_->underlying = underlyingQueue ? std::move(underlyingQueue) : DispatchQueue::serial(name);
  state_->name = std::move(name);
}

// Operations already queued still run; they keep the state alive themselves.
OperationQueue::~OperationQueue() = default;

const std::string& OperationQueue::name() const {
  return state_->name;
}

const DispatchQueuePtr& OperationQueue::underlyingQueue() const {
  return state_->underlying;
}

void OperationQueue::addOperation(std::function<void()> operation) {
  if (!operation) return;
  bool schedule;
  {
    auto lock = lockBriefly(state_->mutex);
    state_->operations.push_back(std::move(operation));
    schedule = state_->claimStepLocked();
  }
  if (schedule) state_->scheduleStep();
}

void OperationQueue::setSuspended(bool suspended) {
  bool schedule;
  {
    std::lock_guard lock(state_->mutex);
    state_->suspended = suspended;
    schedule = state_->claimStepLocked();
  }
  if (schedule) state_->scheduleStep();
}

bool OperationQueue::isSuspended() const {
  std::lock_guard lock(state_->mutex);
  return state_->suspended;
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
  if (state_->underlying->isCurrent()) {
    fatal(fmt::format(
        "OperationQueue \"{}\": waiting for all operations from its own queue would deadlock",
        state_->name));
  }
  dispatch_detail::BlockingRegion blocking;
  std::unique_lock lock(state_->mutex);
  state_->finished.wait(lock, [&] { return state_->operations.empty() && !state_->running; });
}

}  // namespace platform
