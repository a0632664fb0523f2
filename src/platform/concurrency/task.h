#pragma once

// Coroutine tasks resumed on dispatch queues.
//
// Every resumption of a task body goes through `detail::resumeOn`, which posts to the task's
// executor queue; nothing resumes a body inline on a caller's thread. That keeps caller code off
// the queues and locks of whoever completes an operation.
//
// g++ 12 destroys an aggregate-initialized temporary in a `co_await` expression twice, so every
// awaiter here has a constructor, and callers name their arguments before awaiting.

#include <condition_variable>
#include <coroutine>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"

namespace platform {

namespace detail {

// One registered cancellation handler. The task's lock guards `installed`; `running` and
// `done` are guarded by the record's own lock, so the handler runs under neither lock that
// the task's other operations take.
class CancellationRecord {
 public:
  explicit CancellationRecord(std::function<void()> action) : action_(std::move(action)) {}

  // Runs the handler unless it already ran or was withdrawn.
  void fire() {
    {
      std::lock_guard lock(mutex_);
      if (withdrawn_ || started_) return;
      started_ = true;
    }
    auto action = std::exchange(action_, nullptr);
    if (action) action();
    {
      std::lock_guard lock(mutex_);
      finished_ = true;
    }
    cv_.notify_all();
  }

  // After this returns the handler is not running and never will.
  void withdraw() {
    std::unique_lock lock(mutex_);
    withdrawn_ = true;
    cv_.wait(lock, [&] { return !started_ || finished_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::function<void()> action_;
  bool withdrawn_ = false;
  bool started_ = false;
  bool finished_ = false;
};

using CancellationRecordPtr = std::shared_ptr<CancellationRecord>;

// What every task shares whatever its value type: its executor and its cancellation state.
class TaskCore {
 public:
  explicit TaskCore(DispatchQueuePtr executor) : executor_(std::move(executor)) {}
  virtual ~TaskCore() = default;

  const DispatchQueuePtr& executor() const { return executor_; }

  bool isCancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
  }

  void cancel() {
    std::vector<CancellationRecordPtr> records;
    {
      std::lock_guard lock(mutex_);
      if (cancelled_) return;
      cancelled_ = true;
      records.swap(records_);
    }
    for (auto& r : records)
      r->fire();
  }

  // Installs a handler. Answers false, installing nothing, when the task is already cancelled.
  bool install(const CancellationRecordPtr& record) {
    std::lock_guard lock(mutex_);
    if (cancelled_) return false;
    records_.push_back(record);
    return true;
  }

  void uninstall(const CancellationRecordPtr& record) {
    {
      std::lock_guard lock(mutex_);
      std::erase(records_, record);
    }
    record->withdraw();
  }

 private:
  mutable std::mutex mutex_;
  bool cancelled_ = false;
  std::vector<CancellationRecordPtr> records_;
  DispatchQueuePtr executor_;
};

using TaskCorePtr = std::shared_ptr<TaskCore>;

// The task whose body the calling thread runs now, if any.
inline thread_local TaskCore* currentTask = nullptr;

inline void resumeNow(const TaskCorePtr& core, std::coroutine_handle<> handle) {
  TaskCore* previous = std::exchange(currentTask, core.get());
  handle.resume();
  currentTask = previous;
}

inline void resumeOn(TaskCorePtr core, std::coroutine_handle<> handle) {
  auto executor = core->executor();
  executor->async([core = std::move(core), handle] { resumeNow(core, handle); });
}

inline DispatchQueuePtr executorForNewTask() {
  if (currentTask) return currentTask->executor();
  if (DispatchQueue::main()->isCurrent()) return DispatchQueue::main();
  return DispatchQueue::global();
}

// Every task promise derives from this, so awaiters can find the awaiting task's core.
struct PromiseBase {
  TaskCorePtr core;
};

template <class P>
concept TaskPromise = std::is_base_of_v<PromiseBase, P>;

template <class T>
struct TaskState : TaskCore {
  using TaskCore::TaskCore;
  struct Waiter {
    TaskCorePtr core;
    std::coroutine_handle<> handle;
  };
  std::mutex resultMutex;
  bool finished = false;
  std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> value;
  std::exception_ptr error;
  std::vector<Waiter> waiters;

  void complete() {
    std::vector<Waiter> toResume;
    {
      std::lock_guard lock(resultMutex);
      finished = true;
      toResume.swap(waiters);
    }
    for (auto& w : toResume)
      resumeOn(std::move(w.core), w.handle);
  }
};

template <class T, class Derived>
struct TaskPromiseCommon : PromiseBase {
  std::shared_ptr<TaskState<T>> state;

  TaskPromiseCommon() {
    state = std::make_shared<TaskState<T>>(executorForNewTask());
    core = state;
  }

  // The body starts as soon as the executor takes it; the frame then owns itself and is freed
  // when the body ends, whether or not anyone still holds the task.
  struct InitialAwaiter {
    InitialAwaiter() = default;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<Derived> h) const noexcept {
      resumeOn(h.promise().core, h);
    }
    void await_resume() const noexcept {}
  };
  struct FinalAwaiter {
    FinalAwaiter() = default;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<Derived> h) const noexcept {
      auto state = h.promise().state;
      h.destroy();
      state->complete();
    }
    void await_resume() const noexcept {}
  };
  InitialAwaiter initial_suspend() noexcept { return {}; }
  FinalAwaiter final_suspend() noexcept { return {}; }
  void unhandled_exception() noexcept { state->error = std::current_exception(); }
};

}  // namespace detail

// An unstructured task, started at once on the executor of the task creating it (else the main
// queue when created from a main-queue item, else the global queue). Copies share one state;
// any number of tasks may await it, before or after it ends, and each gets a copy of the value.
template <class T = void>
class Task {
 public:
  struct promise_type : detail::TaskPromiseCommon<T, promise_type> {
    Task get_return_object() { return Task(this->state); }
    template <class U>
    void return_value(U&& v) {
      this->state->value.emplace(std::forward<U>(v));
    }
  };

