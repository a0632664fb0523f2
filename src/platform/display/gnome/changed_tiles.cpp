#include "platform/display/gnome/changed_tiles.h"

#include <algorithm>
#include <cstring>

namespace platform {

PixelArea changedTiles(const std::uint8_t* previous, std::size_t previousStride,
                       const std::uint8_t* current, std::size_t currentStride, std::uint32_t width,
                       std::uint32_t height) {
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
        const std::size_t column = std::size_t{tileX} * 4;
        if (std::memcmp(previous + std::size_t{row} * previousStride + column,
                        current + std::size_t{row} * currentStride + column, bytes) != 0) {
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

PixelArea addDamage(PixelArea sofar, std::int64_t x, std::int64_t y, std::int64_t width,
                    std::int64_t height, std::uint32_t frameWidth, std::uint32_t frameHeight) {
  const std::int64_t left = std::max<std::int64_t>(x, 0);
  const std::int64_t top = std::max<std::int64_t>(y, 0);
  const std::int64_t right =
      std::min<std::int64_t>(x + std::max<std::int64_t>(width, 0), frameWidth);
  const std::int64_t bottom =
      std::min<std::int64_t>(y + std::max<std::int64_t>(height, 0), frameHeight);
  if (right <= left || bottom <= top) return sofar;
  if (sofar.width == 0 || sofar.height == 0) {
    return {static_cast<std::int32_t>(left), static_cast<std::int32_t>(top),
            static_cast<std::uint32_t>(right - left), static_cast<std::uint32_t>(bottom - top)};
  }
  const std::int64_t unionLeft = std::min<std::int64_t>(left, sofar.x);
  const std::int64_t unionTop = std::min<std::int64_t>(top, sofar.y);
  const std::int64_t unionRight =
      std::max<std::int64_t>(right, sofar.x + std::int64_t{sofar.width});
  const std::int64_t unionBottom =
      std::max<std::int64_t>(bottom, sofar.y + std::int64_t{sofar.height});
  return {static_cast<std::int32_t>(unionLeft), static_cast<std::int32_t>(unionTop),
          static_cast<std::uint32_t>(unionRight - unionLeft),
          static_cast<std::uint32_t>(unionBottom - unionTop)};
}

}  // namespace platform
