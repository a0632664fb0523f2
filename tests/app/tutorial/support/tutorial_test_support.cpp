#include "app/tutorial/support/tutorial_test_support.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <cerrno>

#include "app/style/qt_style.h"

#include "app/bundle/locale.h"
#include "platform/foundation/file_manager.h"

namespace tutorial_test {

namespace {

// Ends the application object after the last test, so the font caches it holds are released
// before the leak check runs.
class ApplicationEnvironment final : public testing::Environment {
 public:
  void TearDown() override { delete QApplication::instance(); }
};

}  // namespace

void ensureApplication() {
  if (QApplication::instance()) return;
  qt_test::makeOffscreenApplication("tutorial_tests");
  app::applyApplicationStyle();
  testing::AddGlobalTestEnvironment(new ApplicationEnvironment);
}

void settle() {
  for (int i = 0; i < 3; ++i) {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents(QEventLoop::AllEvents);
  }
}

ScopedLocale::ScopedLocale(const std::string& identifier) {
  app::Locale::setCurrent(app::Locale{identifier});
}

ScopedLocale::~ScopedLocale() {
  app::Locale::setCurrent(std::nullopt);
}

namespace {

class RecordingService final : public widgets::LoginItemService {
 public:
  using Events = std::vector<std::string>;
  RecordingService(std::shared_ptr<Status> status, std::shared_ptr<Events> events,
                   std::shared_ptr<const bool> refuse)
      : status_(std::move(status)), events_(std::move(events)), refuse_(std::move(refuse)) {}
  Status status() const override {
    events_->push_back("status");
    return *status_;
  }
  Result registerService() override {
    events_->push_back("register");
    if (*refuse_)
      return std::unexpected(
          platform::makeError(platform::FileError(EACCES, "write", "autostart")));
    *status_ = Status::enabled;
    return {};
  }
  Result unregisterService() override {
    events_->push_back("unregister");
    *status_ = Status::notRegistered;
    return {};
  }

 private:
  std::shared_ptr<Status> status_;
  std::shared_ptr<Events> events_;
  std::shared_ptr<const bool> refuse_;
};

}  // namespace

ScopedFakeLoginItemService::ScopedFakeLoginItemService() {
  // The status and the events live in the shared state; aliasing pointers keep it alive.
  auto state = state_;
  widgets::LoginItemService::setMainAppServiceProvider([state] {
    return std::make_shared<RecordingService>(
        std::shared_ptr<widgets::LoginItemService::Status>(state, &state->status),
        std::shared_ptr<std::vector<std::string>>(state, &state->events),
        std::shared_ptr<const bool>(state, &state->refuseRegister));
  });
}

ScopedFakeLoginItemService::~ScopedFakeLoginItemService() {
  widgets::LoginItemService::setMainAppServiceProvider(nullptr);
}

std::unique_ptr<QWidget> host(QWidget* child, int width, int height) {
  auto widget = qt_test::blackHostAround(child);
  widget->setFixedSize(width, height);
  widget->show();
  settle();
  return widget;
}

int countNear(const QImage& image, const QRect& area, QColor color, int tolerance) {
  const QRect clipped = area.intersected(image.rect());
  int count = 0;
  for (int y = clipped.top(); y <= clipped.bottom(); ++y) {
    for (int x = clipped.left(); x <= clipped.right(); ++x) {
      if (near(image.pixelColor(x, y), color, tolerance)) ++count;
    }
  }
  return count;
}

QRect rectIn(const QWidget& widget, const QWidget& ancestor) {
  return QRect(widget.mapTo(&ancestor, QPoint(0, 0)), widget.size());
}

}  // namespace tutorial_test
