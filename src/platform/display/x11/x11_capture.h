#pragma once

#include <memory>

#include "platform/display/capture_backend.h"
#include "platform/display/display_types.h"

namespace platform {

// Captures the display `id` of an X server: one X connection per stream, frames read with
// MIT-SHM into a pool of shared-memory buffers, and the Damage extension saying whether (and
// which rows of) the display changed. Only the rows changed since a buffer was last filled are
// read again into it. The display is followed when the screen's layout changes; the capture
// ends when it moves to another server or changes size.
std::unique_ptr<CaptureBackend> makeX11Capture(DisplayID id, CaptureBackendContext context);

}  // namespace platform
