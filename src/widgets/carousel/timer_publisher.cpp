#include "widgets/carousel/timer_publisher.h"

#include <atomic>
#include <memory>

#include "platform/dispatch/dispatch_queue.h"

namespace widgets {
namespace {

struct TimerState {
  std::atomic<bool> cancelled{false};
  std::function<void()> tick;
  double interval;
};

void scheduleNext(const std::shared_ptr<TimerState>& state) {
  platform::DispatchQueue::main()->asyncAfter(state->interval, [state] {
    if (state->cancelled.load()) return;
    state->tick();
    if (!state->cancelled.load()) scheduleNext(state);
  });
}

}  // namespace

platform::Cancellable TimerPublisher::subscribe(std::function<void()> tick) const {
  auto state = std::make_shared<TimerState>();
  state->tick = std::move(tick);
  state->interval = interval_;
  scheduleNext(state);
  return platform::Cancellable([state] { state->cancelled.store(true); });
}

}  // namespace widgets
