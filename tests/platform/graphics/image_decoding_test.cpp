#include "platform/graphics/image_decoding.h"

#include <gtest/gtest.h>
#include <png.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/graphics/support/image_encoding.h"

namespace {

using graphics_test::Bytes;
using graphics_test::GifFrame;
using graphics_test::GifSpec;
using graphics_test::JpegSpec;
using graphics_test::Picture;
using graphics_test::PngSpec;
using graphics_test::Rgba;
using platform::decodeImage;
using platform::Image;
using platform::ImageDecodingFailure;
using platform::ImagePixelFormat;

constexpr auto kOpaque = ImagePixelFormat::opaqueBGRX;
constexpr auto kPremultiplied = ImagePixelFormat::premultipliedBGRA;

// A file and the straight-alpha picture it must decode to.
struct Encoded {
  Bytes bytes;
  Picture expected;
};

Picture pictureOf(int width, int height, const std::function<Rgba(int, int)>& colour) {
  Picture picture{width, height, {}};
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      picture.pixels.push_back(colour(x, y));
  return picture;
}

// Compares every pixel, or with a tolerance only those pixels whose whole neighbourhood shares
// one colour (lossy coders blur edges between tiles by design).
void expectPicture(const Image& image, const Picture& expected, int tolerance = 0, int tile = 0) {
  ASSERT_EQ(image.width(), expected.width);
  ASSERT_EQ(image.height(), expected.height);
  ASSERT_EQ(image.bytesPerRow(), static_cast<std::size_t>(expected.width) * 4);
  int mismatches = 0;
  for (int y = 0; y < expected.height; ++y) {
    for (int x = 0; x < expected.width; ++x) {
      if (tile > 0 && (x % tile < tile / 4 || x % tile >= tile * 3 / 4 || y % tile < tile / 4 ||
                       y % tile >= tile * 3 / 4)) {
        continue;
      }
      const Rgba want = graphics_test::premultiplied(expected.at(x, y));
      const Rgba got = graphics_test::pixelAt(image, x, y);
      const bool near =
          std::abs(want.r - got.r) <= tolerance && std::abs(want.g - got.g) <= tolerance &&
          std::abs(want.b - got.b) <= tolerance && std::abs(want.a - got.a) <= tolerance;
      if (!near && ++mismatches <= 3) {
        ADD_FAILURE() << "pixel (" << x << "," << y << ") is " << got.r << "," << got.g << ","
                      << got.b << "," << got.a << " instead of " << want.r << "," << want.g << ","
                      << want.b << "," << want.a;
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

// ---- PNG: every colour type and depth

struct PngCase {
  const char* name;
  int colorType;
  int depth;
  bool interlaced;
  ImagePixelFormat format;
  bool palette = false;
  bool paletteAlpha = false;
  bool transparentColour = false;
};

constexpr int kPngWidth = 13;  // odd sizes cross byte packing and the interlace passes
constexpr int kPngHeight = 11;

int channel8(int x, int y, int c) {
  return (x * 17 + y * 29 + c * 71) % 256;
}
int alpha8(int x, int y) {
  return (x * 37 + y * 11) % 256;
}
Rgba paletteEntry(int i, bool alpha) {
  return {i * 16, 255 - i * 16, (i * 37) % 256,
          alpha ? (i % 3 == 0   ? 0
                   : i % 3 == 1 ? 128
                                : 255)
                : 255};
}

Encoded pngFor(const PngCase& c) {
  const int levels = 1 << std::min(c.depth, 8);
  const bool grey = (c.colorType & PNG_COLOR_MASK_COLOR) == 0;
  const bool alpha = (c.colorType & PNG_COLOR_MASK_ALPHA) != 0;
  // Colour and grey levels in 8 bits; 16-bit files hold them times 257, which scales back exactly.
  const auto level = [&](int x, int y, int ch) {
    return c.depth < 8 ? (x + 3 * y + ch) % levels : channel8(x, y, ch);
  };
  const auto to8 = [&](int v) { return c.depth < 8 ? v * 255 / (levels - 1) : v; };
  const int wide = c.depth == 16 ? 257 : 1;

  PngSpec spec{kPngWidth, kPngHeight, c.colorType, c.depth, c.interlaced, {}, {}, {}};
  if (c.palette) {
    for (int i = 0; i < std::min(levels, 16); ++i)
      spec.palette.push_back(paletteEntry(i, c.paletteAlpha));
  }
  if (c.transparentColour) {
    spec.transparentColour =
        grey ? Rgba{level(0, 0, 0) * wide, 0, 0}
             : Rgba{level(0, 0, 0) * wide, level(0, 0, 1) * wide, level(0, 0, 2) * wide};
  }
  Picture expected = pictureOf(kPngWidth, kPngHeight, [&](int x, int y) {
    if (c.palette) return paletteEntry((x + 2 * y) % std::min(levels, 16), c.paletteAlpha);
    Rgba colour = grey ? Rgba{to8(level(x, y, 0)), to8(level(x, y, 0)), to8(level(x, y, 0))}
                       : Rgba{level(x, y, 0), level(x, y, 1), level(x, y, 2)};
    if (alpha) colour.a = alpha8(x, y);
    const bool keyed = c.transparentColour && (grey ? level(x, y, 0) == level(0, 0, 0)
                                                    : level(x, y, 0) == level(0, 0, 0) &&
                                                          level(x, y, 1) == level(0, 0, 1) &&
                                                          level(x, y, 2) == level(0, 0, 2));
    if (keyed) colour.a = 0;
    return colour;
  });
  for (int y = 0; y < kPngHeight; ++y) {
    for (int x = 0; x < kPngWidth; ++x) {
      if (c.palette) {
        spec.samples.push_back(static_cast<std::uint16_t>((x + 2 * y) % std::min(levels, 16)));
        continue;
      }
      for (int ch = 0; ch < (grey ? 1 : 3); ++ch)
        spec.samples.push_back(static_cast<std::uint16_t>(level(x, y, ch) * wide));
      if (alpha) spec.samples.push_back(static_cast<std::uint16_t>(alpha8(x, y) * wide));
    }
  }
  return {graphics_test::encodePng(spec), expected};
}

class PngDecoding : public testing::TestWithParam<PngCase> {};

TEST_P(PngDecoding, GivesExactPixels) {
  const PngCase& c = GetParam();
  const Encoded png = pngFor(c);
  const platform::ImageDecodingResult image = decodeImage(png.bytes);
  ASSERT_TRUE(image.has_value()) << describe(image.error());
  EXPECT_EQ(image->pixelFormat(), c.format);
  expectPicture(*image, png.expected);
}

constexpr int kGrey = PNG_COLOR_TYPE_GRAY;
constexpr int kGreyAlpha = PNG_COLOR_TYPE_GRAY_ALPHA;
constexpr int kRgb = PNG_COLOR_TYPE_RGB;
constexpr int kRgba = PNG_COLOR_TYPE_RGBA;
constexpr int kPalette = PNG_COLOR_TYPE_PALETTE;

INSTANTIATE_TEST_SUITE_P(
    EveryKind, PngDecoding,
    testing::Values(
        PngCase{"grey1", kGrey, 1, false, kOpaque}, PngCase{"grey2", kGrey, 2, false, kOpaque},
        PngCase{"grey4", kGrey, 4, false, kOpaque}, PngCase{"grey8", kGrey, 8, false, kOpaque},
        PngCase{"grey16", kGrey, 16, false, kOpaque},
        PngCase{"grey8Keyed", kGrey, 8, false, kPremultiplied, false, false, true},
        PngCase{"greyAlpha8", kGreyAlpha, 8, false, kPremultiplied},
        PngCase{"greyAlpha16", kGreyAlpha, 16, false, kPremultiplied},
        PngCase{"rgb8", kRgb, 8, false, kOpaque}, PngCase{"rgb16", kRgb, 16, false, kOpaque},
        PngCase{"rgb8Keyed", kRgb, 8, false, kPremultiplied, false, false, true},
        PngCase{"rgba8", kRgba, 8, false, kPremultiplied},
        PngCase{"rgba16", kRgba, 16, false, kPremultiplied},
        PngCase{"palette1", kPalette, 1, false, kOpaque, true},
        PngCase{"palette2", kPalette, 2, false, kOpaque, true},
        PngCase{"palette4", kPalette, 4, false, kOpaque, true},
        PngCase{"palette8", kPalette, 8, false, kOpaque, true},
        PngCase{"palette8Transparent", kPalette, 8, false, kPremultiplied, true, true},
        PngCase{"interlacedGrey1", kGrey, 1, true, kOpaque},
        PngCase{"interlacedRgba8", kRgba, 8, true, kPremultiplied},
        PngCase{"interlacedPalette4", kPalette, 4, true, kPremultiplied, true, true}),
    [](const testing::TestParamInfo<PngCase>& info) { return std::string(info.param.name); });

// ---- The other formats

struct FormatCase {
  const char* name;
  std::function<Encoded()> encode;
  ImagePixelFormat format;
  int tolerance = 0;
  int tile = 0;  // with a tolerance: compare only the middles of tiles this large
};

class FormatDecoding : public testing::TestWithParam<FormatCase> {};

TEST_P(FormatDecoding, GivesThePicture) {
  const FormatCase& c = GetParam();
  const Encoded file = c.encode();
  const platform::ImageDecodingResult image = decodeImage(file.bytes);
  ASSERT_TRUE(image.has_value()) << describe(image.error());
  EXPECT_EQ(image->pixelFormat(), c.format);
  expectPicture(*image, file.expected, c.tolerance, c.tile);
}

constexpr int kTile = 16;

Picture tiles(bool alpha) {
  return graphics_test::tiledPicture(6 * kTile, 4 * kTile, kTile, alpha);
}

Encoded jpegOf(bool progressive) {
  const Picture picture = tiles(false);
  return {graphics_test::encodeJpeg(picture, progressive), picture};
}

Encoded greyJpeg() {
  JpegSpec spec{4 * kTile, 2 * kTile, 1, {}, false, false, true, 95};
  Picture expected = pictureOf(spec.width, spec.height, [](int x, int y) {
    const int v = ((x / kTile) * 60 + (y / kTile) * 30) % 256;
    return Rgba{v, v, v};
  });
  for (const Rgba& c : expected.pixels)
    spec.samples.push_back(static_cast<std::uint8_t>(c.r));
  return {graphics_test::encodeJpeg(spec), expected};
}

// Inks per tile and the colours they print as.
struct Ink {
  int c, m, y, k;
  Rgba colour;
};
constexpr Ink kInks[] = {
    {0, 255, 255, 0, {255, 0, 0}},   {255, 0, 255, 0, {0, 255, 0}},
    {255, 255, 0, 0, {0, 0, 255}},   {0, 0, 0, 0, {255, 255, 255}},
    {0, 0, 0, 255, {0, 0, 0}},       {0, 0, 0, 128, {127, 127, 127}},
    {0, 128, 255, 0, {255, 127, 0}}, {128, 0, 0, 64, {95, 191, 191}},
};

Encoded cmykJpeg(bool ycck, bool adobe) {
  JpegSpec spec{4 * kTile, 2 * kTile, 4, {}, false, ycck, adobe, 95};
  Picture expected{spec.width, spec.height, {}};
  for (int y = 0; y < spec.height; ++y) {
    for (int x = 0; x < spec.width; ++x) {
      const Ink& ink = kInks[(x / kTile + (y / kTile) * 4) % std::size(kInks)];
      // Files with the Adobe marker hold their inks inverted, as the programs writing them do.
      for (int v : {ink.c, ink.m, ink.y, ink.k})
        spec.samples.push_back(static_cast<std::uint8_t>(adobe ? 255 - v : v));
      expected.pixels.push_back(ink.colour);
    }
  }
  return {graphics_test::encodeJpeg(spec), expected};
}

GifFrame gifFrame(int left, int top, int width, int height) {
  GifFrame frame;
  frame.left = left;
  frame.top = top;
  frame.width = width;
  frame.height = height;
  return frame;
}

template <class Change>
GifFrame gifFrame(Change change) {
  GifFrame frame;
  change(frame);
  return frame;
}

const std::vector<Rgba> kGifColours = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 0}};

std::vector<std::uint8_t> gifIndices(int width, int height, int shift = 0) {
  std::vector<std::uint8_t> indices;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      indices.push_back(static_cast<std::uint8_t>((x + y + shift) % 4));
  return indices;
}

Encoded gif(int width, int height, GifFrame frame, std::vector<GifFrame> later = {}) {
  if (frame.width == 0) frame.width = width;
  if (frame.height == 0) frame.height = height;
  frame.indices = gifIndices(frame.width, frame.height);
  const std::vector<Rgba>& colours = frame.localColours.empty() ? kGifColours : frame.localColours;
  Picture expected = pictureOf(width, height, [&](int x, int y) {
    const int fx = x - frame.left;
    const int fy = y - frame.top;
    if (fx < 0 || fy < 0 || fx >= frame.width || fy >= frame.height) return Rgba{0, 0, 0, 0};
    const int index = frame.indices[static_cast<std::size_t>(fy) * frame.width + fx];
    return index == frame.transparentIndex ? Rgba{0, 0, 0, 0}
                                           : colours[static_cast<std::size_t>(index)];
  });
  GifSpec spec{width, height, kGifColours, {frame}};
  for (GifFrame& next : later) {
    next.width = width;
    next.height = height;
    next.indices = gifIndices(width, height, 1);
    spec.frames.push_back(next);
  }
  return {graphics_test::encodeGif(spec), expected};
}

Encoded webp(bool lossless, bool alpha) {
  const Picture picture = tiles(alpha);
  return {graphics_test::encodeWebp(picture, lossless, alpha), picture};
}

Encoded animatedWebp() {
  const Picture first = tiles(true);
  const Picture second = pictureOf(first.width, first.height, [](int, int) {
    return Rgba{0, 0, 255};
  });
  return {graphics_test::encodeAnimatedWebp({first, second}), first};
}

INSTANTIATE_TEST_SUITE_P(
    EveryVariant, FormatDecoding,
    testing::Values(
        FormatCase{"jpegBaseline", [] { return jpegOf(false); }, kOpaque, 10, kTile},
        FormatCase{"jpegProgressive", [] { return jpegOf(true); }, kOpaque, 10, kTile},
        FormatCase{"jpegGrey", greyJpeg, kOpaque, 4, kTile},
        FormatCase{"jpegCmykAdobe", [] { return cmykJpeg(false, true); }, kOpaque, 10, kTile},
        FormatCase{"jpegYcckAdobe", [] { return cmykJpeg(true, true); }, kOpaque, 10, kTile},
        FormatCase{"jpegCmykPlain", [] { return cmykJpeg(false, false); }, kOpaque, 10, kTile},
        FormatCase{"gifOpaque", [] { return gif(12, 10, {}); }, kOpaque},
        FormatCase{
            "gifTransparentIndex",
            [] { return gif(12, 10, gifFrame([](GifFrame& f) { f.transparentIndex = 1; })); },
            kPremultiplied},
        FormatCase{"gifInterlaced",
                   [] { return gif(9, 19, gifFrame([](GifFrame& f) { f.interlaced = true; })); },
                   kOpaque},
        FormatCase{"gifFrameInsideScreen", [] { return gif(10, 8, gifFrame(3, 2, 4, 3)); },
                   kPremultiplied},
        FormatCase{"gifLocalColours",
                   [] {
                     return gif(
                         8, 6, gifFrame([](GifFrame& f) {
                           f.localColours = {{9, 8, 7}, {60, 50, 40}, {1, 2, 3}, {200, 100, 0}};
                         }));
                   },
                   kOpaque},
        FormatCase{"gifFirstFrameOfAnimation", [] { return gif(12, 10, {}, {GifFrame{}}); },
                   kOpaque},
        FormatCase{"webpLossless", [] { return webp(true, false); }, kOpaque},
        FormatCase{"webpLosslessAlpha", [] { return webp(true, true); }, kPremultiplied},
        FormatCase{"webpLossy", [] { return webp(false, false); }, kOpaque, 12, kTile},
        FormatCase{"webpLossyAlpha", [] { return webp(false, true); }, kPremultiplied, 12, kTile},
        FormatCase{"webpFirstFrameOfAnimation", animatedWebp, kPremultiplied}),
    [](const testing::TestParamInfo<FormatCase>& info) { return std::string(info.param.name); });

TEST(ImageDecoding, KeepsThePictureSizeOfAWidePng) {
  const Picture picture = graphics_test::tiledPicture(100, 50, 10, false);
  const platform::ImageDecodingResult image = decodeImage(graphics_test::encodePng(picture));
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->width(), 100);
  EXPECT_EQ(image->height(), 50);
  expectPicture(*image, picture);
}

TEST(ImageDecoding, DecodesOnManyThreadsAtOnce) {
  const Picture picture = tiles(true);
  const std::vector<Bytes> files = {
      graphics_test::encodePng(picture, true), graphics_test::encodeJpeg(picture, true),
      gif(12, 10, gifFrame([](GifFrame& f) { f.transparentIndex = 1; })).bytes,
      graphics_test::encodeWebp(picture, false, true), animatedWebp().bytes};
  std::vector<std::vector<std::uint8_t>> expected;
  const auto pixelsOf = [](const Image& image) {
    return std::vector<std::uint8_t>(image.pixels(),
                                     image.pixels() + image.bytesPerRow() * image.height());
  };
  for (const Bytes& file : files)
    expected.push_back(pixelsOf(*decodeImage(file)));

  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 10; ++round) {
        const std::size_t which = static_cast<std::size_t>(t + round) % files.size();
        const platform::ImageDecodingResult image = decodeImage(files[which]);
        if (!image || pixelsOf(*image) != expected[which]) ++mismatches;
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

// ---- What is not decoded

struct RefusalCase {
  const char* name;
  std::string bytes;
  ImageDecodingFailure failure;
};

class Refusal : public testing::TestWithParam<RefusalCase> {};

TEST_P(Refusal, SaysWhy) {
  const std::string& text = GetParam().bytes;
  const Bytes bytes(text.begin(), text.end());
  const platform::ImageDecodingResult image = decodeImage(bytes);
  ASSERT_FALSE(image.has_value());
  EXPECT_EQ(image.error(), GetParam().failure);
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    Signatures, Refusal,
    testing::Values(
        RefusalCase{"empty", "", ImageDecodingFailure::notAnImage},
        RefusalCase{"text", "<html>not found</html>", ImageDecodingFailure::notAnImage},
        RefusalCase{"bmpWithoutItsHeader", "BM\x36\0\0\0\0\0\0\0\x36\0\0\0"s,
                    ImageDecodingFailure::notAnImage},
        RefusalCase{"tiffSignatureOnly", "II*\0\x08\0\0\0"s, ImageDecodingFailure::corrupt},
        RefusalCase{"icoDirectoryCutShort", "\0\0\1\0\1\0\x10\x10"s, ImageDecodingFailure::corrupt},
        RefusalCase{"jpeg2000SignatureOnly", "\0\0\0\x0cjP  \r\n\x87\n"s,
                    ImageDecodingFailure::corrupt},
        RefusalCase{"riffWithoutWebp", "RIFF\x10\0\0\0WAVEfmt "s, ImageDecodingFailure::notAnImage},
        RefusalCase{"pngSignatureOnly", "\x89PNG\r\n\x1a\n"s, ImageDecodingFailure::corrupt},
        RefusalCase{"jpegSignatureOnly", "\xff\xd8\xff\xe0"s, ImageDecodingFailure::corrupt},
        RefusalCase{"gifSignatureOnly", "GIF89a"s, ImageDecodingFailure::corrupt},
        RefusalCase{"webpSignatureOnly", "RIFF\x04\0\0\0WEBP"s, ImageDecodingFailure::corrupt},
        RefusalCase{"gifZeroSizedScreen", "GIF89a\0\0\0\0\0\0\0;"s, ImageDecodingFailure::corrupt}),
    [](const testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

TEST(ImageDecoding, DescribesEachFailure) {
  EXPECT_EQ(describe(ImageDecodingFailure::notAnImage), "not an image");
  EXPECT_EQ(describe(ImageDecodingFailure::corrupt), "corrupt");
  EXPECT_EQ(describe(ImageDecodingFailure::exceedsLimits), "exceeds the limits");
}

TEST(ImageDecoding, RefusesGifFramesOutsideTheScreenOrEmpty) {
  struct Row {
    const char* name;
    int left, top, width, height;
  };
  for (const Row& row : {Row{"pastRight", 6, 0, 5, 4}, Row{"pastBottom", 0, 5, 4, 4},
                         Row{"largerThanScreen", 0, 0, 20, 20}}) {
    SCOPED_TRACE(row.name);
    GifFrame frame = gifFrame(row.left, row.top, row.width, row.height);
    frame.indices = gifIndices(row.width, row.height);
    const Bytes bytes = graphics_test::encodeGif({10, 8, kGifColours, {frame}});
    const platform::ImageDecodingResult image = decodeImage(bytes);
    ASSERT_FALSE(image.has_value());
    EXPECT_EQ(image.error(), ImageDecodingFailure::corrupt);
  }
}

TEST(ImageDecoding, HonoursSmallerLimits) {
  const Bytes png = graphics_test::encodePng(graphics_test::tiledPicture(40, 30, 10, false));
  struct Row {
    const char* name;
    platform::ImageDecodingLimits limits;
    bool decodes;
  };
  for (const Row& row :
       {Row{"exactFit", {40, 30, 1200}, true}, Row{"narrower", {39, 30, 1200}, false},
        Row{"shorter", {40, 29, 1200}, false}, Row{"fewerPixels", {40, 30, 1199}, false}}) {
    SCOPED_TRACE(row.name);
    const platform::ImageDecodingResult image = decodeImage(png, row.limits);
    EXPECT_EQ(image.has_value(), row.decodes);
    if (!row.decodes && !image) {
      EXPECT_EQ(image.error(), ImageDecodingFailure::exceedsLimits);
    }
  }
}

}  // namespace
