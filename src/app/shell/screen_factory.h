#pragma once

#include <QWidget>
#include <functional>

namespace app {

// Makes the screens that follow the splash screen, each a child of `parent`.
struct ScreenFactory {
  std::function<QWidget*(QWidget* parent)> makeTutorial;
  std::function<QWidget*(QWidget* parent)> makeStartingScreen;
};

}  // namespace app
