// BMP files. Direct-colour pictures (16, 24 and 32 bits) go through stb's reader; paletted ones
// (1, 4 and 8 bits, plain or run-length coded) are read here, because stb has no run-length
// coding and takes an index past a short palette from its own uninitialised stack. The Debian
// libraries that do read them come as a whole image suite or as a runtime-loaded loader module,
// neither of which lets us bound the picture before it allocates; this reader writes only into
// a picture the limits already admitted and reads no byte past the file.

#include <stb_image.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/graphics/image_decoding_formats.h"

namespace platform::decoding {

namespace {

constexpr std::size_t kFileHeaderBytes = 14;
constexpr std::uint32_t kUncompressed = 0;
constexpr std::uint32_t kRle8 = 1;
constexpr std::uint32_t kRle4 = 2;
constexpr std::uint32_t kBitFields = 3;

struct Palette {
  std::uint8_t colours[256][3] = {};  // blue, green, red
  std::uint32_t entries = 0;
};

// Writes palette indices into a straight BGRA picture, row 0 at the bottom of the file's picture.
class IndexWriter {
 public:
  IndexWriter(std::uint8_t* pixels, std::uint64_t width, std::uint64_t rows, bool topDown,
              const Palette& palette)
      : pixels_(pixels), width_(width), rows_(rows), topDown_(topDown), palette_(palette) {}

  // False for an index past the palette: such a file is damaged, whatever other readers show.
  bool put(std::uint64_t x, std::uint64_t row, std::uint32_t index) {
    if (index >= palette_.entries) return false;
    if (x >= width_ || row >= rows_) return true;  // run-length coding may overshoot a row
    const std::uint64_t y = topDown_ ? row : rows_ - 1 - row;
    std::uint8_t* p = pixels_ + (y * width_ + x) * 4;
    std::memcpy(p, palette_.colours[index], 3);
    p[3] = 255;
    return true;
  }

 private:
  std::uint8_t* pixels_;
  std::uint64_t width_;
  std::uint64_t rows_;
  bool topDown_;
  const Palette& palette_;
};

bool readPlainIndices(std::span<const std::uint8_t> data, std::uint64_t width, std::uint64_t rows,
                      std::uint32_t bits, IndexWriter& writer) {
  const std::uint64_t rowBytes = (width * bits + 31) / 32 * 4;
  const std::uint32_t mask = (1u << bits) - 1;
  for (std::uint64_t row = 0; row < rows; ++row) {
    const std::uint8_t* from = data.data() + row * rowBytes;
    for (std::uint64_t x = 0; x < width; ++x) {
      const std::uint64_t bit = x * bits;
      const std::uint32_t index = (from[bit / 8] >> (8 - bits - bit % 8)) & mask;
      if (!writer.put(x, row, index)) return false;
    }
  }
  return true;
}

// Run-length coded indices, one byte (8 bits) or a nibble (4 bits) each. Every step consumes
// input, so the work is bounded by the file's size and the picture's.
bool readRunLengthIndices(std::span<const std::uint8_t> data, std::uint64_t /*width*/,
                          std::uint64_t rows, std::uint32_t bits, IndexWriter& writer) {
  std::size_t at = 0;
  std::uint64_t x = 0;
  std::uint64_t row = 0;
  const auto nibbleOrByte = [bits](std::uint8_t value, std::uint64_t i) -> std::uint32_t {
    if (bits == 8) return value;
    return i % 2 == 0 ? value >> 4 : value & 0x0f;
  };
  while (at + 2 <= data.size()) {
    const std::uint8_t count = data[at];
    const std::uint8_t value = data[at + 1];
    at += 2;
    if (count > 0) {
      for (std::uint64_t i = 0; i < count; ++i, ++x)
        if (!writer.put(x, row, nibbleOrByte(value, i))) return false;
    } else if (value == 0) {
      x = 0;
      ++row;
    } else if (value == 1) {
      return true;
    } else if (value == 2) {
      if (at + 2 > data.size()) return false;
      x += data[at];
      row += data[at + 1];
      at += 2;
    } else {
      const std::size_t bytes = bits == 8 ? value : (value + 1u) / 2;
      const std::size_t padded = (bytes + 1) / 2 * 2;
      if (padded > data.size() - at) return false;
      for (std::uint64_t i = 0; i < value; ++i, ++x) {
        const std::uint8_t byte = data[at + (bits == 8 ? i : i / 2)];
        if (!writer.put(x, row, bits == 8 ? byte : nibbleOrByte(byte, i))) return false;
      }
      at += padded;
    }
    if (row > rows) return false;  // rows past the picture: nothing sane follows
  }
  return false;  // no end-of-picture mark: rows are missing
}

std::expected<StraightPixels, ImageDecodingFailure> readPaletted(
    std::span<const std::uint8_t> bytes, std::uint32_t infoSize, std::uint64_t width,
    std::int64_t height, std::uint32_t bits, std::uint32_t compression,
    std::uint32_t declaredColours) {
  const std::uint64_t rows = static_cast<std::uint64_t>(height < 0 ? -height : height);
  const std::uint64_t offset = little32(bytes.data() + 10);
  const std::uint64_t paletteStart = kFileHeaderBytes + std::uint64_t{infoSize};
  const std::uint64_t entryBytes = infoSize == 12 ? 3 : 4;
  if (offset > bytes.size() || offset < paletteStart)
    return std::unexpected(ImageDecodingFailure::corrupt);
  Palette palette;
  const std::uint32_t most = 1u << bits;
  const std::uint32_t declared =
      declaredColours == 0 || declaredColours > most ? most : declaredColours;
  palette.entries = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(declared, (offset - paletteStart) / entryBytes));
  for (std::uint32_t i = 0; i < palette.entries; ++i)
    std::memcpy(palette.colours[i], bytes.data() + paletteStart + i * entryBytes, 3);
  const std::span<const std::uint8_t> data = bytes.subspan(static_cast<std::size_t>(offset));
  if (compression == kUncompressed && (width * bits + 31) / 32 * 4 * rows > data.size())
    return std::unexpected(ImageDecodingFailure::corrupt);

