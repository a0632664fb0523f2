#include <stb_image.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/graphics/image_decoding_formats.h"

namespace platform::decoding {

namespace {

constexpr std::size_t kFileHeaderBytes = 14;
constexpr std::uint32_t kUncompressed = 0;
constexpr std::uint32_t kBitFields = 3;

struct StbFree {
  void operator()(stbi_uc* pixels) const { stbi_image_free(pixels); }
};

}  // namespace

std::expected<StraightPixels, ImageDecodingFailure> readBmp(std::span<const std::uint8_t> bytes,
                                                            const ImageDecodingLimits& limits) {
  if (bytes.size() < kFileHeaderBytes + 16) return std::unexpected(ImageDecodingFailure::corrupt);
  const std::uint8_t* info = bytes.data() + kFileHeaderBytes;
  const std::uint32_t infoSize = little32(info);
  std::uint64_t width = 0;
  std::int64_t height = 0;
  std::uint32_t bits = 0;
  std::uint32_t compression = kUncompressed;
  if (infoSize == 12) {
    width = little16(info + 4);
    height = little16(info + 6);
    bits = little16(info + 10);
  } else {
    if (bytes.size() < kFileHeaderBytes + 20) return std::unexpected(ImageDecodingFailure::corrupt);
    width = static_cast<std::int32_t>(little32(info + 4)) < 0 ? 0 : little32(info + 4);
    height = static_cast<std::int32_t>(little32(info + 8));
    bits = little16(info + 14);
    compression = little32(info + 16);
  }
  // A negative height stores rows top first.
  const std::uint64_t rows = static_cast<std::uint64_t>(height < 0 ? -height : height);
  if (std::optional<ImageDecodingFailure> refusal = checkGeometry(width, rows, limits))
    return std::unexpected(*refusal);
  // stb's reader takes a short file as rows of zeros; a file must hold every row it declares.
  if (compression == kUncompressed || compression == kBitFields) {
    const std::uint64_t rowBytes = (width * bits + 31) / 32 * 4;
    const std::uint64_t offset = little32(bytes.data() + 10);
    if (bits == 0 || offset > bytes.size() || rowBytes * rows > bytes.size() - offset)
      return std::unexpected(ImageDecodingFailure::corrupt);
  }
  int w = 0;
  int h = 0;
  int channels = 0;
  const int size = static_cast<int>(std::min<std::size_t>(bytes.size(), INT32_MAX));
  if (!stbi_info_from_memory(bytes.data(), size, &w, &h, &channels) ||
      static_cast<std::uint64_t>(w) != width || static_cast<std::uint64_t>(h) != rows) {
    return std::unexpected(ImageDecodingFailure::corrupt);
  }
  // stb's picture is straight RGBA, rows top first; it holds a second picture's worth while the
  // colours are moved into ours, within the working bound.
  std::unique_ptr<stbi_uc, StbFree> rgba(
      stbi_load_from_memory(bytes.data(), size, &w, &h, &channels, 4));
  if (!rgba || static_cast<std::uint64_t>(w) != width || static_cast<std::uint64_t>(h) != rows)
    return std::unexpected(ImageDecodingFailure::corrupt);
  const std::size_t count = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
  std::uint8_t* pixels = allocateBuffer(count * 4);
  if (!pixels) return std::unexpected(ImageDecodingFailure::exceedsLimits);
  const stbi_uc* from = rgba.get();
  for (std::size_t i = 0; i < count; ++i) {
    pixels[i * 4] = from[i * 4 + 2];
    pixels[i * 4 + 1] = from[i * 4 + 1];
    pixels[i * 4 + 2] = from[i * 4];
    pixels[i * 4 + 3] = from[i * 4 + 3];
  }
  return StraightPixels{pixels, w, h};
}

ImageDecodingResult decodeBmp(std::span<const std::uint8_t> bytes,
                              const ImageDecodingLimits& limits) {
  std::expected<StraightPixels, ImageDecodingFailure> read = readBmp(bytes, limits);
  if (!read) return std::unexpected(read.error());
  return adoptStraight(*read);
}

}  // namespace platform::decoding
