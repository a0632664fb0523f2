#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/display/capture_backend.h"

namespace platform {

// Captures the output named `output` of the wlroots compositor on `waylandDisplay` with the
// screencopy protocol (version 3): one Wayland connection per stream, frames copied only once
// the output changed (`copy_with_damage`) into a pool of shared-memory buffers that are handed
// on as the frames' BGRX pixels, at most one per frame interval.
std::unique_ptr<CaptureBackend> makeScreencopyCapture(const std::string& waylandDisplay,
                                                      const std::string& output,
                                                      CaptureBackendContext context);

namespace wlroots {

// The smallest rectangle holding both; an empty one holds nothing.
PixelArea unite(const PixelArea& a, const PixelArea& b);
// Clipped to a frame of `width`×`height`, and turned upside down when the frame arrived so.
PixelArea frameDamage(const PixelArea& damage, std::uint32_t width, std::uint32_t height,
                      bool yInverted);

}  // namespace wlroots

}  // namespace platform
