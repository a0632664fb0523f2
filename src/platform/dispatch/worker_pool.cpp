#include "platform/dispatch/worker_pool.h"

#include <fmt/format.h>
#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <system_error>
#include <thread>

#include "platform/dispatch/queue_engine.h"
#include "platform/foundation/log.h"

namespace platform {
namespace dispatch_detail {
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

int poolLimit() {
  unsigned cores = std::thread::hardware_concurrency();
  return std::max(2, static_cast<int>(cores));
}

}  // namespace

thread_local WorkerPool* WorkerPool::tlsCurrent = nullptr;

void WorkerPool::enterBlocking() {
  auto lock = lockBriefly(mutex_);
  ++blocked_;
  maybeSpawnLocked();
}

void WorkerPool::leaveBlocking() {
  auto lock = lockBriefly(mutex_);
  --blocked_;
}

void WorkerPool::maybeSpawnLocked(std::size_t lookers) {
  if (tasks_.size() <= parked_.size() + waking_ + spinning_ + lookers) return;
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

void WorkerPool::run(Worker& self) {
  tlsCurrent = this;
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
            spinBudget_, [this] { return queued_.load(std::memory_order_seq_cst) > 0; }, &beacon_);
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
      CurrentQueueFrame frame(task.queue);
      task.job();
    } catch (...) {
      fatalUncaught(std::current_exception());
    }
    task.job = nullptr;  // captured state dies outside the pool's lock
    lock = lockBriefly(mutex_);
  }
}

WorkerPool& defaultPool() {
  static WorkerPool* pool = new WorkerPool("tovarine-pool", poolLimit());
  return *pool;
}

WorkerPool& highPool() {
  static WorkerPool* pool = new WorkerPool("tovarine-high", poolLimit());
  return *pool;
}

BlockingRegion::BlockingRegion() : lane_(WorkerPool::current()) {
  if (lane_) static_cast<WorkerPool*>(lane_)->enterBlocking();
}

BlockingRegion::~BlockingRegion() {
  if (lane_) static_cast<WorkerPool*>(lane_)->leaveBlocking();
}

}  // namespace dispatch_detail
}  // namespace platform
