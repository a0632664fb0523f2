#include "imagecache/image_cost.h"

#include <cmath>
#include <limits>

namespace imagecache {
namespace {

// 2^64 as a double: the first value that no longer converts to an unsigned 64-bit integer.
constexpr double kTwoTo64 = 18446744073709551616.0;

std::optional<std::uint64_t> truncatedDimension(double value) {
  if (!std::isfinite(value) || value < 0 || value >= kTwoTo64) return std::nullopt;
  return static_cast<std::uint64_t>(value);
}

}  // namespace

std::optional<std::uint64_t> imageByteCost(ImageSize size) {
  const auto width = truncatedDimension(size.width * 4.0);
  const auto height = truncatedDimension(size.height);
  if (!width || !height) return std::nullopt;
  if (*height != 0 && *width > std::numeric_limits<std::uint64_t>::max() / *height) {
    return std::nullopt;
  }
  return *width * *height;
}

ImageSize imageSize(const platform::Image& image) {
  return ImageSize{static_cast<double>(image.width()), static_cast<double>(image.height())};
}

}  // namespace imagecache
