#pragma once

#include <atomic>
#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/concurrency/task.h"
#include "platform/foundation/log.h"

namespace platform {

namespace detail {

template <class Result>
class ContinuationState {
 public:
  ContinuationState(std::string name, std::function<void(Result)> resume)
      : name_(std::move(name)), resume_(std::move(resume)) {}
  ContinuationState(const ContinuationState&) = delete;
  ContinuationState& operator=(const ContinuationState&) = delete;
  ~ContinuationState() {
    if (!resumed_.load())
      platform::log("Continuation of " + name_ + " was dropped without resuming");
  }

  void resume(Result result) {
    if (resumed_.exchange(true)) {
      platform::fatal("Continuation of " + name_ + " resumed more than once");
    }
    auto resume = std::exchange(resume_, nullptr);
    resume(std::move(result));
  }

 private:
  std::string name_;
  std::function<void(Result)> resume_;
  std::atomic<bool> resumed_{false};
};

}  // namespace detail

// The one way back to a waiting caller: resuming it twice is a programming error that stops
// the program, and dropping it without resuming is logged, since the caller would wait forever.
// Copies share one state, so any copy may resume, from any thread.
template <class T>
class CheckedContinuation {
 public:
  CheckedContinuation(std::string name, std::function<void(T)> resume)
      : state_(std::make_shared<detail::ContinuationState<T>>(std::move(name), std::move(resume))) {
  }

  void resume(T value) const { state_->resume(std::move(value)); }

 private:
  std::shared_ptr<detail::ContinuationState<T>> state_;
};

// As `CheckedContinuation`, resumed with either a value or an error.
template <class T>
class CheckedThrowingContinuation {
 public:
  struct Outcome {
    Outcome(std::optional<T> v, std::exception_ptr e) : value(std::move(v)), error(std::move(e)) {}
    std::optional<T> value;
    std::exception_ptr error;
  };

  CheckedThrowingContinuation(std::string name, std::function<void(Outcome)> resume)
      : state_(std::make_shared<detail::ContinuationState<Outcome>>(std::move(name),
                                                                    std::move(resume))) {}

  void resume(T value) const { state_->resume(Outcome(std::move(value), nullptr)); }
  void resume(std::exception_ptr error) const { state_->resume(Outcome(std::nullopt, error)); }
  template <class E>
  void resumeThrowing(E error) const {
    resume(std::make_exception_ptr(std::move(error)));
  }

 private:
  std::shared_ptr<detail::ContinuationState<Outcome>> state_;
};

namespace detail {

// Hands a continuation to `body` and suspends the awaiting task until it is resumed. The value
// lands in a slot shared with the continuation, and resumption is posted to the task's
// executor: the awaiter never runs inline on the resuming thread.
template <class T, bool Throwing, class Body>
class ContinuationAwaiter {
 public:
  ContinuationAwaiter(std::string name, Body body)
      : name_(std::move(name)), body_(std::move(body)), slot_(std::make_shared<Slot>()) {}

  bool await_ready() const noexcept { return false; }

  template <TaskPromise P>
  void await_suspend(std::coroutine_handle<P> h) {
    // Everything the body needs is moved out first: once the continuation is resumed another
    // thread may resume the task and destroy this awaiter while the body still runs.
    auto body = std::move(body_);
    auto slot = slot_;
    auto core = h.promise().core;
    std::coroutine_handle<> handle = h;
    if constexpr (Throwing) {
      using C = CheckedThrowingContinuation<T>;
      C continuation(std::move(name_), [slot, core, handle](typename C::Outcome outcome) {
        slot->value = std::move(outcome.value);
        slot->error = outcome.error;
        resumeOn(core, handle);
      });
      body(std::move(continuation));
    } else {
      CheckedContinuation<T> continuation(std::move(name_), [slot, core, handle](T value) {
        slot->value.emplace(std::move(value));
        resumeOn(core, handle);
      });
      body(std::move(continuation));
    }
  }

  T await_resume() {
    if (slot_->error) std::rethrow_exception(slot_->error);
    return std::move(*slot_->value);
  }

 private:
  struct Slot {
    std::optional<T> value;
    std::exception_ptr error;
  };
  std::string name_;
  Body body_;
  std::shared_ptr<Slot> slot_;
};

}  // namespace detail

template <class T, class Body>
auto withCheckedContinuation(std::string name, Body body) {
  return detail::ContinuationAwaiter<T, false, Body>(std::move(name), std::move(body));
}

template <class T, class Body>
auto withCheckedThrowingContinuation(std::string name, Body body) {
  return detail::ContinuationAwaiter<T, true, Body>(std::move(name), std::move(body));
}

}  // namespace platform
