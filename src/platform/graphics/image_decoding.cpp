#include "platform/graphics/image_decoding.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/graphics/image_decoding_formats.h"

namespace platform {

namespace {

std::atomic<std::uint64_t> pixelAllocations{0};

bool startsWith(std::span<const std::uint8_t> bytes, std::string_view prefix, std::size_t at = 0) {
  return bytes.size() >= at + prefix.size() &&
         std::memcmp(bytes.data() + at, prefix.data(), prefix.size()) == 0;
}

}  // namespace

std::string_view describe(ImageDecodingFailure failure) {
  switch (failure) {
    case ImageDecodingFailure::notAnImage:
      return "not an image";
    case ImageDecodingFailure::corrupt:
      return "corrupt";
    case ImageDecodingFailure::exceedsLimits:
      return "exceeds the limits";
  }
  return "corrupt";
}

std::optional<ImageFileFormat> sniffImageFormat(std::span<const std::uint8_t> bytes) {
  using namespace std::string_view_literals;
  if (startsWith(bytes, "\x89PNG\r\n\x1a\n"sv)) return ImageFileFormat::png;
  if (startsWith(bytes, "\xff\xd8\xff"sv)) return ImageFileFormat::jpeg;
  if (startsWith(bytes, "GIF87a"sv) || startsWith(bytes, "GIF89a"sv)) return ImageFileFormat::gif;
  if (startsWith(bytes, "RIFF"sv) && startsWith(bytes, "WEBP"sv, 8)) return ImageFileFormat::webp;
  return std::nullopt;
}

ImageDecodingResult decodeImage(std::span<const std::uint8_t> bytes,
                                const ImageDecodingLimits& limits) {
  std::optional<ImageFileFormat> format = sniffImageFormat(bytes);
  if (!format) return std::unexpected(ImageDecodingFailure::notAnImage);
  switch (*format) {
    case ImageFileFormat::png:
      return decoding::decodePng(bytes, limits);
    case ImageFileFormat::jpeg:
      return decoding::decodeJpeg(bytes, limits);
    case ImageFileFormat::gif:
      return decoding::decodeGif(bytes, limits);
    case ImageFileFormat::webp:
      return decoding::decodeWebp(bytes, limits);
  }
  return std::unexpected(ImageDecodingFailure::notAnImage);
}

std::uint64_t imageDecodingPixelAllocations() {
  return pixelAllocations.load(std::memory_order_relaxed);
}

namespace decoding {

std::optional<ImageDecodingFailure> checkGeometry(std::uint64_t width, std::uint64_t height,
                                                  const ImageDecodingLimits& limits) {
  if (width == 0 || height == 0) return ImageDecodingFailure::corrupt;
  // No image may be wider or taller than the largest JPEG, whatever the caller allows.
  const auto bound = [](int limit) {
    return static_cast<std::uint64_t>(std::clamp(limit, 0, kMaxImageDimension));
  };
  if (width > bound(limits.maxWidth) || height > bound(limits.maxHeight)) {
    return ImageDecodingFailure::exceedsLimits;
  }
  // Both factors are at most 2^31 here, so the product cannot wrap.
  if (width * height > limits.maxPixels) return ImageDecodingFailure::exceedsLimits;
  return std::nullopt;
}

std::uint8_t* allocateBuffer(std::size_t bytes) {
  pixelAllocations.fetch_add(1, std::memory_order_relaxed);
  return static_cast<std::uint8_t*>(std::calloc(std::max<std::size_t>(bytes, 1), 1));
}

void freeBuffer(std::uint8_t* buffer) {
  std::free(buffer);
}

Image adoptPixels(std::uint8_t* pixels, int width, int height, ImagePixelFormat format) {
  std::shared_ptr<const void> owner(
      pixels, [](const void* p) { freeBuffer(static_cast<std::uint8_t*>(const_cast<void*>(p))); });
  // The geometry was checked against the limits, which never exceed what an image may hold.
  std::optional<Image> image =
      Image::wrap(pixels, width, height, static_cast<std::size_t>(width) * 4, owner, format);
  return image ? *image : Image();
}

bool premultiply(std::uint8_t* pixels, std::size_t count) {
  bool transparent = false;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint8_t* p = pixels + i * 4;
    const unsigned alpha = p[3];
    if (alpha == 255) continue;
    transparent = true;
    for (int c = 0; c < 3; ++c)
      p[c] = static_cast<std::uint8_t>((p[c] * alpha + 127) / 255);
  }
  return transparent;
}

}  // namespace decoding

}  // namespace platform
