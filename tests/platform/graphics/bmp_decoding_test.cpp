// BMP files beyond stb's reach: paletted pictures stored top row first and run-length coded
// ones decode to what ImageMagick makes of the same file, and damaged ones (an index past the
// palette, an unknown compression, a run-length picture without its end) are refused.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/graphics/image_decoding.h"
#include "platform/graphics/support/format_encoding.h"

namespace {

using graphics_test::Bytes;
using graphics_test::Rgba;
using platform::decodeImage;
using platform::ImageDecodingFailure;

using Coding = graphics_test::BmpCoding;
using BmpSpec = graphics_test::PalettedBmpSpec;
constexpr int kWidth = graphics_test::kPalettedBmpWidth;
constexpr int kHeight = graphics_test::kPalettedBmpHeight;

Bytes makeBmp(const BmpSpec& spec) {
  return graphics_test::encodePalettedBmp(spec);
}

// What ImageMagick reads from `bmp`, as RGBA rows top first.
std::vector<std::uint8_t> imageMagickPixels(const Bytes& bmp, const std::string& name) {
  const std::filesystem::path path = std::filesystem::path(testing::TempDir()) / (name + ".bmp");
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bmp.data()), static_cast<std::streamsize>(bmp.size()));
  const std::string command = "/usr/bin/convert 'bmp:" + path.string() + "' -depth 8 rgba:-";
  FILE* pipe = popen(command.c_str(), "r");
  std::vector<std::uint8_t> out(static_cast<std::size_t>(kWidth) * kHeight * 4 + 1);
  const std::size_t read = pipe ? std::fread(out.data(), 1, out.size(), pipe) : 0;
  if (pipe) pclose(pipe);
  std::filesystem::remove(path);
  out.resize(read);
  return out;
}

struct ShownCase {
  const char* name;
  BmpSpec spec;
};

class BmpAsImageMagickShowsIt : public testing::TestWithParam<ShownCase> {};

TEST_P(BmpAsImageMagickShowsIt, PixelByPixel) {
  ASSERT_TRUE(std::filesystem::exists("/usr/bin/convert")) << "scripts/setup.sh --test installs it";
  const Bytes bmp = makeBmp(GetParam().spec);
  const std::vector<std::uint8_t> want = imageMagickPixels(bmp, GetParam().name);
  ASSERT_EQ(want.size(), static_cast<std::size_t>(kWidth) * kHeight * 4);
  const platform::ImageDecodingResult image = decodeImage(bmp);
  ASSERT_TRUE(image.has_value()) << describe(image.error());
  ASSERT_EQ(image->width(), kWidth);
  ASSERT_EQ(image->height(), kHeight);
  int mismatches = 0;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const std::uint8_t* w = want.data() + (static_cast<std::size_t>(y) * kWidth + x) * 4;
      const Rgba got = graphics_test::pixelAt(*image, x, y);
      if ((Rgba{w[0], w[1], w[2], w[3]} != got) && ++mismatches <= 3) {
        ADD_FAILURE() << "(" << x << "," << y << ") " << got.r << "," << got.g << "," << got.b
                      << " instead of " << int{w[0]} << "," << int{w[1]} << "," << int{w[2]};
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

INSTANTIATE_TEST_SUITE_P(Layouts, BmpAsImageMagickShowsIt,
                         testing::Values(ShownCase{"plain8", {8, Coding::plain, false, 40}},
                                         ShownCase{"plain8TopDown", {8, Coding::plain, true, 40}},
                                         ShownCase{"plain4TopDown", {4, Coding::plain, true, 16}},
                                         ShownCase{"plain1", {1, Coding::plain, false, 2}},
                                         ShownCase{"rle8", {8, Coding::rle8, false, 40, 1}},
                                         ShownCase{"rle4", {4, Coding::rle4, false, 16, 2}}),
                         [](const testing::TestParamInfo<ShownCase>& info) {
                           return std::string(info.param.name);
                         });

// A direct-colour picture stored top row first decodes the right way up.
TEST(BmpTopDown, DirectColourMatchesTheBottomUpFile) {
  const graphics_test::Picture picture = graphics_test::tiledPicture(12, 8, 4, false);
  const Bytes bottomUp = graphics_test::encodeBmp(picture, false);
  const std::uint32_t offset = bottomUp[10] | bottomUp[11] << 8;
  const std::size_t rowBytes = (12 * 3 + 3) / 4 * 4;
  Bytes topDown(bottomUp.begin(), bottomUp.begin() + offset);
  for (int row = 7; row >= 0; --row) {
    const auto from = bottomUp.begin() + offset + static_cast<std::ptrdiff_t>(row * rowBytes);
    topDown.insert(topDown.end(), from, from + static_cast<std::ptrdiff_t>(rowBytes));
  }
  for (int i = 0; i < 4; ++i)
    topDown[22 + i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(-8) >> (8 * i));
  const platform::ImageDecodingResult image = decodeImage(topDown);
  ASSERT_TRUE(image.has_value()) << describe(image.error());
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 12; ++x)
      ASSERT_EQ(graphics_test::pixelAt(*image, x, y), picture.at(x, y)) << x << "," << y;
}

// Direct colour with a compression stb does not know: once read as uncompressed, with missing rows
// as zeros.
TEST(BmpDamagedDirectColour, UnknownCompressionsAreRefused) {
  Bytes bmp = graphics_test::encodeBmp(graphics_test::tiledPicture(12, 8, 4, false), false);
  for (const std::uint32_t compression : {4u, 6u, 0x8000'0000u, 0xffff'ffffu}) {
    for (int i = 0; i < 4; ++i)
      bmp[30 + i] = static_cast<std::uint8_t>(compression >> (8 * i));
    const platform::ImageDecodingResult image = decodeImage(bmp);
    ASSERT_FALSE(image.has_value()) << compression;
    EXPECT_EQ(image.error(), ImageDecodingFailure::corrupt) << compression;
  }
}

struct DamagedCase {
  const char* name;
  BmpSpec spec;
};

class BmpDamaged : public testing::TestWithParam<DamagedCase> {};

TEST_P(BmpDamaged, IsRefusedAsCorrupt) {
  const platform::ImageDecodingResult image = decodeImage(makeBmp(GetParam().spec));
  ASSERT_FALSE(image.has_value());
  EXPECT_EQ(image.error(), ImageDecodingFailure::corrupt);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, BmpDamaged,
    testing::Values(
        DamagedCase{"indexPastOneEntryPalette", {8, Coding::plain, false, 1, 0, true, 5}},
        DamagedCase{"compression2To31", {8, Coding::plain, false, 40, 0x8000'0000u}},
        DamagedCase{"compressionAllOnes", {8, Coding::plain, false, 40, 0xffff'ffffu}},
        DamagedCase{"rle8WithoutEnd", {8, Coding::rle8, false, 40, 1, false}},
        DamagedCase{"rle4WithoutEnd", {4, Coding::rle4, false, 16, 2, false}},
        DamagedCase{"rle8TopDown", {8, Coding::rle8, true, 40, 1}},
        DamagedCase{"rle8IndexPastPalette", {8, Coding::rle8, false, 3, 1, true, -1, 40}}),
    [](const testing::TestParamInfo<DamagedCase>& info) { return std::string(info.param.name); });

}  // namespace
