#pragma once

#include <QColor>
#include <QImage>
#include <QWidget>

#include <filesystem>
#include <functional>
#include <memory>

namespace widgets_test {

// The one QApplication of the test process, on the offscreen platform so no display is needed.
void ensureApplication();

// Processes Qt events until `predicate` holds or `timeoutSeconds` pass.
bool processEventsUntil(const std::function<bool()>& predicate, double timeoutSeconds = 5.0);

// Replaces the system uptime that animations read with a clock moved only by `advance`.
class FakeUptime {
 public:
  FakeUptime();
  ~FakeUptime();
  void advance(double seconds) { *now_ += seconds; }
  double now() const { return *now_; }

 private:
  std::shared_ptr<double> now_ = std::make_shared<double>(1000.0);
};

// Points the standard user defaults at a temporary folder while it lives.
class ScopedDefaultsFolder {
 public:
  ScopedDefaultsFolder();
  ~ScopedDefaultsFolder();

 private:
  std::filesystem::path folder_;
};

// A black, opaque, shown host of the given size around `child`, which fills it; its
// foreground colour is white.
std::unique_ptr<QWidget> blackHost(QWidget* child, int width, int height);

// The host painted now, as an image of its exact pixel size.
QImage render(QWidget& host);

// Whether two colours match within a small tolerance per channel.
bool near(QColor actual, QColor expected, int tolerance = 8);

}  // namespace widgets_test
