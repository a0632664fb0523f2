#pragma once

// Decoding of PNG, JPEG, GIF, WebP, BMP, icon, TIFF, JPEG 2000, HEIF (HEVC and AV1) and X bitmap
// files into images, over libpng, libjpeg-turbo, giflib, libwebp, stb's image reader, libtiff,
// OpenJPEG and libheif. Everything a file declares about its size is checked against limits before
// any pixel storage exists, so a small hostile file cannot make the process allocate gigabytes.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>

#include "platform/graphics/image.h"

namespace platform {

// Bounds on what one decode may produce; the defaults fit any picture a screen shows.
struct ImageDecodingLimits {
  int maxWidth = kMaxImageDimension;
  int maxHeight = kMaxImageDimension;
  // 256 MiB of pixels at four bytes each.
  std::uint64_t maxPixels = 67'108'864;
  // A progressive JPEG is decoded once per scan; a flood of tiny scans is a way to burn time.
  int maxJpegScans = 500;
  // The work of all scans together, in passes over the image's blocks: a scan of one component
  // decodes that component's blocks, and all scans may decode at most this many times the
  // picture's blocks. Ordinary progressive files need about ten.
  int maxJpegBlockPasses = 64;
  // An icon file is a directory of pictures; real ones hold a few sizes.
  int maxIconEntries = 256;
  // A JPEG 2000 picture halves this many times less one; sixteen halvings bring the largest
  // picture to a pixel, and every further level only costs bookkeeping per tile.
  int maxJpeg2000ResolutionLevels = 17;
  // A HEIF file is a directory of items (pictures, grid tiles, metadata), and a grid draws every
  // tile it names; libheif's work grows with the square of either count (4,096 items take it
  // half a second to read, 16,384 seven). Camera grids hold a few hundred tiles.
  int maxHeifItems = 4096;
  int maxHeifGridTiles = 1024;

  bool operator==(const ImageDecodingLimits&) const = default;
};

// Why a decode gave no image.
enum class ImageDecodingFailure {
  // The bytes start with no signature of a format this platform decodes.
  notAnImage,
  // A known format whose contents are broken or cut short.
  corrupt,
  // The file declares a picture larger than the limits allow, or needs more working memory or
  // passes than they allow.
  exceedsLimits,
};

// "not an image", "corrupt" or "exceeds the limits".
std::string_view describe(ImageDecodingFailure failure);

using ImageDecodingResult = std::expected<Image, ImageDecodingFailure>;

// The formats recognised by their leading bytes.
enum class ImageFileFormat { png, jpeg, gif, webp, bmp, ico, tiff, jpeg2000, heif, xbm };

// The format whose signature the bytes start with; none for anything else.
std::optional<ImageFileFormat> sniffImageFormat(std::span<const std::uint8_t> bytes);

// Decodes the first picture of `bytes` (the first frame of an animation, composed on its
// canvas). The format is taken from the file's signature alone. Pictures with any transparency
// come back as premultiplied BGRA, others as opaque BGRX. The image owns storage of exactly its
// size. Safe to call from any thread.
ImageDecodingResult decodeImage(std::span<const std::uint8_t> bytes,
                                const ImageDecodingLimits& limits = {});

// How many pixel buffers the decoder has asked for since the process started, counting every
// buffer whose size follows from a file's declared dimensions (tests use it to show a refused
// header got none).
std::uint64_t imageDecodingPixelAllocations();

}  // namespace platform
