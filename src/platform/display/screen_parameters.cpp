#include "platform/display/screen_parameters.h"

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/display/display_backends.h"
#include "platform/display/display_environment.h"
#include "platform/foundation/notification_center.h"

namespace platform {

namespace {

class Watcher {
 public:
  ~Watcher() { stop(); }

  void start(const std::string& xDisplay) {
    std::lock_guard lock(mutex_);
    if (watch_ && xDisplay_ == xDisplay && watch_->watching()) return;
    stopLocked();
    if (xDisplay.empty()) return;
    watch_ = displayServer().watchScreenChanges(xDisplay, [] { postScreenParametersChanged(); });
    if (watch_) xDisplay_ = xDisplay;
  }

  void stop() {
    std::lock_guard lock(mutex_);
    stopLocked();
  }

 private:
  void stopLocked() {
    watch_.reset();
    xDisplay_.clear();
  }

  std::mutex mutex_;
  std::unique_ptr<ScreenChangeWatch> watch_;
  std::string xDisplay_;
};

Watcher& watcher() {
  // Never destroyed: its thread is ended by the exit handler below, before the notification
  // centre and the queues it posts through go away.
  static Watcher* instance = [] {
    NotificationCenter::defaultCenter();
    DispatchQueue::main();
    auto* made = new Watcher;
    std::atexit([] { watcher().stop(); });
    return made;
  }();
  return *instance;
}

}  // namespace

void startScreenParametersNotifications() {
  watcher().start(currentDisplayEnvironment().xDisplay);
}

void stopScreenParametersNotifications() {
  watcher().stop();
}

void postScreenParametersChanged() {
  DispatchQueue::main()->async([] {
    NotificationCenter::defaultCenter()->post(std::string(kScreenParametersDidChangeNotification));
  });
}

}  // namespace platform
