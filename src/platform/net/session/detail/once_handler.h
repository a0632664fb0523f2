#pragma once

#include <atomic>
#include <functional>
#include <utility>

namespace platform::net_detail {

// A handler that is called exactly once: explicitly, or with an empty value when the last
// holder lets it go unanswered (a dropped command of a stopped session, a delegate that
// forgot).
template <class Value>
class OnceHandler {
 public:
  explicit OnceHandler(std::function<void(Value)> handler) : handler_(std::move(handler)) {}
  // The values go straight into the handler's parameter: a copy made here first would be moved
  // on, and g++ 12 (under ThreadSanitizer's instrumentation) takes the move of an empty optional
  // for a read of its uninitialised contents.
  ~OnceHandler() {
    if (!called_.exchange(true) && handler_) handler_(Value());
  }
  OnceHandler(const OnceHandler&) = delete;
  OnceHandler& operator=(const OnceHandler&) = delete;
  template <class Argument>
  void call(Argument&& value) {
    if (called_.exchange(true)) return;
    if (handler_) handler_(std::forward<Argument>(value));
  }

 private:
  std::function<void(Value)> handler_;
  std::atomic<bool> called_{false};
};

}  // namespace platform::net_detail
