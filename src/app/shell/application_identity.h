#pragma once

#include <QIcon>
#include <QString>

namespace app {

// The name of the desktop file the application is installed with (without ".desktop"): the
// icon's name too, and the application id a Wayland compositor matches the window to.
inline constexpr const char* kDesktopFileName = "org.tovarine.Tovarine";

// The icon of the application's windows: the icon theme's, when the installed icon is there,
// else the logo of the bundle (a build tree, or a prefix outside the theme's search path).
QIcon applicationIcon();

// Gives the application its desktop file name and its windows their icon, so docks, task
// switchers and compositors show Tovarine's icon for its windows, minimised ones included.
void applyApplicationIdentity();

}  // namespace app
