#pragma once

#include <QObject>
#include <QPointer>
#include <memory>

#include "platform/dispatch/main_queue.h"

namespace app {

// Runs the main queue on the Qt event loop: whenever the queue gains work, one queued
// invocation is posted to `context`'s thread (the GUI thread), which drains the queue. Wakes
// that arrive while a drain is already pending are folded into it.
class QtMainQueueDriver final : public platform::MainQueueDriver {
 public:
  explicit QtMainQueueDriver(QObject* context);
  void wake() override;

  // Installs a driver on the application object (the GUI thread) and drains what is waiting.
  static std::shared_ptr<QtMainQueueDriver> install();
  // Detaches the main queue from Qt again.
  static void uninstall();

 private:
  QPointer<QObject> context_;
  std::shared_ptr<std::atomic<bool>> pending_;
};

}  // namespace app
