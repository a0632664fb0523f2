#include "app/shell/qt_main_queue_driver.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <atomic>

namespace app {

QtMainQueueDriver::QtMainQueueDriver(QObject* context)
    : context_(context), pending_(std::make_shared<std::atomic<bool>>(false)) {}

void QtMainQueueDriver::wake() {
  if (pending_->exchange(true)) return;
  QObject* context = context_.data();
  if (!context) {
    pending_->store(false);
    return;
  }
  // Called from any thread; the queued invocation runs on the context's (GUI) thread.
  QMetaObject::invokeMethod(
      context,
      [pending = pending_] {
        // Cleared before draining, so work queued during the drain posts a new wake.
        pending->store(false);
        platform::drainMainQueue();
      },
      Qt::QueuedConnection);
}

std::shared_ptr<QtMainQueueDriver> QtMainQueueDriver::install() {
  auto driver = std::make_shared<QtMainQueueDriver>(QCoreApplication::instance());
  platform::setMainQueueDriver(driver);
  return driver;
}

void QtMainQueueDriver::uninstall() {
  platform::setMainQueueDriver(nullptr);
}

}  // namespace app
