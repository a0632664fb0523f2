#include "widgets/qt/support/qt_test_support.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPalette>
#include <QVBoxLayout>

#include <cstdlib>
#include <stdexcept>

#include "platform/foundation/process_info.h"
#include "platform/foundation/user_defaults.h"

namespace widgets_test {

void ensureApplication() {
  if (QApplication::instance()) return;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  static int argc = 1;
  static char name[] = "widgets_qt_tests";
  static char* argv[] = {name, nullptr};
  // Lives for the rest of the process, as an application object does.
  new QApplication(argc, argv);
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

FakeUptime::FakeUptime() {
  platform::setUptimeSource([now = now_] { return *now; });
}

FakeUptime::~FakeUptime() {
  platform::setUptimeSource(nullptr);
}

ScopedDefaultsFolder::ScopedDefaultsFolder() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "tovarine-widgets-qt-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  folder_ = pattern;
  platform::UserDefaults::setStandardDirectory(folder_);
}

ScopedDefaultsFolder::~ScopedDefaultsFolder() {
  platform::UserDefaults::setStandardDirectory(std::nullopt);
  std::error_code ec;
  std::filesystem::remove_all(folder_, ec);
}

std::unique_ptr<QWidget> blackHost(QWidget* child, int width, int height) {
  auto host = std::make_unique<QWidget>();
  QPalette palette = host->palette();
  palette.setColor(QPalette::Window, Qt::black);
  palette.setColor(QPalette::WindowText, Qt::white);
  host->setPalette(palette);
  host->setAutoFillBackground(true);
  auto* layout = new QVBoxLayout(host.get());
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(child);
  host->resize(width, height);
  host->show();
  QCoreApplication::processEvents();
  return host;
}

QImage render(QWidget& host) {
  return host.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

bool near(QColor actual, QColor expected, int tolerance) {
  return std::abs(actual.red() - expected.red()) <= tolerance &&
         std::abs(actual.green() - expected.green()) <= tolerance &&
         std::abs(actual.blue() - expected.blue()) <= tolerance;
}

}  // namespace widgets_test
