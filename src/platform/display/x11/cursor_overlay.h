#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/display/capture_backend.h"

namespace platform::x11 {

// The pointer as the X server shows it: its image (premultiplied ARGB, one 32-bit word a pixel,
// as XFixes hands it over), its hot spot and where the pointer is on the root window.
struct CursorState {
  std::uint32_t serial = 0;
  std::uint16_t width = 0;
  std::uint16_t height = 0;
  std::uint16_t xhot = 0;
  std::uint16_t yhot = 0;
  std::vector<std::uint32_t> pixels;
  std::int32_t x = 0;
  std::int32_t y = 0;
  // False while the pointer is on another screen of the server.
  bool onScreen = false;
};

// The part of a picture of `area` (a rectangle of the root window) that the cursor covers, in
// the picture's own coordinates; nothing when it covers none of it.
std::optional<PixelArea> cursorFootprint(const CursorState& cursor, const PixelArea& area);

// Blends the cursor over a BGRX picture of `area` (`stride` bytes a row) and returns the rows
// and columns it changed.
std::optional<PixelArea> drawCursor(const CursorState& cursor, const PixelArea& area,
                                    std::uint8_t* pixels, std::size_t stride);

}  // namespace platform::x11
