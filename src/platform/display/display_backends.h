#pragma once

#include "platform/display/display_environment.h"
#include "platform/display/display_server.h"
#include "platform/display/virtual_display_backend.h"

namespace platform {

// The backend that makes displays of `kind`; null for `unavailable`.
const VirtualDisplayBackend* virtualDisplayBackend(VirtualDisplayBackendKind kind);

// The display server of the desktop.
const DisplayServer& displayServer();

}  // namespace platform
