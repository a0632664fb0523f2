#pragma once

#include <functional>

#include "platform/foundation/observable.h"

namespace widgets {

// A repeating timer on the main queue. Each subscription starts its own timer, which fires
// every `interval` seconds until the returned handle is cancelled or destroyed. Under a
// virtual main clock the ticks follow virtual time.
class TimerPublisher {
 public:
  explicit TimerPublisher(double interval) : interval_(interval) {}

  double interval() const { return interval_; }
  [[nodiscard]] platform::Cancellable subscribe(std::function<void()> tick) const;

 private:
  double interval_;
};

}  // namespace widgets
