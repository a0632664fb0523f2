#include "widgets/qt/support/qt_test_support.h"

#include <QApplication>

#include "platform/foundation/process_info.h"

namespace widgets_test {

void ensureApplication() {
  if (QApplication::instance()) return;
  // Lives for the rest of the process, as an application object does.
  qt_test::makeOffscreenApplication("widgets_qt_tests");
}

FakeUptime::FakeUptime() {
  platform::setUptimeSource([now = now_] { return *now; });
}

FakeUptime::~FakeUptime() {
  platform::setUptimeSource(nullptr);
}

std::unique_ptr<QWidget> blackHost(QWidget* child, int width, int height) {
  auto host = qt_test::blackHostAround(child);
  host->resize(width, height);
  host->show();
  QCoreApplication::processEvents();
  return host;
}

}  // namespace widgets_test
