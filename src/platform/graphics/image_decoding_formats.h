#pragma once

// What the per-format decoders share. Each decoder is handed bytes whose signature already
// matched its format.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>

#include "platform/graphics/image_decoding.h"

namespace platform::decoding {

// Little-endian fields of the Windows picture and icon formats.
inline std::uint32_t little32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}
inline std::uint16_t little16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

// Whether a declared geometry fits the limits: nothing for a fit, otherwise why not. Zero sizes
// are corrupt.
std::optional<ImageDecodingFailure> checkGeometry(std::uint64_t width, std::uint64_t height,
                                                  const ImageDecodingLimits& limits);

// Storage whose size follows from a file's declared geometry, zero-filled and counted by
// `imageDecodingPixelAllocations`. Null when memory is out. Freed with `freeBuffer`. A plain
// pointer, so that decoders whose libraries leave by longjmp can hold it in frames without
// destructors.
std::uint8_t* allocateBuffer(std::size_t bytes);
void freeBuffer(std::uint8_t* buffer);

// An image owning `pixels` (tightly packed BGRX or BGRA rows from `allocateBuffer`), which it
// frees when its last copy goes.
Image adoptPixels(std::uint8_t* pixels, int width, int height, ImagePixelFormat format);

// Multiplies the colours of straight-alpha BGRA pixels by their alpha; answers whether any pixel
// is not fully opaque.
bool premultiply(std::uint8_t* pixels, std::size_t count);

// Working memory a decode may hold beside the picture it returns: twice the pixel bound's
// bytes, as a progressive JPEG's coefficients take.
std::uint64_t workingMemoryBound(const ImageDecodingLimits& limits);

// Straight-alpha BGRA pixels from `allocateBuffer`, before premultiplication.
struct StraightPixels {
  std::uint8_t* pixels = nullptr;
  int width = 0;
  int height = 0;
};

// Premultiplies and adopts them.
Image adoptStraight(const StraightPixels& straight);

// A BMP file's pixels, for icon entries that mask them further.
std::expected<StraightPixels, ImageDecodingFailure> readBmp(std::span<const std::uint8_t> bytes,
                                                            const ImageDecodingLimits& limits);

ImageDecodingResult decodePng(std::span<const std::uint8_t> bytes,
                              const ImageDecodingLimits& limits);
ImageDecodingResult decodeJpeg(std::span<const std::uint8_t> bytes,
                               const ImageDecodingLimits& limits);
ImageDecodingResult decodeGif(std::span<const std::uint8_t> bytes,
                              const ImageDecodingLimits& limits);
ImageDecodingResult decodeWebp(std::span<const std::uint8_t> bytes,
                               const ImageDecodingLimits& limits);
ImageDecodingResult decodeBmp(std::span<const std::uint8_t> bytes,
                              const ImageDecodingLimits& limits);
ImageDecodingResult decodeIco(std::span<const std::uint8_t> bytes,
                              const ImageDecodingLimits& limits);
ImageDecodingResult decodeTiff(std::span<const std::uint8_t> bytes,
                               const ImageDecodingLimits& limits);
ImageDecodingResult decodeJpeg2000(std::span<const std::uint8_t> bytes,
                                   const ImageDecodingLimits& limits);
ImageDecodingResult decodeHeif(std::span<const std::uint8_t> bytes,
                               const ImageDecodingLimits& limits);
ImageDecodingResult decodeXbm(std::span<const std::uint8_t> bytes,
                              const ImageDecodingLimits& limits);

}  // namespace platform::decoding
