#pragma once

// What the Qt widget tests of the libraries and of the application share: the offscreen
// application, running the event loop until something holds, a defaults folder of the test's
// own, black hosts and pixel checks. Header-only, as each folder's tests link their own Qt
// library.

#include <QApplication>
#include <QColor>
#include <QElapsedTimer>
#include <QImage>
#include <QPalette>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>

#include "platform/foundation/user_defaults.h"

namespace qt_test {

// Makes the process's QApplication on the offscreen platform, so no display is needed. Call
// once, when there is no application yet; the object lives until the caller deletes it.
inline QApplication* makeOffscreenApplication(const char* programName) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  // Qt keeps the argument count and vector for the application's whole life.
  static int argc = 1;
  static std::string name = programName;
  static char* argv[] = {name.data(), nullptr};
  return new QApplication(argc, argv);
}

// Processes Qt events until `predicate` holds or `timeoutSeconds` pass.
inline bool processEventsUntil(const std::function<bool()>& predicate,
                               double timeoutSeconds = 5.0) {
  QElapsedTimer timer;
  timer.start();
  while (!predicate()) {
    if (timer.elapsed() > timeoutSeconds * 1000) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

// Points the standard user defaults at a temporary folder while it lives.
class ScopedDefaultsFolder {
 public:
  ScopedDefaultsFolder() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tovarine-qt-defaults-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
    platform::UserDefaults::setStandardDirectory(folder_);
  }
  ~ScopedDefaultsFolder() {
    platform::UserDefaults::setStandardDirectory(std::nullopt);
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
  ScopedDefaultsFolder(const ScopedDefaultsFolder&) = delete;
  ScopedDefaultsFolder& operator=(const ScopedDefaultsFolder&) = delete;

 private:
  std::filesystem::path folder_;
};

// A black, opaque host with a white foreground around `child`, which fills it; not yet sized
// or shown.
inline std::unique_ptr<QWidget> blackHostAround(QWidget* child) {
  auto host = std::make_unique<QWidget>();
  QPalette palette = host->palette();
  palette.setColor(QPalette::Window, Qt::black);
  palette.setColor(QPalette::WindowText, Qt::white);
  host->setPalette(palette);
  host->setAutoFillBackground(true);
  auto* layout = new QVBoxLayout(host.get());
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(child);
  return host;
}

// The widget as it is on screen now (its own and its children's paint), an image of its exact
// pixel size.
inline QImage grabImage(QWidget& widget) {
  return widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// Whether two colours match within `tolerance` in each channel.
inline bool colorsNear(QColor actual, QColor expected, int tolerance) {
  return std::abs(actual.red() - expected.red()) <= tolerance &&
         std::abs(actual.green() - expected.green()) <= tolerance &&
         std::abs(actual.blue() - expected.blue()) <= tolerance;
}

}  // namespace qt_test
