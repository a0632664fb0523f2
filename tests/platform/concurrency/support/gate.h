#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/concurrency/checked_continuation.h"

namespace test {

// A continuation a task parks on until the test opens it.
template <class T>
class Gate {
 public:
  Gate() : state_(std::make_shared<State>()) {}

  // Awaited by a task body: suspends until `open`.
  auto wait() const {
    auto state = state_;
    return platform::withCheckedContinuation<T>("gate",
                                                [state](platform::CheckedContinuation<T> c) {
                                                  std::lock_guard lock(state->mutex);
                                                  state->continuation.emplace(std::move(c));
                                                });
  }
  bool isWaiting() const {
    std::lock_guard lock(state_->mutex);
    return state_->continuation.has_value();
  }
  void open(T value) const {
    std::optional<platform::CheckedContinuation<T>> c;
    {
      std::lock_guard lock(state_->mutex);
      c.swap(state_->continuation);
    }
    c->resume(std::move(value));
  }

 private:
  struct State {
    std::mutex mutex;
    std::optional<platform::CheckedContinuation<T>> continuation;
  };
  std::shared_ptr<State> state_;
};

}  // namespace test
