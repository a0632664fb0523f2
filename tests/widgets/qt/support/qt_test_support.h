#pragma once

#include <QColor>
#include <QImage>
#include <QWidget>

#include <functional>
#include <memory>

#include "support/qt_test_helpers.h"

namespace widgets_test {

// The one QApplication of the test process, on the offscreen platform so no display is needed.
void ensureApplication();

using qt_test::processEventsUntil;
using qt_test::ScopedDefaultsFolder;

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

// A black, opaque, shown host of the given size around `child`, which fills it; its
// foreground colour is white.
std::unique_ptr<QWidget> blackHost(QWidget* child, int width, int height);

// The host painted now, as an image of its exact pixel size.
inline QImage render(QWidget& host) {
  return qt_test::grabImage(host);
}

// Whether two colours match within a small tolerance per channel.
inline bool near(QColor actual, QColor expected, int tolerance = 8) {
  return qt_test::colorsNear(actual, expected, tolerance);
}

}  // namespace widgets_test
