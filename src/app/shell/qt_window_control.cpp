#include "app/shell/qt_window_control.h"

#include <QApplication>
#include <QWidget>

namespace app {

namespace {

// The one top-level window of the application, found by name so that it is found while it is
// minimised too (a minimised window is never the active one).
QWidget* mainWindow() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (widget->objectName() == QStringLiteral("mainWindow")) return widget;
  }
  return nullptr;
}

}  // namespace

void QtWindowControl::minimize() {
  if (QWidget* window = mainWindow()) window->showMinimized();
}

void QtWindowControl::restore() {
  if (QWidget* window = mainWindow()) {
    window->showNormal();
    window->raise();
    window->activateWindow();
  }
}

}  // namespace app
