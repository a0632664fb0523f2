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

#include "app/splash/splash_services.h"
#include "app/starting/device_status_source.h"
#include "widgets/login-item/login_item_service.h"

namespace tutorial_test {

// The one QApplication of the test process, on the offscreen platform (no display needed),
// drawing with the system's copy of the application's fonts.
void ensureApplication();

// Processes Qt events until `predicate` holds or `timeoutSeconds` pass.
bool processEventsUntil(const std::function<bool()>& predicate, double timeoutSeconds = 5.0);
// Processes the events already waiting (queued redraws, deferred deletions).
void settle();

// Fixes the interface language while it lives.
class ScopedLocale {
 public:
  explicit ScopedLocale(const std::string& identifier);
  ~ScopedLocale();
};

// Points the standard user defaults at a temporary folder while it lives.
class ScopedDefaultsFolder {
 public:
  ScopedDefaultsFolder();
  ~ScopedDefaultsFolder();

 private:
  std::filesystem::path folder_;
};

// A screen-recording permission the test grants or withholds, counting the questions.
class FakePermission final : public app::ScreenCapturePermission {
 public:
  bool granted = false;
  bool grantOnRequest = false;
  int preflights = 0;
  int requests = 0;
  bool preflight() override {
    ++preflights;
    return granted;
  }
  bool request() override {
    ++requests;
    if (grantOnRequest) granted = true;
    return granted;
  }
};

// Records the addresses the desktop was asked to open.
class FakeWorkspace final : public app::Workspace {
 public:
  std::vector<std::string> openedURLs;
  void open(const std::filesystem::path&) override {}
  void openURL(const std::string& address) override { openedURLs.push_back(address); }
};

// A login-item service that only records what it was asked, installed while it lives.
class ScopedFakeLoginItemService {
 public:
  ScopedFakeLoginItemService();
  ~ScopedFakeLoginItemService();
  const std::vector<std::string>& events() const { return state_->events; }

 private:
  struct State {
    widgets::LoginItemService::Status status = widgets::LoginItemService::Status::notRegistered;
    std::vector<std::string> events;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

// A shown, black host of the given size around `child`, which fills it.
std::unique_ptr<QWidget> host(QWidget* child, int width, int height);

// The widget painted now, as an image of its exact pixel size.
QImage render(QWidget& widget);

bool near(QColor actual, QColor expected, int tolerance = 10);
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
