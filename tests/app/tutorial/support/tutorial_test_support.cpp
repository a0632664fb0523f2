#include "app/tutorial/support/tutorial_test_support.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPalette>
#include <QVBoxLayout>

#include <cstdlib>
#include <stdexcept>

#include "app/bundle/locale.h"
#include "platform/foundation/user_defaults.h"

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
  qputenv("QT_QPA_PLATFORM", "offscreen");
  static int argc = 1;
  static char name[] = "tutorial_tests";
  static char* argv[] = {name, nullptr};
  new QApplication(argc, argv);
  testing::AddGlobalTestEnvironment(new ApplicationEnvironment);
}

bool processEventsUntil(const std::function<bool()>& predicate, double timeoutSeconds) {
  QElapsedTimer timer;
  timer.start();
  while (!predicate()) {
    if (timer.elapsed() > timeoutSeconds * 1000) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
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

ScopedDefaultsFolder::ScopedDefaultsFolder() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "tovarine-tutorial-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  folder_ = pattern;
  platform::UserDefaults::setStandardDirectory(folder_);
}

ScopedDefaultsFolder::~ScopedDefaultsFolder() {
  platform::UserDefaults::setStandardDirectory(std::nullopt);
  std::error_code ec;
  std::filesystem::remove_all(folder_, ec);
}

namespace {

class RecordingService final : public widgets::LoginItemService {
 public:
  using Events = std::vector<std::string>;
  RecordingService(std::shared_ptr<Status> status, std::shared_ptr<Events> events)
      : status_(std::move(status)), events_(std::move(events)) {}
  Status status() const override {
    events_->push_back("status");
    return *status_;
  }
  Result registerService() override {
    events_->push_back("register");
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
};

}  // namespace

ScopedFakeLoginItemService::ScopedFakeLoginItemService() {
  // The status and the events live in the shared state; aliasing pointers keep it alive.
  auto state = state_;
  widgets::LoginItemService::setMainAppServiceProvider([state] {
    return std::make_shared<RecordingService>(
        std::shared_ptr<widgets::LoginItemService::Status>(state, &state->status),
        std::shared_ptr<std::vector<std::string>>(state, &state->events));
  });
}

ScopedFakeLoginItemService::~ScopedFakeLoginItemService() {
  widgets::LoginItemService::setMainAppServiceProvider(nullptr);
}

std::unique_ptr<QWidget> host(QWidget* child, int width, int height) {
  auto widget = std::make_unique<QWidget>();
  QPalette palette = widget->palette();
  palette.setColor(QPalette::Window, Qt::black);
  palette.setColor(QPalette::WindowText, Qt::white);
  widget->setPalette(palette);
  widget->setAutoFillBackground(true);
  auto* layout = new QVBoxLayout(widget.get());
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(child);
  widget->setFixedSize(width, height);
  widget->show();
  settle();
  return widget;
}

QImage render(QWidget& widget) {
  return widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

bool near(QColor actual, QColor expected, int tolerance) {
  return std::abs(actual.red() - expected.red()) <= tolerance &&
         std::abs(actual.green() - expected.green()) <= tolerance &&
         std::abs(actual.blue() - expected.blue()) <= tolerance;
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
