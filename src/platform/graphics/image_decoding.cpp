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

std::uint32_t littleEndian32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}

// A file-type box naming a brand of still HEVC or AV1 pictures, as its major brand or among
// the compatible ones.
bool isHeif(std::span<const std::uint8_t> bytes) {
  using namespace std::string_view_literals;
  if (!startsWith(bytes, "ftyp"sv, 4)) return false;
  const std::size_t boxSize =
      std::min<std::size_t>((std::size_t{bytes[0]} << 24) | (std::size_t{bytes[1]} << 16) |
                                (std::size_t{bytes[2]} << 8) | bytes[3],
                            bytes.size());
  for (std::size_t at = 8; at + 4 <= boxSize; at += at == 8 ? 8 : 4) {
    for (std::string_view brand : {"heic"sv, "heix"sv, "heim"sv, "heis"sv, "hevc"sv, "hevx"sv,
                                   "mif1"sv, "msf1"sv, "avif"sv, "avis"sv}) {
      if (startsWith(bytes, brand, at)) return true;
    }
  }
  return false;
}

// An X bitmap is C text: after white space and comments it starts with a definition.
bool isXbm(std::span<const std::uint8_t> bytes) {
  using namespace std::string_view_literals;
  std::size_t at = 0;
  while (at < bytes.size()) {
    if (bytes[at] == ' ' || bytes[at] == '\t' || bytes[at] == '\r' || bytes[at] == '\n') {
      ++at;
    } else if (startsWith(bytes, "/*"sv, at)) {
      const std::string_view rest(reinterpret_cast<const char*>(bytes.data()) + at + 2,
                                  bytes.size() - at - 2);
      const std::size_t end = rest.find("*/");
      if (end == std::string_view::npos) return false;
      at += end + 4;
    } else {
      break;
    }
  }
  return startsWith(bytes, "#define "sv, at) || startsWith(bytes, "#define\t"sv, at);
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
  if (startsWith(bytes, "II*\0"sv) || startsWith(bytes, "MM\0*"sv) ||
      startsWith(bytes, "II+\0"sv) || startsWith(bytes, "MM\0+"sv)) {
    return ImageFileFormat::tiff;
  }
  if (startsWith(bytes, "\0\0\0\x0cjP  \r\n\x87\n"sv) || startsWith(bytes, "\xff\x4f\xff\x51"sv))
    return ImageFileFormat::jpeg2000;
  if (isHeif(bytes)) return ImageFileFormat::heif;
  // "BM" alone starts too many texts; the size of the header after it must be one of the six
  // the format has had.
  if (startsWith(bytes, "BM"sv) && bytes.size() >= 18) {
    const std::uint32_t info = littleEndian32(bytes.data() + 14);
    if (info == 12 || info == 40 || info == 52 || info == 56 || info == 108 || info == 124)
      return ImageFileFormat::bmp;
  }
  if (startsWith(bytes, "\0\0\x01\0"sv) && bytes.size() >= 6 && (bytes[4] | bytes[5]) != 0)
    return ImageFileFormat::ico;
  if (isXbm(bytes)) return ImageFileFormat::xbm;
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
    case ImageFileFormat::bmp:
      return decoding::decodeBmp(bytes, limits);
    case ImageFileFormat::ico:
      return decoding::decodeIco(bytes, limits);
    case ImageFileFormat::tiff:
      return decoding::decodeTiff(bytes, limits);
    case ImageFileFormat::jpeg2000:
      return decoding::decodeJpeg2000(bytes, limits);
    case ImageFileFormat::heif:
      return decoding::decodeHeif(bytes, limits);
    case ImageFileFormat::xbm:
      return decoding::decodeXbm(bytes, limits);
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

std::uint64_t workingMemoryBound(const ImageDecodingLimits& limits) {
  return std::min<std::uint64_t>(limits.maxPixels, 1ULL << 40) * 8;
}

Image adoptStraight(const StraightPixels& straight) {
  const std::size_t count = static_cast<std::size_t>(straight.width) * straight.height;
  return adoptPixels(straight.pixels, straight.width, straight.height,
                     premultiply(straight.pixels, count) ? ImagePixelFormat::premultipliedBGRA
                                                         : ImagePixelFormat::opaqueBGRX);
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
