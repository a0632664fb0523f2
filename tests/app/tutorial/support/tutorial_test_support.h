#pragma once

#include <QColor>
#include <QImage>
#include <QRect>
#include <QWidget>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/support/app_fakes.h"
#include "support/qt_test_helpers.h"
#include "widgets/login-item/login_item_service.h"

namespace tutorial_test {

// The one QApplication of the test process, on the offscreen platform (no display needed),
// drawing with the system's copy of the application's fonts.
void ensureApplication();

using qt_test::processEventsUntil;
// Processes the events already waiting (queued redraws, deferred deletions).
void settle();

// Fixes the interface language while it lives.
class ScopedLocale {
 public:
  explicit ScopedLocale(const std::string& identifier);
  ~ScopedLocale();
};

using qt_test::ScopedDefaultsFolder;

// The tutorial begins before screen recording is allowed.
class FakePermission final : public app::test::FakePermission {
 public:
  FakePermission() : app::test::FakePermission(false) {}
};

using app::test::FakeWorkspace;

// A login-item service that only records what it was asked, installed while it lives.
class ScopedFakeLoginItemService {
 public:
  ScopedFakeLoginItemService();
  ~ScopedFakeLoginItemService();
  const std::vector<std::string>& events() const { return state_->events; }
  // From now on every registering fails, as a desktop without autostart folder would.
  void refuseRegistering() { state_->refuseRegister = true; }

 private:
  struct State {
    widgets::LoginItemService::Status status = widgets::LoginItemService::Status::notRegistered;
    std::vector<std::string> events;
    bool refuseRegister = false;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

// A shown, black host of the given size around `child`, which fills it.
std::unique_ptr<QWidget> host(QWidget* child, int width, int height);

// The widget painted now, as an image of its exact pixel size.
inline QImage render(QWidget& widget) {
  return qt_test::grabImage(widget);
}

inline bool near(QColor actual, QColor expected, int tolerance = 10) {
  return qt_test::colorsNear(actual, expected, tolerance);
}
// How many pixels of `area` lie near `color`.
int countNear(const QImage& image, const QRect& area, QColor color, int tolerance = 10);

// `widget`'s rectangle in the coordinates of `ancestor`.
QRect rectIn(const QWidget& widget, const QWidget& ancestor);

// The first descendant of `root` with this object name and type.
template <class T = QWidget>
T* find(const QWidget& root, const char* name) {
  return root.findChild<T*>(QString::fromLatin1(name));
}

}  // namespace tutorial_test
