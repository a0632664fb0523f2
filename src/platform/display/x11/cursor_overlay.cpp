#include "platform/display/x11/cursor_overlay.h"

#include <algorithm>

namespace platform::x11 {

std::optional<PixelArea> cursorFootprint(const CursorState& cursor, const PixelArea& area) {
  if (!cursor.onScreen || cursor.width == 0 || cursor.height == 0) return std::nullopt;
  if (cursor.pixels.size() < std::size_t{cursor.width} * cursor.height) return std::nullopt;
  // In 64 bits: positions near the coordinate limits must not wrap around.
  const std::int64_t left = std::int64_t{cursor.x} - cursor.xhot - area.x;
  const std::int64_t top = std::int64_t{cursor.y} - cursor.yhot - area.y;
  const std::int64_t x0 = std::max<std::int64_t>(left, 0);
  const std::int64_t y0 = std::max<std::int64_t>(top, 0);
  const std::int64_t x1 = std::min<std::int64_t>(left + cursor.width, area.width);
  const std::int64_t y1 = std::min<std::int64_t>(top + cursor.height, area.height);
  if (x0 >= x1 || y0 >= y1) return std::nullopt;
  return PixelArea{static_cast<std::int32_t>(x0), static_cast<std::int32_t>(y0),
                   static_cast<std::uint32_t>(x1 - x0), static_cast<std::uint32_t>(y1 - y0)};
}

std::optional<PixelArea> drawCursor(const CursorState& cursor, const PixelArea& area,
                                    std::uint8_t* pixels, std::size_t stride) {
  const auto footprint = cursorFootprint(cursor, area);
  if (!footprint) return std::nullopt;
  const std::int64_t left = std::int64_t{cursor.x} - cursor.xhot - area.x;
  const std::int64_t top = std::int64_t{cursor.y} - cursor.yhot - area.y;
  for (std::uint32_t row = 0; row < footprint->height; ++row) {
    const std::int64_t y = footprint->y + row;
    const std::uint32_t* source = cursor.pixels.data() + std::size_t(y - top) * cursor.width +
                                  std::size_t(footprint->x - left);
    std::uint8_t* target = pixels + std::size_t(y) * stride + std::size_t(footprint->x) * 4;
    for (std::uint32_t column = 0; column < footprint->width; ++column, target += 4) {
      const std::uint32_t argb = source[column];
      const std::uint32_t alpha = argb >> 24;
      if (alpha == 0) continue;  // most of a cursor's box
      const std::uint32_t keep = 255 - alpha;
      // Premultiplied source over the picture: colour = source + picture * (1 - alpha).
      const auto over = [keep](std::uint32_t source, std::uint8_t picture) {
        const std::uint32_t value = source + (picture * keep + 127) / 255;
        return static_cast<std::uint8_t>(std::min<std::uint32_t>(value, 255));
      };
      target[0] = over(argb & 0xff, target[0]);
      target[1] = over((argb >> 8) & 0xff, target[1]);
      target[2] = over((argb >> 16) & 0xff, target[2]);
    }
  }
  return footprint;
}

}  // namespace platform::x11
