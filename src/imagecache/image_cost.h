#pragma once

#include <cstdint>
#include <optional>

#include "platform/graphics/image.h"

namespace imagecache {

// The size of an image in points.
struct ImageSize {
  double width = 0;
  double height = 0;
};

// Four bytes a point of width (truncated toward zero) times the height (truncated likewise):
// one pixel a point, no scale factor. No cost for a size that is negative, not finite, or whose
// cost does not fit in 64 bits, so such an image can never corrupt a usage count.
std::optional<std::uint64_t> imageByteCost(ImageSize size);

// A bitmap's points are its pixels.
ImageSize imageSize(const platform::Image& image);

}  // namespace imagecache
