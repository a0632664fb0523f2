#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/display/capture_backend.h"

namespace platform {

// Where two frames of 32-bit pixels differ, as the bounding rectangle of the tiles that
// differ (empty when none does). For compositors that do not say what changed: comparing
// tile by tile finds an unchanged frame quickly (most tiles differ in their first row when
// anything moved) and bounds the change without looking at every pixel twice.
inline constexpr std::uint32_t kChangeTileSide = 64;
PixelArea changedTiles(const std::uint8_t* previous, const std::uint8_t* current,
                       std::uint32_t width, std::uint32_t height, std::size_t stride);

}  // namespace platform
