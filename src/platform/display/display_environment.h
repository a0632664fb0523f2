#pragma once

#include <optional>
#include <string>

namespace platform {

// How virtual displays are made on this machine.
enum class VirtualDisplayBackendKind {
  // A RandR monitor added to the running X server.
  randrMonitor,
  // One Xvfb server per virtual display.
  xvfbPerDisplay,
};

// Where the display layer finds its X server and how it makes virtual displays.
struct DisplayEnvironment {
  // The running X server (":0"); empty when there is none.
  std::string xDisplay;
  VirtualDisplayBackendKind backend = VirtualDisplayBackendKind::xvfbPerDisplay;
  // The Xvfb program, looked up in PATH unless it contains a slash.
  std::string xvfbProgram = "Xvfb";
};

// The environment in force: the one installed with `setDisplayEnvironment`, else the one the
// process environment describes (DISPLAY; RandR monitors when it is set, unless
// TOVARINE_DISPLAY_BACKEND=xvfb).
DisplayEnvironment currentDisplayEnvironment();

// Replaces the environment read from the process environment (tests point the layer at their
// own X server this way); nullopt goes back to it.
void setDisplayEnvironment(std::optional<DisplayEnvironment> environment);

}  // namespace platform
