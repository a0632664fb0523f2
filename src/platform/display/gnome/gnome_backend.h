#pragma once

#include <expected>
#include <memory>
#include <string>

#include "platform/display/virtual_display_backend.h"

namespace platform {

// Whether GNOME's screen-cast interface is on the session bus.
bool mutterScreenCastAvailable();

// A virtual monitor of GNOME's compositor: a screen-cast session recording a virtual monitor,
// which exists while its stream is negotiated at the requested size.
std::expected<std::unique_ptr<VirtualDisplayHandle>, std::string> makeMutterDisplay(
    const VirtualDisplayRequest& request);

// Virtual monitors of GNOME's compositor.
const VirtualDisplayBackend& gnomeVirtualMonitorBackend();

}  // namespace platform
