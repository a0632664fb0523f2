#pragma once

#include <expected>
#include <memory>
#include <string>

#include "platform/display/virtual_display_backend.h"

namespace platform {

// A headless output of the wlroots compositor whose IPC socket is `ipcSocket`, right of the
// existing outputs; captured over the Wayland socket `waylandDisplay`. A parked output of ours
// is reused before a new one is made.
std::expected<std::unique_ptr<VirtualDisplayHandle>, std::string> makeWlrootsDisplay(
    const std::string& ipcSocket, const std::string& waylandDisplay,
    const VirtualDisplayRequest& request);

// Takes back the outputs of processes that died on that compositor (removed, or parked where
// the compositor cannot remove them); answers how many.
std::expected<int, std::string> reclaimAbandonedOutputs(const std::string& ipcSocket);

// Headless outputs of the wlroots compositor answering on `DisplayEnvironment::compositorSocket`.
const VirtualDisplayBackend& wlrootsOutputBackend();

}  // namespace platform
