#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <string>

#include "platform/display/display_server.h"
#include "platform/display/virtual_display_backend.h"

namespace platform {

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

// RandR monitors on the running X server.
const VirtualDisplayBackend& randrMonitorBackend();

// An X server as the desktop's display server.
const DisplayServer& x11DisplayServer();

}  // namespace platform
