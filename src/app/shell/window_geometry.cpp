#include "app/shell/window_geometry.h"

#include <QGuiApplication>
#include <QScreen>
#include <cstdlib>

#include "platform/display/window_placement.h"

namespace app {
namespace {

constexpr double kMissingDimension = 1000.0;

}  // namespace

WindowSize windowSize(std::optional<double> screenWidth, std::optional<double> screenHeight) {
  return {screenWidth.value_or(kMissingDimension) / 1.5,
          screenHeight.value_or(kMissingDimension) / 1.2};
}

double progressBarWidth(std::optional<double> screenWidth) {
  return screenWidth ? *screenWidth / 2.0 : 500.0;
}

const QScreen* mainScreen() {
  const char* display = std::getenv("DISPLAY");
  if (QGuiApplication::platformName() != QStringLiteral("xcb") || !display || !*display) {
    return QGuiApplication::primaryScreen();
  }
  const auto area = platform::windowPlacementArea(display);
  if (!area) return QGuiApplication::primaryScreen();
  // Qt keeps a screen's origin in device pixels and scales only its size.
  const QPoint origin(static_cast<int>(area->origin.x), static_cast<int>(area->origin.y));
  for (QScreen* screen : QGuiApplication::screens()) {
    if (screen->geometry().topLeft() == origin) return screen;
  }
  if (QScreen* screen = QGuiApplication::screenAt(origin)) return screen;
  return QGuiApplication::primaryScreen();
}

std::optional<double> mainScreenWidth() {
  const QScreen* screen = mainScreen();
  if (!screen) return std::nullopt;
  return static_cast<double>(screen->geometry().width());
}

std::optional<double> mainScreenHeight() {
  const QScreen* screen = mainScreen();
  if (!screen) return std::nullopt;
  return static_cast<double>(screen->geometry().height());
}

WindowSize currentWindowSize() {
  return windowSize(mainScreenWidth(), mainScreenHeight());
}

}  // namespace app
