#pragma once

// What the per-format decoders share. Each decoder is handed bytes whose signature already
// matched its format.

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/graphics/image_decoding.h"

namespace platform::decoding {

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

ImageDecodingResult decodePng(std::span<const std::uint8_t> bytes,
                              const ImageDecodingLimits& limits);
ImageDecodingResult decodeJpeg(std::span<const std::uint8_t> bytes,
                               const ImageDecodingLimits& limits);
ImageDecodingResult decodeGif(std::span<const std::uint8_t> bytes,
                              const ImageDecodingLimits& limits);
ImageDecodingResult decodeWebp(std::span<const std::uint8_t> bytes,
                               const ImageDecodingLimits& limits);

}  // namespace platform::decoding