  void cancel() const { state_->cancel(); }
  bool isCancelled() const { return state_->isCancelled(); }
  bool isFinished() const {
    std::lock_guard lock(state_->resultMutex);
    return state_->finished;
  }
  const DispatchQueuePtr& executor() const { return state_->executor(); }

  // The outcome of a finished task: its value, or its exception rethrown.
  T result() const {
    std::lock_guard lock(state_->resultMutex);
    if (!state_->finished) throw std::logic_error("Task::result before the task finished");
    if (state_->error) std::rethrow_exception(state_->error);
    return *state_->value;
  }

  class Awaiter {
   public:
    explicit Awaiter(std::shared_ptr<detail::TaskState<T>> state) : state_(std::move(state)) {}
    bool await_ready() const {
      std::lock_guard lock(state_->resultMutex);
      return state_->finished;
    }
    template <detail::TaskPromise P>
    bool await_suspend(std::coroutine_handle<P> h) {
      std::lock_guard lock(state_->resultMutex);
      if (state_->finished) return false;
      state_->waiters.push_back({h.promise().core, h});
      return true;
    }
    T await_resume() const {
      std::lock_guard lock(state_->resultMutex);
      if (state_->error) std::rethrow_exception(state_->error);
      return *state_->value;
    }

   private:
    std::shared_ptr<detail::TaskState<T>> state_;
  };
  Awaiter operator co_await() const { return Awaiter(state_); }

 private:
  explicit Task(std::shared_ptr<detail::TaskState<T>> state) : state_(std::move(state)) {}
  std::shared_ptr<detail::TaskState<T>> state_;
};

template <>
struct Task<void>::promise_type : detail::TaskPromiseCommon<void, promise_type> {
  Task get_return_object() { return Task(this->state); }
  void return_void() { this->state->value.emplace(true); }
};

template <>
inline void Task<void>::result() const {
  std::lock_guard lock(state_->resultMutex);
  if (!state_->finished) throw std::logic_error("Task::result before the task finished");
  if (state_->error) std::rethrow_exception(state_->error);
}

template <>
inline void Task<void>::Awaiter::await_resume() const {
  std::lock_guard lock(state_->resultMutex);
  if (state_->error) std::rethrow_exception(state_->error);
}

// Awaits `awaitable` from inside a task; `onCancel` runs at most once: at once when the task
// is already cancelled, else on the thread that cancels, and never after the awaitable returned.
template <class Awaitable, class OnCancel>
class CancellationHandlerAwaiter {
 public:
  CancellationHandlerAwaiter(Awaitable awaitable, OnCancel onCancel)
      : inner_(std::move(awaitable)), onCancel_(std::move(onCancel)) {}

  bool await_ready() const noexcept { return false; }

  template <detail::TaskPromise P>
  auto await_suspend(std::coroutine_handle<P> h) {
    core_ = h.promise().core;
    record_ = std::make_shared<detail::CancellationRecord>([this] { onCancel_(); });
    if (!core_->install(record_)) {
      record_->fire();
    }
    // From here on another thread may resume (and destroy) this frame once the inner
    // awaitable hands its continuation out, so nothing below may touch `this`.
    if (inner_.await_ready()) return false;
    using R = decltype(inner_.await_suspend(h));
    if constexpr (std::is_void_v<R>) {
      inner_.await_suspend(h);
      return true;
    } else if constexpr (std::is_same_v<R, bool>) {
      return inner_.await_suspend(h);
    } else {
      static_assert(std::is_same_v<R, bool>, "symmetric transfer is not supported here");
    }
  }

  decltype(auto) await_resume() {
    core_->uninstall(record_);
    return inner_.await_resume();
  }

 private:
  Awaitable inner_;
  OnCancel onCancel_;
  detail::TaskCorePtr core_;
  detail::CancellationRecordPtr record_;
};

// A task is awaited through its awaiter; any other awaitable is used as it is.
template <class A>
decltype(auto) asAwaiter(A&& a) {
  if constexpr (requires { std::forward<A>(a).operator co_await(); }) {
    return std::forward<A>(a).operator co_await();
  } else {
    return std::forward<A>(a);
  }
}

template <class Awaitable, class OnCancel>
auto withTaskCancellationHandler(Awaitable&& awaitable, OnCancel onCancel) {
  using Inner = std::decay_t<decltype(asAwaiter(std::forward<Awaitable>(awaitable)))>;
  return CancellationHandlerAwaiter<Inner, OnCancel>(asAwaiter(std::forward<Awaitable>(awaitable)),
                                                     std::move(onCancel));
}

}  // namespace platform
