#include "platform/display/gnome/changed_tiles.h"

#include <algorithm>
#include <cstring>

namespace platform {

PixelArea changedTiles(const std::uint8_t* previous, const std::uint8_t* current,
                       std::uint32_t width, std::uint32_t height, std::size_t stride) {
  std::uint32_t left = width, top = height, right = 0, bottom = 0;
  for (std::uint32_t tileY = 0; tileY < height; tileY += kChangeTileSide) {
    const std::uint32_t tileBottom = std::min(height, tileY + kChangeTileSide);
    for (std::uint32_t tileX = 0; tileX < width; tileX += kChangeTileSide) {
      // Tiles inside the rectangle found so far change nothing about it.
      if (tileX >= left && tileX + kChangeTileSide <= right && tileY >= top &&
          tileBottom <= bottom) {
        continue;
      }
      const std::uint32_t tileRight = std::min(width, tileX + kChangeTileSide);
      const std::size_t bytes = std::size_t{tileRight - tileX} * 4;
      for (std::uint32_t row = tileY; row < tileBottom; ++row) {
        const std::size_t offset = std::size_t{row} * stride + std::size_t{tileX} * 4;
        if (std::memcmp(previous + offset, current + offset, bytes) != 0) {
          left = std::min(left, tileX);
          top = std::min(top, tileY);
          right = std::max(right, tileRight);
          bottom = std::max(bottom, tileBottom);
          break;
        }
      }
    }
  }
  if (right <= left || bottom <= top) return {};
  return {static_cast<std::int32_t>(left), static_cast<std::int32_t>(top), right - left,
          bottom - top};
}

}  // namespace platform
