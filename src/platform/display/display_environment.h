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
  // A headless output of a wlroots compositor, made over its IPC socket.
  wlrootsOutput,
  // A virtual monitor of GNOME's compositor, made through its screen-cast interface.
  gnomeVirtualMonitor,
  // A Wayland desktop without an interface for virtual displays; nothing can be made.
  unavailable,
};

// Where the display layer finds its X server and how it makes virtual displays.
struct DisplayEnvironment {
  // The running X server (":0"); empty when there is none.
  std::string xDisplay;
  VirtualDisplayBackendKind backend = VirtualDisplayBackendKind::xvfbPerDisplay;
  // The Xvfb program, looked up in PATH unless it contains a slash.
  std::string xvfbProgram = "Xvfb";
  // The compositor's Wayland socket (a name in XDG_RUNTIME_DIR, or a path) and, for wlroots,
  // its IPC socket.
  std::string waylandDisplay = {};
  std::string compositorSocket = {};
  // Why no virtual display can be made, for `unavailable`.
  std::string unavailableReason = {};
};

// What the process environment and the desktop say, for choosing the backend.
struct BackendClues {
  std::string forced;  // TOVARINE_DISPLAY_BACKEND
  std::string xDisplay, waylandDisplay, desktop;
  // The IPC socket that answered a version request (SWAYSOCK or I3SOCK); empty when none did.
  std::string answeringIpcSocket;
  bool screenCastOnBus = false;
};
// TOVARINE_DISPLAY_BACKEND (randr, xvfb, wlroots, gnome) forces a backend; otherwise a Wayland
// session takes the compositor whose interface answers, and an X session RandR monitors
// (Xvfb servers without any display).
DisplayEnvironment chooseDisplayEnvironment(const BackendClues& clues);

// The environment in force: the one installed with `setDisplayEnvironment`, else the one the
// process environment describes (see `chooseDisplayEnvironment`). A Wayland session is probed
// once per process.
DisplayEnvironment currentDisplayEnvironment();

// Replaces the environment read from the process environment (tests point the layer at their
// own X server this way); nullopt goes back to it.
void setDisplayEnvironment(std::optional<DisplayEnvironment> environment);

}  // namespace platform
