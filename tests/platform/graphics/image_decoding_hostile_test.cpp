// Files that try to exhaust memory or time, and damaged files: the decoder refuses them before
// allocating, or returns a whole, deterministic picture, and never crashes.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "platform/graphics/image_decoding.h"
#include "platform/graphics/support/image_encoding.h"

namespace {

using graphics_test::Bytes;
using graphics_test::Picture;
using platform::decodeImage;
using platform::Image;
using platform::ImageDecodingFailure;

std::uint32_t crc32(const std::uint8_t* data, std::size_t size) {
  std::uint32_t crc = 0xffffffffu;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void putBigEndian(Bytes& bytes, std::size_t at, std::uint32_t value, int width) {
  for (int i = 0; i < width; ++i)
    bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * (width - 1 - i)));
}

void putLittleEndian(Bytes& bytes, std::size_t at, std::uint32_t value, int width) {
  for (int i = 0; i < width; ++i)
    bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t littleEndian32(const Bytes& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i)
    value = (value << 8) | bytes[at + i];
  return value;
}

Picture smallPicture(bool alpha) {
  return graphics_test::tiledPicture(48, 32, 8, alpha);
}

// Where a JPEG's scans lie, [start of SOS, end of its entropy-coded data), and where its frame
// header's size fields end.
struct JpegLayout {
  std::vector<std::pair<std::size_t, std::size_t>> scans;
  std::size_t frameSizeEnd = 0;
};

JpegLayout layoutOf(const Bytes& jpeg) {
  JpegLayout layout;
  std::size_t at = 2;
  while (at + 4 <= jpeg.size() && jpeg[at] == 0xff) {
    const int marker = jpeg[at + 1];
    if (marker == 0xd9) break;
    const std::size_t length = (std::size_t{jpeg[at + 2]} << 8) | jpeg[at + 3];
    if (marker >= 0xc0 && marker <= 0xc2) layout.frameSizeEnd = at + 9;
    std::size_t end = at + 2 + length;
    if (marker == 0xda) {
      while (end + 1 < jpeg.size() &&
             !(jpeg[end] == 0xff && jpeg[end + 1] != 0 && (jpeg[end + 1] & 0xf8) != 0xd0)) {
        ++end;
      }
      layout.scans.emplace_back(at, end);
    }
    at = end;
  }
  return layout;
}

// ---- Headers that declare enormous pictures

