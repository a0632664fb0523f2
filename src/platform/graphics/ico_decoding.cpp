// Icon files are read here rather than through a library: Debian's image libraries that read
// them (ImageMagick, gdk-pixbuf) bring whole toolkits, and the container is only a directory of
// offsets to PNG files and headerless BMP pictures, which go to the PNG and BMP decoders.

#include <cstring>
#include <vector>

#include "platform/graphics/image_decoding_formats.h"

namespace platform::decoding {

namespace {

void putLittle32(std::uint8_t* p, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

constexpr std::size_t kHeaderBytes = 6;
constexpr std::size_t kEntryBytes = 16;
constexpr std::size_t kBmpFileHeaderBytes = 14;

// A stored bitmap: a BMP without its file header, twice as tall as its picture because the
// transparency mask (one bit a pixel, set where transparent) follows the colours.
ImageDecodingResult decodeStoredBitmap(std::span<const std::uint8_t> entry,
                                       const ImageDecodingLimits& limits) {
  if (entry.size() < 40) return std::unexpected(ImageDecodingFailure::corrupt);
  const std::uint32_t infoSize = little32(entry.data());
  const auto doubledHeight = static_cast<std::int32_t>(little32(entry.data() + 8));
  const std::uint32_t bits = little16(entry.data() + 14);
  const std::uint32_t compression = little32(entry.data() + 16);
  const std::uint32_t coloursUsed = little32(entry.data() + 32);
  const auto width = static_cast<std::int32_t>(little32(entry.data() + 4));
  if (infoSize < 40 || infoSize > entry.size() || doubledHeight <= 0 || doubledHeight % 2 != 0 ||
      width <= 0 || bits == 0 || bits > 32) {
    return std::unexpected(ImageDecodingFailure::corrupt);
  }
  const std::int32_t height = doubledHeight / 2;
  if (std::optional<ImageDecodingFailure> refusal = checkGeometry(
          static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height), limits)) {
    return std::unexpected(*refusal);
  }
  const std::uint64_t paletteEntries =
      bits <= 8 ? (coloursUsed != 0 ? coloursUsed : 1u << bits) : 0;
  const std::uint64_t masks = compression == 3 && infoSize == 40 ? 12 : 0;
  const std::uint64_t colourStart = infoSize + masks + paletteEntries * 4;
  const std::uint64_t colourRow = (std::uint64_t(width) * bits + 31) / 32 * 4;
  if (colourStart > entry.size()) return std::unexpected(ImageDecodingFailure::corrupt);

  // The entry becomes a BMP file of the picture's height for the BMP decoder; both are bounded
  // by the input's size.
  std::vector<std::uint8_t> file(kBmpFileHeaderBytes + entry.size());
  file[0] = 'B';
  file[1] = 'M';
  putLittle32(file.data() + 2, static_cast<std::uint32_t>(file.size()));
  putLittle32(file.data() + 10, static_cast<std::uint32_t>(kBmpFileHeaderBytes + colourStart));
  std::memcpy(file.data() + kBmpFileHeaderBytes, entry.data(), entry.size());
  putLittle32(file.data() + kBmpFileHeaderBytes + 8, static_cast<std::uint32_t>(height));
  std::expected<StraightPixels, ImageDecodingFailure> read = readBmp(file, limits);
  if (!read) return std::unexpected(read.error());

  // Pictures with an alpha channel carry their transparency in it; the others in the mask.
  const std::uint64_t maskStart = colourStart + colourRow * static_cast<std::uint64_t>(height);
  const std::uint64_t maskRow = (static_cast<std::uint64_t>(width) + 31) / 32 * 4;
  if (bits < 32 && maskStart + maskRow * static_cast<std::uint64_t>(height) <= entry.size()) {
    for (std::int32_t y = 0; y < height; ++y) {
      // Rows are stored bottom first.
      const std::uint8_t* mask =
          entry.data() + maskStart + maskRow * static_cast<std::uint64_t>(height - 1 - y);
      std::uint8_t* row = read->pixels + static_cast<std::size_t>(width) * 4 * y;
      for (std::int32_t x = 0; x < width; ++x)
        if (mask[x / 8] & (0x80 >> (x % 8))) row[x * 4 + 3] = 0;
    }
  }
  return adoptStraight(*read);
}

}  // namespace

ImageDecodingResult decodeIco(std::span<const std::uint8_t> bytes,
                              const ImageDecodingLimits& limits) {
  if (bytes.size() < kHeaderBytes) return std::unexpected(ImageDecodingFailure::corrupt);
  const std::uint16_t count = little16(bytes.data() + 4);
  if (count == 0) return std::unexpected(ImageDecodingFailure::corrupt);
  if (count > limits.maxIconEntries) return std::unexpected(ImageDecodingFailure::exceedsLimits);
  if (kHeaderBytes + kEntryBytes * count > bytes.size())
    return std::unexpected(ImageDecodingFailure::corrupt);
  // The first entry is the file's picture, as the first frame is of other formats.
  const std::uint8_t* entry = bytes.data() + kHeaderBytes;
  const std::uint64_t size = little32(entry + 8);
  const std::uint64_t offset = little32(entry + 12);
  if (offset > bytes.size() || size > bytes.size() - offset || size < 8)
    return std::unexpected(ImageDecodingFailure::corrupt);
  const std::span<const std::uint8_t> image = bytes.subspan(offset, size);
  static constexpr std::uint8_t kPng[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (std::memcmp(image.data(), kPng, sizeof kPng) == 0) return decodePng(image, limits);
  return decodeStoredBitmap(image, limits);
}

}  // namespace platform::decoding
