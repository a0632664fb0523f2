#include "platform/graphics/worker_pool.h"

#include <pthread.h>
#include <sched.h>

namespace platform {

std::size_t availableCores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<std::size_t>(count);
  }
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware > 0 ? hardware : 1;
}

WorkerPool::WorkerPool(std::size_t threads) {
  threads_.reserve(threads);
  for (std::size_t i = 0; i < threads; ++i)
    threads_.emplace_back([this] {
      // Named so that profilers and the frame benchmark can tell the pool's threads apart.
      pthread_setname_np(pthread_self(), "tovarine-worker");
      workerLoop();
    });
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  workAvailable_.notify_all();
  for (std::thread& thread : threads_)
    thread.join();
}

void WorkerPool::run(std::size_t count, void (*function)(void*, std::size_t), void* context) {
  if (count == 0) return;
  if (count == 1 || threads_.empty()) {
    for (std::size_t i = 0; i < count; ++i)
      function(context, i);
    return;
  }

  Batch batch;
  batch.function = function;
  batch.context = context;
  batch.count = count;

  std::unique_lock lock(mutex_);
  if (last_) {
    last_->link = &batch;
  } else {
    first_ = &batch;
  }
  last_ = &batch;
  lock.unlock();
  // The caller takes one item itself, so at most count - 1 helpers are useful.
  if (count - 1 >= threads_.size()) {
    workAvailable_.notify_all();
  } else {
    for (std::size_t i = 0; i + 1 < count; ++i)
      workAvailable_.notify_one();
  }
  lock.lock();

  while (batch.next < batch.count) {
    const std::size_t index = batch.next++;
    if (batch.next == batch.count) unlink(&batch);
    lock.unlock();
    function(context, index);
    lock.lock();
    ++batch.finished;
  }
  // The batch lives on this stack frame: wait until no worker still runs one of its items.
  batchFinished_.wait(lock, [&] { return batch.finished == batch.count; });
}

void WorkerPool::unlink(Batch* batch) {
  Batch* previous = nullptr;
  for (Batch* current = first_; current; previous = current, current = current->link) {
    if (current != batch) continue;
    if (previous) {
      previous->link = current->link;
    } else {
      first_ = current->link;
    }
    if (last_ == current) last_ = previous;
    current->link = nullptr;
    return;
  }
}

bool WorkerPool::claim(Batch*& batch, std::size_t& index) {
  if (!first_) return false;
  batch = first_;
  index = batch->next++;
  if (batch->next == batch->count) unlink(batch);
  return true;
}

void WorkerPool::workerLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    workAvailable_.wait(lock, [this] { return stopping_ || first_ != nullptr; });
    Batch* batch = nullptr;
    std::size_t index = 0;
    if (!claim(batch, index)) {
      if (stopping_) return;
      continue;
    }
    lock.unlock();
    batch->function(batch->context, index);
    lock.lock();
    if (++batch->finished == batch->count) batchFinished_.notify_all();
  }
}

}  // namespace platform
