#include "app/shell/window_geometry.h"

#include <QGuiApplication>
#include <QScreen>

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

std::optional<double> mainScreenWidth() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return std::nullopt;
  return static_cast<double>(screen->geometry().width());
}

std::optional<double> mainScreenHeight() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return std::nullopt;
  return static_cast<double>(screen->geometry().height());
}

WindowSize currentWindowSize() {
  return windowSize(mainScreenWidth(), mainScreenHeight());
}

}  // namespace app
