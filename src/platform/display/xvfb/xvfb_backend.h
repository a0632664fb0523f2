#pragma once

#include <expected>
#include <memory>
#include <string>

#include "platform/display/virtual_display_backend.h"

namespace platform {

// An Xvfb server whose screen is the display.
std::expected<std::unique_ptr<VirtualDisplayHandle>, std::string> makeXvfbDisplay(
    const std::string& xvfbProgram, const VirtualDisplayRequest& request);

// One Xvfb server per display.
const VirtualDisplayBackend& xvfbPerDisplayBackend();

}  // namespace platform
