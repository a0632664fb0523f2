#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "platform/foundation/log.h"

namespace app {

// The one way back to a waiting caller: resuming it twice is a programming error that stops
// the program, and dropping it without resuming is logged, since the caller would wait forever.
// Copies share one state, so any copy may resume.
template <class Result>
class CheckedContinuation {
 public:
  CheckedContinuation(std::string name, std::function<void(Result)> resume)
      : state_(std::make_shared<State>(std::move(name), std::move(resume))) {}

  void resume(Result result) const {
    if (state_->resumed.exchange(true)) {
      platform::fatal("Continuation of " + state_->name + " resumed more than once");
    }
    auto resume = std::exchange(state_->resumeFunction, nullptr);
    resume(std::move(result));
  }

 private:
  struct State {
    State(std::string n, std::function<void(Result)> r)
        : name(std::move(n)), resumeFunction(std::move(r)) {}
    ~State() {
      if (!resumed) platform::log("Continuation of " + name + " was dropped without resuming");
    }
    std::string name;
    std::function<void(Result)> resumeFunction;
    std::atomic<bool> resumed{false};
  };
  std::shared_ptr<State> state_;
};

}  // namespace app
