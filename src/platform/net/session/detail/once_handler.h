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
  ~OnceHandler() { call(Value()); }
  OnceHandler(const OnceHandler&) = delete;
  OnceHandler& operator=(const OnceHandler&) = delete;
  void call(Value value) {
    if (called_.exchange(true)) return;
    if (handler_) handler_(std::move(value));
  }

 private:
  std::function<void(Value)> handler_;
  std::atomic<bool> called_{false};
};

}  // namespace platform::net_detail
