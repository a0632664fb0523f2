// The formats read beside PNG, JPEG, GIF and WebP: each decodes a small file made here to the
// picture it holds, is known by its signature alone, refuses a header declaring a hostile size
// before any pixel storage, and survives a bounded run of random damage.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/graphics/image_decoding.h"
#include "platform/graphics/support/format_encoding.h"

namespace {

using graphics_test::Bytes;
using graphics_test::HeifCodec;
using graphics_test::Picture;
using graphics_test::Rgba;
using graphics_test::TiffLayout;
using platform::decodeImage;
using platform::ImageDecodingFailure;
using platform::ImageFileFormat;
using platform::ImagePixelFormat;

constexpr auto kOpaque = ImagePixelFormat::opaqueBGRX;
constexpr auto kPremultiplied = ImagePixelFormat::premultipliedBGRA;
constexpr int kTile = 16;

Picture tiles(bool alpha, int width = 6 * kTile, int height = 4 * kTile) {
  return graphics_test::tiledPicture(width, height, kTile, alpha);
}

Bytes bytesOf(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

// The X bitmap of a picture: black ink where it is dark, clear elsewhere.
Picture inkOf(const Picture& picture) {
  Picture ink = picture;
  for (Rgba& c : ink.pixels)
    c = c.r + c.g + c.b < 3 * 128 ? Rgba{0, 0, 0, 255} : Rgba{0, 0, 0, 0};
  return ink;
}

struct FormatCase {
  const char* name;
  std::function<Bytes()> encode;
  std::function<Picture()> expected;
  ImageFileFormat format;
  ImagePixelFormat pixelFormat;
  int tolerance = 0;  // lossy coders: compare tile middles within this
};

class MoreFormats : public testing::TestWithParam<FormatCase> {};

TEST_P(MoreFormats, DecodeThePictureTheyHold) {
  const FormatCase& c = GetParam();
  const Bytes bytes = c.encode();
  EXPECT_EQ(platform::sniffImageFormat(bytes), c.format);
  const platform::ImageDecodingResult image = decodeImage(bytes);
  ASSERT_TRUE(image.has_value()) << describe(image.error());
  EXPECT_EQ(image->pixelFormat(), c.pixelFormat);
  const Picture expected = c.expected();
  ASSERT_EQ(image->width(), expected.width);
  ASSERT_EQ(image->height(), expected.height);
  int mismatches = 0;
  for (int y = 0; y < expected.height; ++y) {
    for (int x = 0; x < expected.width; ++x) {
      if (c.tolerance > 0 && (x % kTile < kTile / 4 || x % kTile >= kTile * 3 / 4 ||
                              y % kTile < kTile / 4 || y % kTile >= kTile * 3 / 4)) {
        continue;
      }
      const Rgba want = graphics_test::premultiplied(expected.at(x, y));
      const Rgba got = graphics_test::pixelAt(*image, x, y);
      const bool near =
          std::abs(want.r - got.r) <= c.tolerance && std::abs(want.g - got.g) <= c.tolerance &&
          std::abs(want.b - got.b) <= c.tolerance && std::abs(want.a - got.a) <= c.tolerance;
      if (!near && ++mismatches <= 3) {
        ADD_FAILURE() << "pixel (" << x << "," << y << ") is " << got.r << "," << got.g << ","
                      << got.b << "," << got.a << " instead of " << want.r << "," << want.g << ","
                      << want.b << "," << want.a;
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

INSTANTIATE_TEST_SUITE_P(
    EveryVariant, MoreFormats,
    testing::Values(
        FormatCase{"bmp24", [] { return graphics_test::encodeBmp(tiles(false), false); },
                   [] { return tiles(false); }, ImageFileFormat::bmp, kOpaque},
        FormatCase{"bmp32Alpha", [] { return graphics_test::encodeBmp(tiles(true), true); },
                   [] { return tiles(true); }, ImageFileFormat::bmp, kPremultiplied},
        FormatCase{
            "tiffStrips",
            [] { return graphics_test::encodeTiff(tiles(false), false, TiffLayout::strips); },
            [] { return tiles(false); }, ImageFileFormat::tiff, kOpaque},
        FormatCase{"tiffTilesAlpha",
                   [] { return graphics_test::encodeTiff(tiles(true), true, TiffLayout::tiles); },
                   [] { return tiles(true); }, ImageFileFormat::tiff, kPremultiplied, 1},
        FormatCase{
            "tiffFirstPageOfTwo",
            [] { return graphics_test::encodeTiff(tiles(false), false, TiffLayout::strips, 2); },
            [] { return tiles(false); }, ImageFileFormat::tiff, kOpaque},
        FormatCase{"jp2", [] { return graphics_test::encodeJpeg2000(tiles(false), false, false); },
                   [] { return tiles(false); }, ImageFileFormat::jpeg2000, kOpaque},
        FormatCase{"j2kCodestreamAlpha",
                   [] { return graphics_test::encodeJpeg2000(tiles(true), true, true); },
                   [] { return tiles(true); }, ImageFileFormat::jpeg2000, kPremultiplied},
        FormatCase{"heic",
                   [] { return graphics_test::encodeHeif(tiles(false), false, HeifCodec::hevc); },
                   [] { return tiles(false); }, ImageFileFormat::heif, kOpaque, 14},
        FormatCase{"heicAlpha",
                   [] { return graphics_test::encodeHeif(tiles(true), true, HeifCodec::hevc); },
                   [] { return tiles(true); }, ImageFileFormat::heif, kPremultiplied, 14},
        FormatCase{"avif",
                   [] { return graphics_test::encodeHeif(tiles(false), false, HeifCodec::av1); },
                   [] { return tiles(false); }, ImageFileFormat::heif, kOpaque, 14},
        FormatCase{"icoPng",
                   [] {
                     return graphics_test::encodeIco(
                         {{graphics_test::encodePng(tiles(true, 32, 32)), 32, 32},
                          {graphics_test::encodePng(tiles(false, 16, 16)), 16, 16}});
                   },
                   [] { return tiles(true, 32, 32); }, ImageFileFormat::ico, kPremultiplied},
        FormatCase{"icoBmp24WithMask",
                   [] {
                     return graphics_test::encodeIco(
                         {{graphics_test::encodeBmp(tiles(false, 48, 48), false), 48, 48}});
                   },
                   [] { return tiles(false, 48, 48); }, ImageFileFormat::ico, kOpaque},
        FormatCase{"icoBmp32",
                   [] {
                     return graphics_test::encodeIco(
                         {{graphics_test::encodeBmp(tiles(true, 32, 32), true), 32, 32}});
                   },
                   [] { return tiles(true, 32, 32); }, ImageFileFormat::ico, kPremultiplied},
        FormatCase{"xbm", [] { return bytesOf(graphics_test::encodeXbm(tiles(false, 70, 13))); },
                   [] { return inkOf(tiles(false, 70, 13)); }, ImageFileFormat::xbm,
                   kPremultiplied},
        FormatCase{"xbmAfterAComment",
                   [] {
                     return bytesOf("/* drawn by hand */\n" +
                                    graphics_test::encodeXbm(tiles(false, 70, 2), "x"));
                   },
                   [] { return inkOf(tiles(false, 70, 2)); }, ImageFileFormat::xbm,
                   kPremultiplied}),
    [](const testing::TestParamInfo<FormatCase>& info) { return std::string(info.param.name); });

TEST(MoreFormats, TextThatIsNoBitmapIsNoImage) {
  for (const char* text : {"#include <x>\n", "BMhello world, this is text", "MM\x01\x02",
                           "#define a_width 4\n#define a_height 2\nstatic char a_bits[] = {1};"}) {
    SCOPED_TRACE(text);
    const platform::ImageDecodingResult image = decodeImage(bytesOf(text));
    EXPECT_FALSE(image.has_value());
  }
}

// ---- Headers declaring hostile sizes

void putLittle(Bytes& bytes, std::size_t at, std::uint32_t value, int width) {
  for (int i = 0; i < width; ++i)
    bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void putBig(Bytes& bytes, std::size_t at, std::uint32_t value, int width) {
  for (int i = 0; i < width; ++i)
    bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * (width - 1 - i)));
}

Bytes tiffBomb() {
  // One strip of 8 rows, so that the strip count stays right when every row count grows.
  Bytes tiff = graphics_test::encodeTiff(tiles(false, 8, 8), false, TiffLayout::strips);
  const std::size_t ifd = tiff[4] | (tiff[5] << 8) | (tiff[6] << 16) | (std::size_t{tiff[7]} << 24);
  const std::size_t entries = tiff[ifd] | (tiff[ifd + 1] << 8);
  for (std::size_t i = 0; i < entries; ++i) {
    const std::size_t at = ifd + 2 + 12 * i;
    const int tag = tiff[at] | (tiff[at + 1] << 8);
    const int type = tiff[at + 2] | (tiff[at + 3] << 8);
    if (tag == 256 || tag == 257 || tag == 278) putLittle(tiff, at + 8, 65'535, type == 3 ? 2 : 4);
  }
  return tiff;
}

Bytes heifBomb() {
  Bytes heif = graphics_test::encodeHeif(tiles(false, 16, 16), false, HeifCodec::hevc);
  for (std::size_t at = graphics_test::findTag(heif, "ispe"); at != 0;
       at = graphics_test::findTag(heif, "ispe", at)) {
    putBig(heif, at + 4, 65'535, 4);
    putBig(heif, at + 8, 65'535, 4);
  }
  return heif;
}

Bytes bmpBomb() {
  Bytes bmp = graphics_test::encodeBmp(tiles(false, 4, 4), false);
  putLittle(bmp, 18, 65'535, 4);
  putLittle(bmp, 22, 65'535, 4);
  return bmp;
}

Bytes jpeg2000With33Levels() {
  Bytes jp2 = graphics_test::encodeJpeg2000(tiles(false, 16, 16), false, false);
  for (std::size_t at = 0; at + 10 < jp2.size(); ++at) {
    if (jp2[at] == 0xff && jp2[at + 1] == 0x52) {
      jp2[at + 9] = 32;  // decomposition levels: one fewer than the resolution levels
      break;
    }
  }
  return jp2;
}

// A bare codestream whose size marker now splits the picture into tiles of `side` pixels, though
// it holds a single tile.
Bytes jpeg2000WithTilesOf(int side) {
  Bytes j2k = graphics_test::encodeJpeg2000(tiles(false, 255, 257), false, true, 2);
  putBig(j2k, 4 + 20, static_cast<std::uint32_t>(side), 4);
  putBig(j2k, 4 + 24, static_cast<std::uint32_t>(side), 4);
  return j2k;
}

Bytes jpeg2000With65535Tiles() {
  return jpeg2000WithTilesOf(1);
}

Bytes icoWith10000Entries() {
  return graphics_test::encodeIco({{graphics_test::encodePng(tiles(true, 16, 16)), 16, 16}},
                                  10'000);
}

struct BombCase {
  const char* name;
  std::function<Bytes()> make;
};

class MoreFormatsBomb : public testing::TestWithParam<BombCase> {};

TEST_P(MoreFormatsBomb, ExceedsTheLimitsWithoutPixelStorage) {
  const Bytes bytes = GetParam().make();
  ASSERT_TRUE(platform::sniffImageFormat(bytes).has_value());
  const std::uint64_t before = platform::imageDecodingPixelAllocations();
  const platform::ImageDecodingResult image = decodeImage(bytes);
  ASSERT_FALSE(image.has_value());
  EXPECT_EQ(describe(image.error()), "exceeds the limits");
  EXPECT_EQ(platform::imageDecodingPixelAllocations(), before);
}

INSTANTIATE_TEST_SUITE_P(Headers, MoreFormatsBomb,
                         testing::Values(BombCase{"tiff65535x65535", tiffBomb},
                                         BombCase{"heif65535x65535", heifBomb},
                                         BombCase{"bmp65535x65535", bmpBomb},
                                         BombCase{"jpeg2000With33Levels", jpeg2000With33Levels},
                                         BombCase{"jpeg2000With65535Tiles", jpeg2000With65535Tiles},
                                         BombCase{"icoWith10000Entries", icoWith10000Entries}),
                         [](const testing::TestParamInfo<BombCase>& info) {
                           return std::string(info.param.name);
                         });

// ---- Palettes

// A .jp2 file around a three-component codestream of `picture` whose first component is mapped
// through a palette of `channels` columns, each `depth` bits deep (signed where asked), with entry
// k holding 255 - k in every column: a correct decoder shows the red component inverted.
Bytes jpeg2000WithPalette(const Picture& picture, int channels, int depth, bool signedColumns) {
  const Bytes codestream = graphics_test::encodeJpeg2000(picture, false, true, 2);
  const auto box = [](const char* type, const Bytes& body) {
    Bytes out(8);
    putBig(out, 0, static_cast<std::uint32_t>(body.size() + 8), 4);
    std::memcpy(out.data() + 4, type, 4);
    out.insert(out.end(), body.begin(), body.end());
    return out;
  };
  Bytes header(14);
  putBig(header, 0, static_cast<std::uint32_t>(picture.height), 4);
  putBig(header, 4, static_cast<std::uint32_t>(picture.width), 4);
  putBig(header, 8, 3, 2);
  header[10] = 7;                               // eight bits a component
  header[11] = 7;                               // wavelet coded
  const Bytes colour = {1, 0, 0, 0, 0, 0, 16};  // enumerated: sRGB
  Bytes palette = {1, 0, static_cast<std::uint8_t>(channels)};
  for (int c = 0; c < channels; ++c)
    palette.push_back(static_cast<std::uint8_t>((depth - 1) | (signedColumns ? 0x80 : 0)));
  const int valueBytes = std::min((depth + 7) / 8, 4);
  for (int k = 0; k < 256; ++k) {
    for (int c = 0; c < channels; ++c) {
      for (int b = 0; b < valueBytes; ++b)  // 16 bits: (255 - k) * 257, the same when scaled
        palette.push_back(static_cast<std::uint8_t>(255 - k));
    }
  }
  Bytes mapping;
  for (int c = 0; c < channels; ++c)
    for (const int byte : {0, 0, 1, c})  // component 0, through palette column c
      mapping.push_back(static_cast<std::uint8_t>(byte));
  Bytes jp2h = box("ihdr", header);
  for (const Bytes& part : {box("colr", colour), box("pclr", palette), box("cmap", mapping)})
    jp2h.insert(jp2h.end(), part.begin(), part.end());
  Bytes file = {0, 0, 0, 12, 'j', 'P', ' ', ' ', 0x0d, 0x0a, 0x87, 0x0a};
  for (const Bytes& part : {box("ftyp", {'j', 'p', '2', ' ', 0, 0, 0, 0, 'j', 'p', '2', ' '}),
                            box("jp2h", jp2h), box("jp2c", codestream)}) {
    file.insert(file.end(), part.begin(), part.end());
  }
  return file;
}

struct PaletteCase {
  const char* name;
  int channels;
  int depth;
  bool signedColumns;
  bool shown;  // else refused as corrupt
};

class Jpeg2000Palette : public testing::TestWithParam<PaletteCase> {};

TEST_P(Jpeg2000Palette, ShowsWhatWeCanScaleAndRefusesTheRest) {
  const PaletteCase& c = GetParam();
  const Picture picture = tiles(false, 16, 16);
  const platform::ImageDecodingResult image =
      decodeImage(jpeg2000WithPalette(picture, c.channels, c.depth, c.signedColumns));
  if (!c.shown) {
    ASSERT_FALSE(image.has_value());
    EXPECT_EQ(image.error(), ImageDecodingFailure::corrupt);
    return;
  }
  ASSERT_TRUE(image.has_value()) << describe(image.error());
  ASSERT_EQ(image->width(), picture.width);
  int mismatches = 0;
  for (int y = 0; y < picture.height; ++y) {
    for (int x = 0; x < picture.width; ++x) {
      const int want = 255 - picture.at(x, y).r;
      const Rgba got = graphics_test::pixelAt(*image, x, y);
      if (got.r != want || got.g != want || got.b != want) ++mismatches;
    }
  }
  EXPECT_EQ(mismatches, 0);
}

INSTANTIATE_TEST_SUITE_P(Depths, Jpeg2000Palette,
                         testing::Values(PaletteCase{"grey8", 1, 8, false, true},
                                         PaletteCase{"colour8", 3, 8, false, true},
                                         PaletteCase{"depth16", 3, 16, false, true},
                                         PaletteCase{"depth17", 3, 17, false, false},
                                         PaletteCase{"depth63Signed", 3, 63, true, false},
                                         PaletteCase{"depth64", 3, 64, false, false},
                                         PaletteCase{"depth64Grey", 1, 64, false, false},
                                         PaletteCase{"depth65", 3, 65, false, false},
                                         PaletteCase{"depth128", 3, 128, false, false}),
                         [](const testing::TestParamInfo<PaletteCase>& info) {
                           return std::string(info.param.name);
                         });

// A file too short to hold a part of every tile it declares is damaged, refused before the
// tiles are laid out; the same file with its own tiling decodes.
TEST(Jpeg2000Tiles, AFileMustHoldEveryTile) {
  EXPECT_TRUE(decodeImage(jpeg2000WithTilesOf(1024)).has_value());
  const platform::ImageDecodingResult image = decodeImage(jpeg2000WithTilesOf(4));
  ASSERT_FALSE(image.has_value());
  EXPECT_EQ(image.error(), ImageDecodingFailure::corrupt);
}

// ---- Random damage

struct Sample {
  const char* name;
  std::function<Bytes()> make;
};

class MoreFormatsDamaged : public testing::TestWithParam<Sample> {};

// The number of damaged copies each format gets: 20,000, or TOVARINE_DAMAGE_INPUTS for a long
// run by hand.
int damagedInputs() {
  const char* asked = std::getenv("TOVARINE_DAMAGE_INPUTS");
  const long inputs = asked ? std::strtol(asked, nullptr, 10) : 0;
  return inputs > 0 && inputs <= 100'000'000 ? static_cast<int>(inputs) : 20'000;
}

// Damaged copies of a small file: each decodes to a picture within the limits or is refused,
// never crashes, and a refused picture leaves no pixel storage behind (the leak checker sees to
// that). Each copy's damage follows from its own number, so the run is the same on any number of
// threads; the limits are lowered so that damaged headers declaring large pictures cost little.
TEST_P(MoreFormatsDamaged, SurvivesRandomMutations) {
  const Bytes original = GetParam().make();
  ASSERT_TRUE(decodeImage(original).has_value());
  platform::ImageDecodingLimits limits;
  limits.maxWidth = 1024;
  limits.maxHeight = 1024;
  limits.maxPixels = 65'536;
  const int kInputs = damagedInputs();
  constexpr int kThreads = 4;
  std::atomic<int> decoded{0};
  std::atomic<int> outsideLimits{0};
  std::atomic<int> unpacked{0};
  const auto run = [&](int first) {
    for (int round = first; round < kInputs; round += kThreads) {
      std::mt19937 random(static_cast<std::uint32_t>(round) * 7919u + 17u);
      const auto below = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
      };
      Bytes bytes = original;
      const std::size_t changes = 1 + below(4);
      for (std::size_t i = 0; i < changes; ++i) {
        const std::size_t at = below(bytes.size());
        if (below(2) == 0) {
          bytes[at] = static_cast<std::uint8_t>(below(256));
        } else {
          bytes[at] ^= static_cast<std::uint8_t>(1u << below(8));
        }
      }
      if (below(8) == 0) bytes.resize(below(bytes.size()) + 1);
      const platform::ImageDecodingResult image = decodeImage(bytes, limits);
      if (!image) continue;
      ++decoded;
      if (static_cast<std::uint64_t>(image->width()) * image->height() > limits.maxPixels)
        ++outsideLimits;
      if (image->bytesPerRow() != static_cast<std::size_t>(image->width()) * 4) ++unpacked;
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back(run, t);
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(outsideLimits.load(), 0);
  EXPECT_EQ(unpacked.load(), 0);
  RecordProperty("inputs", kInputs);
  RecordProperty("decoded", decoded.load());
}

INSTANTIATE_TEST_SUITE_P(
    EveryNewFormat, MoreFormatsDamaged,
    testing::Values(
        Sample{"bmp", [] { return graphics_test::encodeBmp(tiles(true, 12, 8), true); }},
        Sample{"bmpPaletted4TopDown",
               [] {
                 return graphics_test::encodePalettedBmp(
                     {4, graphics_test::BmpCoding::plain, true, 16});
               }},
        Sample{"bmpRle8",
               [] {
                 return graphics_test::encodePalettedBmp(
                     {8, graphics_test::BmpCoding::rle8, false, 40, 1});
               }},
        Sample{"bmpRle4",
               [] {
                 return graphics_test::encodePalettedBmp(
                     {4, graphics_test::BmpCoding::rle4, false, 16, 2});
               }},
        Sample{
            "tiff",
            [] { return graphics_test::encodeTiff(tiles(true, 12, 8), true, TiffLayout::strips); }},
        Sample{"jpeg2000",
               [] { return graphics_test::encodeJpeg2000(tiles(true, 8, 8), true, true, 2); }},
        Sample{"jpeg2000Palette",
               [] { return jpeg2000WithPalette(tiles(false, 8, 8), 3, 8, false); }},
        Sample{
            "heic",
            [] { return graphics_test::encodeHeif(tiles(false, 16, 16), false, HeifCodec::hevc); }},
        Sample{
            "avif",
            [] { return graphics_test::encodeHeif(tiles(false, 16, 16), false, HeifCodec::av1); }},
        Sample{"heifGrid",
               [] { return graphics_test::encodeHeifGrid(tiles(false, 16, 16), 2, 2); }},
        Sample{"ico",
               [] {
                 return graphics_test::encodeIco(
                     {{graphics_test::encodeBmp(tiles(false, 8, 8), false), 8, 8}});
               }},
        Sample{"xbm", [] { return bytesOf(graphics_test::encodeXbm(tiles(false, 12, 4))); }}),
    [](const testing::TestParamInfo<Sample>& info) { return std::string(info.param.name); });

}  // namespace
