#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/display/capture_backend.h"
#include "platform/display/display_types.h"
#include "platform/display/window_placement.h"

namespace platform {

// One active monitor of the running display server, as the display queries see it.
struct ServerMonitor {
  DisplayID id = kNullDisplayID;
  std::int32_t x = 0, y = 0;
  std::uint32_t width = 0, height = 0;
  double widthInMillimeters = 0, heightInMillimeters = 0;
  // Filled only when names are asked for: they cost a round trip per monitor.
  std::string name;
  bool builtin = false;
};

// A watch of a server's screen layout; ends when destroyed.
class ScreenChangeWatch {
 public:
  virtual ~ScreenChangeWatch() = default;
  // False once the server went away and the watch ended by itself.
  virtual bool watching() const = 0;
};

// The display server the desktop runs on (named by `DisplayEnvironment::xDisplay`), whichever
// backend makes the virtual displays: its monitors, its layout changes, and the capture of a
// display it shows.
class DisplayServer {
 public:
  virtual ~DisplayServer() = default;
  // Nullopt when the server cannot be asked for its monitors.
  virtual std::optional<std::vector<ServerMonitor>> monitors(const std::string& server,
                                                             bool withNames) const = 0;
  // Its active monitors for placing a window, those of our virtual displays marked; nullopt
  // when the server cannot be asked.
  virtual std::optional<std::vector<PlacementOutput>> placementOutputs(
      const std::string& server) const = 0;
  // Calls `changed` on a thread of the watch after every change of the layout; every change
  // after the return is seen. Null when the server cannot be watched.
  virtual std::unique_ptr<ScreenChangeWatch> watchScreenChanges(
      const std::string& server, std::function<void()> changed) const = 0;
  virtual std::unique_ptr<CaptureBackend> makeCapture(DisplayID id,
                                                      CaptureBackendContext context) const = 0;
};

}  // namespace platform
