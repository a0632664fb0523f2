#pragma once

// Encoders for the decoding tests, over the same libraries the decoder reads with, so that every
// test picture is made by the test itself.

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/graphics/image.h"

namespace graphics_test {

using Bytes = std::vector<std::uint8_t>;

struct Rgba {
  int r = 0, g = 0, b = 0, a = 255;
  bool operator==(const Rgba&) const = default;
};

// Straight (not premultiplied) colour with round-to-nearest, as a decoder should deliver it.
Rgba premultiplied(Rgba colour);

// A pixel of a decoded image as stored: colours premultiplied, alpha 255 for opaque BGRX.
Rgba pixelAt(const platform::Image& image, int x, int y);

// A picture in straight RGBA, row by row.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<Rgba> pixels;
  Rgba at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

// Tiles of `tile` pixels cycling through a fixed set of colours; `alpha` gives each tile a
// different translucency.
Picture tiledPicture(int width, int height, int tile, bool alpha);

struct PngSpec {
  int width = 0;
  int height = 0;
  int colorType = 0;  // PNG_COLOR_TYPE_*
  int bitDepth = 8;
  bool interlaced = false;
  // Samples in the file's own channels and depth, row by row.
  std::vector<std::uint16_t> samples;
  std::vector<Rgba> palette;              // alpha below 255 writes a transparency chunk
  std::optional<Rgba> transparentColour;  // grey in `r` for grey images
};
Bytes encodePng(const PngSpec& spec);
// An 8-bit RGBA PNG of the picture.
Bytes encodePng(const Picture& picture, bool interlaced = false);

struct JpegSpec {
  int width = 0;
  int height = 0;
  int components = 3;  // 1 grey, 3 RGB, 4 CMYK
  std::vector<std::uint8_t> samples;
  bool progressive = false;
  bool ycck = false;        // CMYK stored as YCCK
  bool adobeMarker = true;  // for CMYK and YCCK
  int quality = 95;
};
Bytes encodeJpeg(const JpegSpec& spec);
// An RGB JPEG of the picture (alpha dropped).
Bytes encodeJpeg(const Picture& picture, bool progressive = false, int quality = 95);

struct GifFrame {
  int left = 0, top = 0, width = 0, height = 0;
  bool interlaced = false;
  std::vector<Rgba> localColours;  // empty: the screen's colours
  std::vector<std::uint8_t> indices;
  int transparentIndex = -1;
};
struct GifSpec {
  int width = 0;
  int height = 0;
  std::vector<Rgba> colours;
  std::vector<GifFrame> frames;
};
Bytes encodeGif(const GifSpec& spec);

Bytes encodeWebp(const Picture& picture, bool lossless, bool alpha);
Bytes encodeAnimatedWebp(const std::vector<Picture>& frames);

}  // namespace graphics_test
