#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/graphics/buffer_pool.h"

namespace platform {

// The largest width or height a baseline JPEG image can carry.
inline constexpr int kMaxImageDimension = 65500;

// How the four bytes of a pixel are read.
enum class ImagePixelFormat {
  // Blue, green, red in memory order; the fourth byte is ignored (pixman's x8r8g8b8).
  opaqueBGRX,
  // Blue, green, red, alpha in memory order, the colours already multiplied by alpha (pixman's
  // a8r8g8b8).
  premultipliedBGRA,
};

// An image of 32-bit pixels, opaque BGRX unless made otherwise, read-only. It either points into
// memory someone else owns, kept alive by the handle it was made with (a captured shared-memory
// buffer, for instance), or owns its pixels. Copies share the pixels.
class Image {
 public:
  Image() = default;

  // Wraps pixels without copying them. `keepAlive` is held for as long as any copy of the image
  // lives. Rows must hold at least `width` pixels and start on 4-byte boundaries; no image is
  // made from an empty or out-of-range geometry.
  static std::optional<Image> wrap(const std::uint8_t* pixels, int width, int height,
                                   std::size_t bytesPerRow, std::shared_ptr<const void> keepAlive,
                                   ImagePixelFormat format = ImagePixelFormat::opaqueBGRX);

  bool isNull() const { return pixels_ == nullptr; }
  int width() const { return width_; }
  int height() const { return height_; }
  std::size_t bytesPerRow() const { return bytesPerRow_; }
  ImagePixelFormat pixelFormat() const { return pixelFormat_; }
  const std::uint8_t* pixels() const { return pixels_; }
  const std::uint8_t* row(int y) const {
    return pixels_ + static_cast<std::size_t>(y) * bytesPerRow_;
  }
  const std::shared_ptr<const void>& keepAlive() const { return keepAlive_; }

  // The image fitted to a target size for a device: unchanged (the same pixels, no copy) when
  // the target is at least 800 wide and 600 high, otherwise drawn onto a black canvas of the
  // target size truncated to whole pixels, scaled to the canvas height with its aspect ratio
  // kept and centred horizontally. No image when the canvas would be empty, too large for a
  // JPEG image, or the target is not a finite size.
  std::optional<Image> resized(double width, double height) const;

  // The image as one baseline JPEG (4:2:0) at `compressionFactor` in [0.1, 1] (see
  // `jpegQuality`); no bytes when encoding fails.
  std::optional<PooledBytes> jpegData(double compressionFactor) const;

 private:
  friend class MutableImage;
  const std::uint8_t* pixels_ = nullptr;
  int width_ = 0;
  int height_ = 0;
  std::size_t bytesPerRow_ = 0;
  ImagePixelFormat pixelFormat_ = ImagePixelFormat::opaqueBGRX;
  std::shared_ptr<const void> keepAlive_;
};

// An image that owns its pixels and may be drawn into. Its storage comes from a pool: once the
// last image made from it goes away the pixels serve the next canvas of a similar size.
class MutableImage {
 public:
  // Pixels of unspecified content; none when the geometry is out of range or memory is out.
  static std::optional<MutableImage> make(int width, int height);

  int width() const { return image_.width_; }
  int height() const { return image_.height_; }
  std::size_t bytesPerRow() const { return image_.bytesPerRow_; }
  std::uint8_t* mutablePixels() { return buffer_->data(); }
  std::uint8_t* mutableRow(int y) {
    return buffer_->data() + static_cast<std::size_t>(y) * image_.bytesPerRow_;
  }

  // A read-only image sharing these pixels. Drawing is finished before it is handed out.
  const Image& image() const { return image_; }

 private:
  MutableImage() = default;
  std::shared_ptr<PooledBuffer> buffer_;
  Image image_;
};

// The pool the canvases of `MutableImage` come from.
BufferPool& canvasPool();

}  // namespace platform
