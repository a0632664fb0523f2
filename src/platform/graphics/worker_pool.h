#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {

// The number of cores this process may run on (its CPU affinity), at least one.
std::size_t availableCores();

// A fixed set of threads that help callers run the items of a batch in parallel. The caller
// works on its own batch too, so a batch always progresses even when every worker is busy with
// another caller's batch; running a batch allocates nothing.
class WorkerPool {
 public:
  explicit WorkerPool(std::size_t threads);
  ~WorkerPool();  // waits for the workers to finish what they hold and stop
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::size_t threadCount() const { return threads_.size(); }

  // Calls body(i) for every i in [0, count), spread over the caller and the workers, and
  // returns when all calls have returned. Items run in no particular order; `body` must not
  // throw.
  template <class Body>
  void parallelFor(std::size_t count, Body& body) {
    run(
        count, [](void* context, std::size_t index) { (*static_cast<Body*>(context))(index); },
        &body);
  }

 private:
  struct Batch {
    void (*function)(void*, std::size_t) = nullptr;
    void* context = nullptr;
    std::size_t count = 0;
    std::size_t next = 0;      // the next unclaimed item
    std::size_t finished = 0;  // items whose call has returned
    Batch* link = nullptr;     // the next batch waiting for helpers
  };

  void run(std::size_t count, void (*function)(void*, std::size_t), void* context);
  // Claims an item of the first batch with unclaimed items; the lock is held.
  bool claim(Batch*& batch, std::size_t& index);
  void unlink(Batch* batch);
  void workerLoop();

  std::mutex mutex_;
  std::condition_variable workAvailable_;
  std::condition_variable batchFinished_;
  Batch* first_ = nullptr;  // batches with unclaimed items, oldest first
  Batch* last_ = nullptr;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace platform