Bytes pngBomb() {
  // A real 1-by-1 file whose header then claims 100,000 by 100,000 pixels (40 GB).
  Bytes png = graphics_test::encodePng(graphics_test::tiledPicture(1, 1, 1, true));
  putBigEndian(png, 16, 100'000, 4);
  putBigEndian(png, 20, 100'000, 4);
  putBigEndian(png, 29, crc32(png.data() + 12, 17), 4);
  return png;
}

Bytes jpegBomb() {
  Bytes jpeg = graphics_test::encodeJpeg(smallPicture(false));
  const std::size_t sizes = layoutOf(jpeg).frameSizeEnd - 4;
  putBigEndian(jpeg, sizes, 65'500, 2);
  putBigEndian(jpeg, sizes + 2, 65'500, 2);
  return jpeg;
}

Bytes gifOf(int width, int height) {
  graphics_test::GifFrame frame;
  frame.width = width;
  frame.height = height;
  frame.indices.assign(static_cast<std::size_t>(width) * height, 1);
  return graphics_test::encodeGif({width, height, {{0, 0, 0}, {255, 255, 255}}, {frame}});
}

Bytes gifBomb() {
  Bytes gif = gifOf(4, 4);
  putLittleEndian(gif, 6, 65'535, 2);
  putLittleEndian(gif, 8, 65'535, 2);
  return gif;
}

Bytes webpBomb() {
  // A lossless file keeps its size, less one, in 14 bits each right after its signature byte.
  Bytes webp = graphics_test::encodeWebp(smallPicture(false), true, false);
  const std::uint32_t bits = littleEndian32(webp, 21);
  putLittleEndian(webp, 21, (bits & 0xf0000000u) | 16'382u | (16'382u << 14), 4);
  return webp;
}

Bytes animatedWebpBomb() {
  Bytes webp = graphics_test::encodeAnimatedWebp({smallPicture(true), smallPicture(false)});
  putLittleEndian(webp, 24, 16'382, 3);
  putLittleEndian(webp, 27, 16'382, 3);
  return webp;
}

struct BombCase {
  const char* name;
  std::function<Bytes()> make;
};

class Bomb : public testing::TestWithParam<BombCase> {};

TEST_P(Bomb, ExceedsTheLimitsWithoutPixelStorage) {
  const Bytes bytes = GetParam().make();
  const std::uint64_t allocationsBefore = platform::imageDecodingPixelAllocations();
  const platform::ImageDecodingResult image = decodeImage(bytes);
  ASSERT_FALSE(image.has_value());
  EXPECT_EQ(describe(image.error()), "exceeds the limits");
  EXPECT_EQ(platform::imageDecodingPixelAllocations(), allocationsBefore);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, Bomb,
    testing::Values(BombCase{"png100000x100000", pngBomb}, BombCase{"jpeg65500x65500", jpegBomb},
                    BombCase{"gif65535x65535", gifBomb}, BombCase{"webp16383x16383", webpBomb},
                    BombCase{"animatedWebpCanvas16383x16383", animatedWebpBomb}),
    [](const testing::TestParamInfo<BombCase>& info) { return std::string(info.param.name); });

TEST(HostileInput, CountsPixelStorageOfAcceptedPictures) {
  const Bytes png = graphics_test::encodePng(smallPicture(true));
  const std::uint64_t before = platform::imageDecodingPixelAllocations();
  ASSERT_TRUE(decodeImage(png).has_value());
  EXPECT_GT(platform::imageDecodingPixelAllocations(), before);
}

// ---- Floods of progressive scans

// A progressive file whose last scan repeats until the file has `scans` of them. Each repeat is
// a legal scan that refines nothing further, so only the count makes the file hostile.
Bytes jpegWithScans(int scans) {
  const Bytes jpeg = graphics_test::encodeJpeg(smallPicture(false), true);
  const JpegLayout layout = layoutOf(jpeg);
  const auto [start, end] = layout.scans.back();
  Bytes flooded(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(end));
  for (int i = static_cast<int>(layout.scans.size()); i < scans; ++i)
    flooded.insert(flooded.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(start),
                   jpeg.begin() + static_cast<std::ptrdiff_t>(end));
  flooded.insert(flooded.end(), {0xff, 0xd9});
  return flooded;
}

TEST(HostileInput, RefusesFloodsOfProgressiveScans) {
  struct Row {
    const char* name;
    int scans;
    int maxScans;
    bool decodes;
  };
  for (const Row& row :
       {Row{"fewScans", 20, 500, true}, Row{"atTheLimit", 500, 500, true},
        Row{"thousandScans", 1000, 500, false}, Row{"thousandScansAllowed", 1000, 1000, true},
        Row{"lowerLimit", 100, 50, false}}) {
    SCOPED_TRACE(row.name);
    const Bytes jpeg = jpegWithScans(row.scans);
    ASSERT_EQ(layoutOf(jpeg).scans.size(), static_cast<std::size_t>(row.scans));
    platform::ImageDecodingLimits limits;
    limits.maxJpegScans = row.maxScans;
    // The count alone is judged here; the work of the scans has its own rows.
    limits.maxJpegBlockPasses = 1 << 20;
    const platform::ImageDecodingResult image = decodeImage(jpeg, limits);
    EXPECT_EQ(image.has_value(), row.decodes);
    if (!image) {
      EXPECT_EQ(image.error(), ImageDecodingFailure::exceedsLimits);
    }
  }
}

// ---- Damaged files

struct Sample {
  const char* name;
  Bytes bytes;
  std::size_t headerEnd;  // mutations from here on cannot change the declared size
  int width;
  int height;
};

std::size_t webpHeaderEnd(const Bytes& webp) {
  return std::memcmp(webp.data() + 12, "VP8L", 4) == 0 ? 25 : 30;
}

const std::vector<Sample>& samples() {
  static const std::vector<Sample> all = [] {
    const Picture opaque = smallPicture(false);
    const Picture alpha = smallPicture(true);
    std::vector<Sample> list;
    const auto add = [&](const char* name, Bytes bytes, std::size_t headerEnd) {
      list.push_back({name, std::move(bytes), headerEnd, opaque.width, opaque.height});
    };
    add("png", graphics_test::encodePng(alpha), 24);
    add("pngInterlaced", graphics_test::encodePng(alpha, true), 24);
    const Bytes baseline = graphics_test::encodeJpeg(opaque);
    add("jpeg", baseline, layoutOf(baseline).frameSizeEnd);
    const Bytes progressive = graphics_test::encodeJpeg(opaque, true);
    add("jpegProgressive", progressive, layoutOf(progressive).frameSizeEnd);
    graphics_test::GifFrame frame;
    frame.width = opaque.width;
    frame.height = opaque.height;
    for (int i = 0; i < opaque.width * opaque.height; ++i)
      frame.indices.push_back(static_cast<std::uint8_t>((i * 7 + i / 13) % 5));
    frame.transparentIndex = 2;
    graphics_test::GifFrame interlaced = frame;
    interlaced.interlaced = true;
    const std::vector<graphics_test::Rgba> colours = {
        {0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
    add("gif", graphics_test::encodeGif({opaque.width, opaque.height, colours, {frame}}), 10);
    add("gifInterlaced",
        graphics_test::encodeGif({opaque.width, opaque.height, colours, {interlaced}}), 10);
    const Bytes lossless = graphics_test::encodeWebp(alpha, true, true);
    add("webpLossless", lossless, webpHeaderEnd(lossless));
    const Bytes lossy = graphics_test::encodeWebp(alpha, false, true);
    add("webpLossyAlpha", lossy, webpHeaderEnd(lossy));
    add("webpAnimated", graphics_test::encodeAnimatedWebp({alpha, opaque}), 30);
    return list;
  }();
  return all;
}

std::vector<std::uint8_t> pixelsOf(const Image& image) {
  std::vector<std::uint8_t> pixels;
  for (int y = 0; y < image.height(); ++y)
    pixels.insert(pixels.end(), image.row(y), image.row(y) + image.width() * 4);
  return pixels;
}

// A returned picture must be whole: every pixel written by this decode, so that decoding it
// again after another picture gives the same bytes.
void expectWholePicture(const Bytes& bytes, const Image& image) {
  ASSERT_EQ(image.bytesPerRow(), static_cast<std::size_t>(image.width()) * 4);
  const std::vector<std::uint8_t> first = pixelsOf(image);
  const Picture other = graphics_test::tiledPicture(image.width(), image.height(), 3, true);
  ASSERT_TRUE(decodeImage(graphics_test::encodePng(other)).has_value());
  const platform::ImageDecodingResult again = decodeImage(bytes);
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(pixelsOf(*again), first);
}

class Damaged : public testing::TestWithParam<std::size_t> {};

TEST_P(Damaged, TruncatedAtEachEighthFailsOrIsWhole) {
  const Sample& sample = samples()[GetParam()];
  ASSERT_TRUE(decodeImage(sample.bytes).has_value());
  for (int eighth = 1; eighth < 8; ++eighth) {
    SCOPED_TRACE(eighth);
    const Bytes cut(
        sample.bytes.begin(),
        sample.bytes.begin() + static_cast<std::ptrdiff_t>(sample.bytes.size() * eighth / 8));
    const platform::ImageDecodingResult image = decodeImage(cut);
    if (!image) continue;
    EXPECT_EQ(image->width(), sample.width);
    EXPECT_EQ(image->height(), sample.height);
    expectWholePicture(cut, *image);
  }
}

TEST_P(Damaged, SurvivesRandomMutations) {
  const Sample& sample = samples()[GetParam()];
  std::mt19937 random(static_cast<std::uint32_t>(GetParam()) * 7919u + 17u);
  const auto below = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
  };
  int decoded = 0;
  for (int round = 0; round < 2000; ++round) {
    Bytes bytes = sample.bytes;
    bool headerKept = true;
    const std::size_t changes = 1 + below(4);
    for (std::size_t i = 0; i < changes; ++i) {
      const std::size_t at = below(bytes.size());
      if (below(2) == 0) {
        bytes[at] = static_cast<std::uint8_t>(below(256));
      } else {
        bytes[at] ^= static_cast<std::uint8_t>(1u << below(8));
      }
      headerKept = headerKept && at >= sample.headerEnd;
    }
    if (below(8) == 0) bytes.resize(sample.headerEnd + below(bytes.size() - sample.headerEnd));
    const platform::ImageDecodingResult image = decodeImage(bytes);
    if (!image) continue;
    ++decoded;
    SCOPED_TRACE(round);
    if (headerKept) {
      EXPECT_EQ(image->width(), sample.width);
      EXPECT_EQ(image->height(), sample.height);
    }
    const platform::ImageDecodingLimits limits;
    EXPECT_LE(static_cast<std::uint64_t>(image->width()) * image->height(), limits.maxPixels);
    expectWholePicture(bytes, *image);
    if (testing::Test::HasFailure()) break;
  }
  // Some damage leaves a picture (the pixels themselves changed); the checks above ran on those.
  RecordProperty("decoded", decoded);
}

INSTANTIATE_TEST_SUITE_P(EveryFormat, Damaged, testing::Range<std::size_t>(0, 9),
                         [](const testing::TestParamInfo<std::size_t>& info) {
                           return std::string(samples()[info.param].name);
                         });

}  // namespace
