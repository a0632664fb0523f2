#pragma once

#include <optional>

class QScreen;

namespace app {

struct WindowSize {
  double width = 0;
  double height = 0;
  bool operator==(const WindowSize&) const = default;
};

// The window: two thirds of the main screen's width by five sixths of its height; a dimension
// the screen does not tell counts as 1000 points.
WindowSize windowSize(std::optional<double> screenWidth, std::optional<double> screenHeight);

// The progress bar of the splash screen: half the main screen's width, 500 without a screen.
double progressBarWidth(std::optional<double> screenWidth);

// The screen the application's window belongs on: on X11 the primary output, else the first
// output that is not a tablet's display (a display that comes and goes with the tablet);
// elsewhere the desktop's primary screen. Null without a screen.
const QScreen* mainScreen();

// The main screen's size as the desktop reports it (nothing without a screen).
std::optional<double> mainScreenWidth();
std::optional<double> mainScreenHeight();

// The window size for the current main screen.
WindowSize currentWindowSize();

}  // namespace app