  std::uint8_t* pixels = allocateBuffer(static_cast<std::size_t>(width * rows * 4));
  if (!pixels) return std::unexpected(ImageDecodingFailure::exceedsLimits);
  // Pixels a run-length file skips show its first colour.
  if (compression != kUncompressed && palette.entries > 0) {
    for (std::uint64_t i = 0; i < width * rows; ++i) {
      std::memcpy(pixels + i * 4, palette.colours[0], 3);
      pixels[i * 4 + 3] = 255;
    }
  }
  IndexWriter writer(pixels, width, rows, height < 0, palette);
  const bool read = compression == kUncompressed
                        ? readPlainIndices(data, width, rows, bits, writer)
                        : readRunLengthIndices(data, width, rows, bits, writer);
  if (!read) {
    freeBuffer(pixels);
    return std::unexpected(ImageDecodingFailure::corrupt);
  }
  return StraightPixels{pixels, static_cast<int>(width), static_cast<int>(rows)};
}

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
  std::uint32_t declaredColours = 0;
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
    if (infoSize >= 36 && bytes.size() >= kFileHeaderBytes + 36)
      declaredColours = little32(info + 32);
  }
  if (infoSize < 12 || infoSize > bytes.size() - kFileHeaderBytes)
    return std::unexpected(ImageDecodingFailure::corrupt);
  // A negative height stores rows top first.
  const std::uint64_t rows = static_cast<std::uint64_t>(height < 0 ? -height : height);
  if (std::optional<ImageDecodingFailure> refusal = checkGeometry(width, rows, limits))
    return std::unexpected(*refusal);
  const bool paletted = bits == 1 || bits == 4 || bits == 8;
  const bool runLength = (compression == kRle8 && bits == 8) || (compression == kRle4 && bits == 4);
  // Run-length pictures are stored bottom row first only.
  if (paletted) {
    if (compression == kUncompressed || (runLength && height > 0))
      return readPaletted(bytes, infoSize, width, height, bits, compression, declaredColours);
    return std::unexpected(ImageDecodingFailure::corrupt);
  }
  if (compression != kUncompressed && compression != kBitFields)
    return std::unexpected(ImageDecodingFailure::corrupt);
  // stb's reader takes a short file as rows of zeros; a file must hold every row it declares.
  {
    const std::uint64_t rowBytes = (width * bits + 31) / 32 * 4;
    const std::uint64_t offset = little32(bytes.data() + 10);
    if (bits == 0 || offset > bytes.size() || rowBytes * rows > bytes.size() - offset)
      return std::unexpected(ImageDecodingFailure::corrupt);
  }
  int w = 0;
  int h = 0;
  int channels = 0;
  const int size = static_cast<int>(std::min<std::size_t>(bytes.size(), INT32_MAX));
  // stb's header reading gives a top-down picture's height as stored, negative; its loading
  // turns it round.
  if (!stbi_info_from_memory(bytes.data(), size, &w, &h, &channels) ||
      static_cast<std::uint64_t>(w) != width ||
      static_cast<std::uint64_t>(h < 0 ? -std::int64_t{h} : h) != rows) {
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
