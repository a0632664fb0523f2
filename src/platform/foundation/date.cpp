#include "platform/foundation/date.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <utility>

namespace platform {

namespace {

// The clock is read far more often than replaced: readers take a copy of the shared pointer
// under the lock and call it outside, so a slow test clock never blocks a replacement.
std::mutex& clockMutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<const DateClock>& clockSlot() {
  static std::shared_ptr<const DateClock> slot;
  return slot;
}

// Whether a clock was ever installed: until then (always, outside tests) the system clock is
// read without the lock, which every thread that asks for the time would otherwise share.
std::atomic<bool>& clockInstalled() {
  static std::atomic<bool> installed{false};
  return installed;
}

Date systemNow() {
  using namespace std::chrono;
  auto since1970 = duration_cast<duration<double>>(system_clock::now().time_since_epoch());
  return Date::fromTimeIntervalSince1970(since1970.count());
}

}  // namespace

Date Date::now() {
  if (!clockInstalled().load(std::memory_order_acquire)) return systemNow();
  std::shared_ptr<const DateClock> clock;
  {
    std::lock_guard lock(clockMutex());
    clock = clockSlot();
  }
  if (clock && *clock) return (*clock)();
  return systemNow();
}

DateClock setDateClock(DateClock clock) {
  std::shared_ptr<const DateClock> next;
  if (clock) next = std::make_shared<const DateClock>(std::move(clock));
  std::shared_ptr<const DateClock> previous;
  {
    std::lock_guard lock(clockMutex());
    if (next) clockInstalled().store(true, std::memory_order_release);
    previous = std::exchange(clockSlot(), std::move(next));
  }
  return previous ? *previous : DateClock{};
}

}  // namespace platform
