#include "platform/graphics/image.h"

#include <cmath>

#include "platform/graphics/canvas_drawing.h"
#include "platform/graphics/jpeg_encoder.h"

namespace platform {

namespace {

bool validGeometry(int width, int height) {
  return width >= 1 && height >= 1 && width <= kMaxImageDimension && height <= kMaxImageDimension;
}

// Below either of these a device gets a canvas of its own size instead of the capture itself.
constexpr double kMinUnresizedWidth = 800;
constexpr double kMinUnresizedHeight = 600;

}  // namespace

std::optional<Image> Image::wrap(const std::uint8_t* pixels, int width, int height,
                                 std::size_t bytesPerRow, std::shared_ptr<const void> keepAlive,
                                 ImagePixelFormat format) {
  if (!pixels || !validGeometry(width, height)) return std::nullopt;
  if (bytesPerRow < static_cast<std::size_t>(width) * 4 || bytesPerRow % 4 != 0)
    return std::nullopt;
  if (reinterpret_cast<std::uintptr_t>(pixels) % 4 != 0) return std::nullopt;
  Image image;
  image.pixels_ = pixels;
  image.width_ = width;
  image.height_ = height;
  image.bytesPerRow_ = bytesPerRow;
  image.pixelFormat_ = format;
  image.keepAlive_ = std::move(keepAlive);
  return image;
}

std::optional<Image> Image::resized(double width, double height) const {
  if (isNull() || !std::isfinite(width) || !std::isfinite(height)) return std::nullopt;
  if (width >= kMinUnresizedWidth && height >= kMinUnresizedHeight) return *this;
  // Truncated to whole pixels; the range check comes first so the conversion cannot overflow.
  if (width < 1 || height < 1 || width >= kMaxImageDimension + 1.0 ||
      height >= kMaxImageDimension + 1.0) {
    return std::nullopt;
  }
  std::optional<MutableImage> canvas =
      MutableImage::make(static_cast<int>(width), static_cast<int>(height));
  if (!canvas || !drawFittedToHeight(*this, *canvas)) return std::nullopt;
  return canvas->image();
}

std::optional<PooledBytes> Image::jpegData(double compressionFactor) const {
  if (isNull()) return std::nullopt;
  std::optional<int> quality = jpegQuality(compressionFactor);
  if (!quality) return std::nullopt;
  return JpegEncoder::shared().encode(*this, *quality);
}

std::optional<MutableImage> MutableImage::make(int width, int height) {
  if (!validGeometry(width, height)) return std::nullopt;
  const std::size_t bytesPerRow = static_cast<std::size_t>(width) * 4;
  std::shared_ptr<PooledBuffer> buffer =
      canvasPool().acquire(bytesPerRow * static_cast<std::size_t>(height));
  if (!buffer) return std::nullopt;
  MutableImage canvas;
  canvas.image_.pixels_ = buffer->data();
  canvas.image_.width_ = width;
  canvas.image_.height_ = height;
  canvas.image_.bytesPerRow_ = bytesPerRow;
  canvas.image_.keepAlive_ = buffer;
  canvas.buffer_ = std::move(buffer);
  return canvas;
}

BufferPool& canvasPool() {
  // Never destroyed: a frame task may still be drawing while the process exits.
  static BufferPool* pool = new BufferPool;
  return *pool;
}

}  // namespace platform
