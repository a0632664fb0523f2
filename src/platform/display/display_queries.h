#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/display/display_types.h"

namespace platform {

// The active displays, at most `maxDisplays`: the RandR monitors of the running X server,
// then the displays that have an X server of their own. Nullopt when the display layer works
// on a running X server that cannot be reached.
std::optional<std::vector<DisplayID>> getActiveDisplayList(std::uint32_t maxDisplays);

// A display's current mode: its size in points and in pixels (they differ on hiDPI modes).
struct DisplayMode {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t pixelWidth = 0;
  std::uint32_t pixelHeight = 0;
};
// Nullopt for a display that is not active.
std::optional<DisplayMode> copyDisplayMode(DisplayID display);

// The physical size in millimetres; zero when it is unknown or the display is not active.
DisplaySize displayScreenSize(DisplayID display);

// Whether the display is a panel built into the machine.
bool displayIsBuiltin(DisplayID display);

// The display's rectangle in points (on the X server that shows it); empty when the display is
// not active.
DisplayRect displayBounds(DisplayID display);

// The display's name (a monitor's name, or the name a virtual display was given).
std::optional<std::string> displayName(DisplayID display);

// Where a display's pixels are: which X server, and which rectangle of its root window.
struct DisplayLocation {
  std::string xDisplay;
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::uint32_t pixelWidth = 0;
  std::uint32_t pixelHeight = 0;
  // A RandR monitor, followed by its name atom; otherwise the whole screen.
  bool isMonitor = false;
};
std::optional<DisplayLocation> locateDisplay(DisplayID display);

}  // namespace platform
