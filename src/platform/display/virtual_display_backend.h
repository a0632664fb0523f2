#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>

#include "platform/display/display_registry.h"
#include "platform/display/display_types.h"

namespace platform {

// A virtual display as the backends are asked for it.
struct VirtualDisplayRequest {
  std::string name;
  std::uint32_t pixelWidth = 0, pixelHeight = 0;
  std::uint32_t pointWidth = 0, pointHeight = 0;
  // Zero when the physical size is unknown.
  DisplaySize sizeInMillimeters;
};

// The sizes `request` asks for, as the registry keeps them for the display made.
inline void setRequestedSizes(OwnDisplayRecord& record, const VirtualDisplayRequest& request) {
  record.pixelWidth = request.pixelWidth;
  record.pixelHeight = request.pixelHeight;
  record.pointWidth = request.pointWidth;
  record.pointHeight = request.pointHeight;
  record.widthInMillimeters = request.sizeInMillimeters.width;
  record.heightInMillimeters = request.sizeInMillimeters.height;
}

// A display one of the backends made; destroying it removes the display.
class VirtualDisplayHandle {
 public:
  virtual ~VirtualDisplayHandle() = default;
  virtual DisplayID id() const = 0;
  virtual std::uint32_t pixelWidth() const = 0;
  virtual std::uint32_t pixelHeight() const = 0;
};

// A RandR monitor right of the existing ones on the X server `xDisplay`, which is enlarged to
// hold it.
std::expected<std::unique_ptr<VirtualDisplayHandle>, std::string> makeRandrMonitorDisplay(
    const std::string& xDisplay, const VirtualDisplayRequest& request);

// Removes the monitors of processes that died on `xDisplay` (see monitor_owners.h) and shrinks
// the screen back; answers how many were removed.
std::expected<int, std::string> reclaimAbandonedMonitors(const std::string& xDisplay);

// New monitor names made on one server, whatever process made them (atoms live as long as
// the server), listed in a root-window property; past the bound, monitors take
// `kFallbackMonitorName`.
inline constexpr std::size_t kMaxMonitorNameAtoms = 32;
inline constexpr const char* kMonitorNamesProperty = "_TOVARINE_MONITOR_NAMES";
inline constexpr const char* kFallbackMonitorName = "Tovarine Display";

// An Xvfb server whose screen is the display.
std::expected<std::unique_ptr<VirtualDisplayHandle>, std::string> makeXvfbDisplay(
    const std::string& xvfbProgram, const VirtualDisplayRequest& request);

// A headless output of the wlroots compositor whose IPC socket is `ipcSocket`, right of the
// existing outputs; captured over the Wayland socket `waylandDisplay`. A parked output of ours
// is reused before a new one is made.
std::expected<std::unique_ptr<VirtualDisplayHandle>, std::string> makeWlrootsDisplay(
    const std::string& ipcSocket, const std::string& waylandDisplay,
    const VirtualDisplayRequest& request);

// Takes back the outputs of processes that died on that compositor (removed, or parked where
// the compositor cannot remove them); answers how many.
std::expected<int, std::string> reclaimAbandonedOutputs(const std::string& ipcSocket);

// Whether GNOME's screen-cast interface is on the session bus.
bool mutterScreenCastAvailable();

// A virtual monitor of GNOME's compositor: a screen-cast session recording a virtual monitor,
// which exists while its stream is negotiated at the requested size.
std::expected<std::unique_ptr<VirtualDisplayHandle>, std::string> makeMutterDisplay(
    const VirtualDisplayRequest& request);

}  // namespace platform
