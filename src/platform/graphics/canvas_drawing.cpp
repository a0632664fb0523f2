#include "platform/graphics/canvas_drawing.h"

#include <pixman.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace platform {

namespace {

struct PixmanImage {
  explicit PixmanImage(pixman_image_t* image) : image(image) {}
  ~PixmanImage() {
    if (image) pixman_image_unref(image);
  }
  PixmanImage(const PixmanImage&) = delete;
  PixmanImage& operator=(const PixmanImage&) = delete;
  pixman_image_t* image;
};

void fillBlack(MutableImage& canvas, int fromColumn, int toColumn) {
  if (toColumn <= fromColumn) return;
  const std::size_t bytes = static_cast<std::size_t>(toColumn - fromColumn) * 4;
  for (int y = 0; y < canvas.height(); ++y) {
    std::memset(canvas.mutableRow(y) + static_cast<std::size_t>(fromColumn) * 4, 0, bytes);
  }
}

}  // namespace

FittedPlacement fittedPlacement(int sourceWidth, int sourceHeight, int canvasWidth,
                                int canvasHeight) {
  const double scaledWidth = static_cast<double>(sourceWidth) * canvasHeight / sourceHeight;
  return {(canvasWidth - scaledWidth) / 2, scaledWidth};
}

bool drawFittedToHeight(const Image& source, MutableImage& canvas) {
  const int a = canvas.width();
  const int b = canvas.height();
  const FittedPlacement placement = fittedPlacement(source.width(), source.height(), a, b);

  // A column is picture when the picture covers its centre; the rest is bar.
  const int firstColumn = static_cast<int>(std::clamp(std::round(placement.x), 0.0, double(a)));
  const int endColumn =
      static_cast<int>(std::clamp(std::round(placement.x + placement.width), 0.0, double(a)));
  fillBlack(canvas, 0, firstColumn);
  fillBlack(canvas, std::max(endColumn, firstColumn), a);
  if (endColumn <= firstColumn) return true;

  // The whole-pixel part of the offset goes to the composite's source origin and only the
  // fraction into the fixed-point transform, which could not hold a large translation.
  const double whole = std::floor(placement.x);
  const double fraction = placement.x - whole;
  const double sourceOrigin = firstColumn - whole;
  if (std::abs(sourceOrigin) > std::numeric_limits<std::int32_t>::max() / 2) return false;

  const double inverseScale = static_cast<double>(source.height()) / b;
  pixman_f_transform floating;
  pixman_f_transform_init_identity(&floating);
  floating.m[0][0] = inverseScale;
  floating.m[0][2] = -fraction * inverseScale;
  floating.m[1][1] = inverseScale;
  pixman_transform transform;
  if (!pixman_transform_from_pixman_f_transform(&transform, &floating)) return false;

  // pixman never writes through a source image; the cast only meets its signature.
  PixmanImage src(pixman_image_create_bits(
      PIXMAN_x8r8g8b8, source.width(), source.height(),
      reinterpret_cast<std::uint32_t*>(const_cast<std::uint8_t*>(source.pixels())),
      static_cast<int>(source.bytesPerRow())));
  PixmanImage dst(pixman_image_create_bits(PIXMAN_x8r8g8b8, a, b,
                                           reinterpret_cast<std::uint32_t*>(canvas.mutablePixels()),
                                           static_cast<int>(canvas.bytesPerRow())));
  if (!src.image || !dst.image) return false;
  if (!pixman_image_set_transform(src.image, &transform)) return false;
  pixman_image_set_filter(src.image, PIXMAN_FILTER_BILINEAR, nullptr, 0);
  // Padding keeps the picture's own edge pixels at its border instead of fading them into
  // transparency, so the picture stays sharp against the bars.
  pixman_image_set_repeat(src.image, PIXMAN_REPEAT_PAD);
  pixman_image_composite32(PIXMAN_OP_SRC, src.image, nullptr, dst.image,
                           static_cast<std::int32_t>(sourceOrigin), 0, 0, 0, firstColumn, 0,
                           endColumn - firstColumn, b);
  return true;
}

}  // namespace platform
