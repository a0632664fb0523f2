#pragma once

// Encoders for the formats beyond the first four, over the libraries' own writers (libtiff,
// OpenJPEG, libheif, stb's image writer), and by hand for the two small containers that have no
// writer in any of them (icon directories and X bitmaps). Every file is made by the test itself.

#include <string>
#include <vector>

#include "platform/graphics/support/image_encoding.h"

namespace graphics_test {

// A frame of `picture` at (`x`, `y`) (both even) on an animation canvas of the given size.
Bytes encodeWebpOnCanvas(const Picture& picture, int canvasWidth, int canvasHeight, int x, int y);

// 24-bit when `alpha` is false, otherwise 32-bit with an alpha mask.
Bytes encodeBmp(const Picture& picture, bool alpha);

// Paletted BMPs of kPalettedBmpWidth by kPalettedBmpHeight pixels whose index at (x, y), y from the
// bottom, is (x / 2 + 3 y) modulo the indices' range; plain or run-length coded (three literal
// pixels a row, then runs).
enum class BmpCoding { plain, rle8, rle4 };
constexpr int kPalettedBmpWidth = 13;
constexpr int kPalettedBmpHeight = 7;
struct PalettedBmpSpec {
  int bits = 8;
  BmpCoding coding = BmpCoding::plain;
  bool topDown = false;
  int entries = 40;  // palette entries written
  std::uint32_t compression = 0;
  bool endMark = true;  // run-length end-of-picture mark
  int pixelIndex = -1;  // when set, every pixel of a plain picture uses this index
  int indices = 0;      // the indices' range, when not the palette's size
};

Bytes encodePalettedBmp(const PalettedBmpSpec& spec);

enum class TiffLayout { strips, tiles };
// 8-bit RGB, or RGBA with unassociated alpha; deflate-compressed. `pages` repeats the picture,
// each page after the first with its colours inverted.
Bytes encodeTiff(const Picture& picture, bool alpha, TiffLayout layout, int pages = 1);

// Lossless, with `resolutions` resolution levels; a .jp2 file or a bare codestream.
Bytes encodeJpeg2000(const Picture& picture, bool alpha, bool codestream, int resolutions = 4);

enum class HeifCodec { hevc, av1 };
// Lossy at high quality; `images` top-level images, the first of them primary.
Bytes encodeHeif(const Picture& picture, bool alpha, HeifCodec codec);

// A HEIF grid of `columns` by `rows` HEVC tiles, every tile the one coded picture of `tile`
// (stored once, named by each tile item). The grid's descriptor declares `outputWidth` by
// `outputHeight` when they are given (otherwise the tiles' extent), and the grid's own size
// property always the tiles' extent.
Bytes encodeHeifGrid(const Picture& tile, int columns, int rows, std::uint32_t outputWidth = 0,
                     std::uint32_t outputHeight = 0);

struct IconEntry {
  Bytes image;  // a PNG, or a BMP file whose file header is dropped when stored
  int width = 0;
  int height = 0;
};
// An icon directory of the entries in order; declaring `declaredCount` entries when it is
// given.
Bytes encodeIco(const std::vector<IconEntry>& entries, int declaredCount = -1);

// An X bitmap whose set bits are the picture's pixels that are darker than mid-grey.
std::string encodeXbm(const Picture& picture, const std::string& name = "icon");

// Finds `box` (four letters) in a file and returns the offset just past its type, or 0.
std::size_t findTag(const Bytes& bytes, const char* box, std::size_t from = 0);

}  // namespace graphics_test
