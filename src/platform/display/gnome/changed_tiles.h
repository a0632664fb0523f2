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
PixelArea changedTiles(const std::uint8_t* previous, std::size_t previousStride,
                       const std::uint8_t* current, std::size_t currentStride, std::uint32_t width,
                       std::uint32_t height);
inline PixelArea changedTiles(const std::uint8_t* previous, const std::uint8_t* current,
                              std::uint32_t width, std::uint32_t height, std::size_t stride) {
  return changedTiles(previous, stride, current, stride, width, height);
}

// `sofar` grown to hold a damaged rectangle the compositor reported, cut to the
// width×height frame (a compositor's rectangle may reach past the edge); an empty `sofar`
// holds nothing yet. A rectangle wholly outside the frame adds nothing.
PixelArea addDamage(PixelArea sofar, std::int64_t x, std::int64_t y, std::int64_t width,
                    std::int64_t height, std::uint32_t frameWidth, std::uint32_t frameHeight);

}  // namespace platform
