#include "platform/graphics/jpeg_encoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

#include "platform/graphics/support/jpeg_inspection.h"

namespace {

using graphics_test::decodeWithLibjpeg;
using graphics_test::decodeWithTurbo;
using graphics_test::inspect;
using graphics_test::makeScreenImage;
using platform::JpegEncoder;

std::vector<std::uint8_t> copyOf(const platform::PooledBytes& bytes) {
  return {bytes.data(), bytes.data() + bytes.size()};
}

// Encodes `image` both ways and checks that the joined image is a well-formed baseline JPEG
// that every decoder reads exactly like the single-threaded one.
void expectStripsMatchSingle(JpegEncoder& encoder, const platform::Image& image, int quality,
                             int stripRows) {
  SCOPED_TRACE(testing::Message() << image.width() << "x" << image.height() << " q" << quality
                                  << " strips of " << stripRows);
  auto single = encoder.encodeSingleThreaded(image, quality);
  auto strips = encoder.encodeInStrips(image, quality, stripRows);
  ASSERT_TRUE(single && strips);

  const int count = (image.height() + stripRows - 1) / stripRows;
  const graphics_test::Structure s = inspect(strips->bytes());
  ASSERT_EQ(s.error, "");
  EXPECT_EQ(s.baselineFrames, 1);
  EXPECT_EQ(s.otherFrames, 0);
  EXPECT_EQ(s.scans, 1);
  EXPECT_EQ(s.quantizationTables, inspect(single->bytes()).quantizationTables);
  EXPECT_EQ(s.huffmanTables, inspect(single->bytes()).huffmanTables);
  EXPECT_EQ(s.frameWidth, image.width());
  EXPECT_EQ(s.frameHeight, image.height());
  EXPECT_TRUE(s.endsWithEndOfImage);
  ASSERT_EQ(s.restartMarkers.size(), std::size_t(count - 1));
  for (int i = 0; i + 1 < count; ++i)
    EXPECT_EQ(s.restartMarkers[i], i % 8) << "marker " << i;
  if (count > 1) {
    EXPECT_EQ(s.restartDefinitions, 1);
    EXPECT_EQ(s.restartInterval, (image.width() + 15) / 16 * (stripRows / 16));
  }

  auto reference = decodeWithTurbo(single->bytes());
  auto joined = decodeWithTurbo(strips->bytes());
  ASSERT_TRUE(reference && joined);
  EXPECT_EQ(joined->width, image.width());
  EXPECT_EQ(joined->height, image.height());
  // The bands hold the very blocks of the whole image; only the DC prediction restarts.
  EXPECT_EQ(graphics_test::maxChannelDifference(*joined, *reference), 0);

  int warnings = -1;
  auto second = decodeWithLibjpeg(strips->bytes(), &warnings);
  ASSERT_TRUE(second);
  EXPECT_EQ(warnings, 0);
  EXPECT_EQ(graphics_test::maxChannelDifference(*second, *reference), 0);
}

TEST(JpegQuality, MapsTheCompressionFactorToOneToHundred) {
  EXPECT_EQ(platform::jpegQuality(0.1), 10);
  EXPECT_EQ(platform::jpegQuality(1.0), 100);
  EXPECT_EQ(platform::jpegQuality(1 - 0.7 * (1024.0 / 1920)), 63);  // a 1024x768 device
  EXPECT_EQ(platform::jpegQuality(1 - 0.7 * (750.0 / 1920)), 73);   // a 750x1334 device
  EXPECT_EQ(platform::jpegQuality(1 - 0.7 * (320.0 / 1920)), 88);   // a 320x480 device
  EXPECT_EQ(platform::jpegQuality(0.125), 13);                      // halves round up
  EXPECT_EQ(platform::jpegQuality(0.004), 1);
  EXPECT_EQ(platform::jpegQuality(-3), 1);
  EXPECT_EQ(platform::jpegQuality(1.7), 100);
  EXPECT_EQ(platform::jpegQuality(INFINITY), 100);
  EXPECT_FALSE(platform::jpegQuality(NAN));
}

TEST(JpegEncoder, OneBandIsByteForByteTheSingleThreadedEncoding) {
  // The band coder must use the single-threaded encoder's settings exactly (transform, tables,
  // sampling, headers), at both sides of the quality where the transform changes.
  JpegEncoder encoder(4);
  const platform::Image image = makeScreenImage(333, 211, 3);
  for (int quality : {10, 63, 95, 96, 100}) {
    auto single = encoder.encodeSingleThreaded(image, quality);
    auto band = encoder.encodeInStrips(image, quality, 224);
    ASSERT_TRUE(single && band);
    EXPECT_EQ(copyOf(*band), copyOf(*single)) << "quality " << quality;
  }
}

TEST(JpegEncoder, BandsJoinIntoOneImageThatDecodesLikeTheWholeOne) {
  JpegEncoder encoder(4);
  expectStripsMatchSingle(encoder, makeScreenImage(1024, 768), 63, 192);
  expectStripsMatchSingle(encoder, makeScreenImage(2732, 2048, 2), 10, 256);
  expectStripsMatchSingle(encoder, makeScreenImage(640, 480, 4), 100, 64);
}

TEST(JpegEncoder, OddSizesAndBandsThatDoNotDivideTheHeight) {
  JpegEncoder encoder(3);
  // Widths and heights that are not whole blocks, a last band shorter than the others, and
  // more than eight bands so the restart markers wrap from RST7 to RST0.
  expectStripsMatchSingle(encoder, makeScreenImage(1001, 777, 5), 73, 112);
  expectStripsMatchSingle(encoder, makeScreenImage(37, 203, 6), 88, 16);
  expectStripsMatchSingle(encoder, makeScreenImage(750, 1314, 7), 73, 48);
  expectStripsMatchSingle(encoder, makeScreenImage(17, 17, 8), 50, 16);
  // A band taller than the image is the whole image.
  expectStripsMatchSingle(encoder, makeScreenImage(100, 30, 9), 50, 64);
}

TEST(JpegEncoder, SmallestAndWidestFrames) {
  JpegEncoder encoder(4);
  const platform::Image dot = graphics_test::makeSolidImage(1, 1, 10, 200, 90);
  auto encoded = encoder.encode(dot, 90);
  ASSERT_TRUE(encoded);
  auto decoded = decodeWithTurbo(encoded->bytes());
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width, 1);
  EXPECT_EQ(decoded->height, 1);
  EXPECT_NEAR(decoded->pixels[1], 200, 4);
  expectStripsMatchSingle(encoder, dot, 90, 16);

  // 16384 wide: 1024 blocks a row, so bands of 16 rows are restart intervals of 1024 blocks.
  const platform::Image wide = makeScreenImage(16384, 100, 10);
  expectStripsMatchSingle(encoder, wide, 40, 16);
  auto automatic = encoder.encode(wide, 40);
  ASSERT_TRUE(automatic);
  auto viaDecoder = decodeWithTurbo(automatic->bytes());
  ASSERT_TRUE(viaDecoder);
  EXPECT_EQ(viaDecoder->width, 16384);
  EXPECT_LT(graphics_test::meanDifference(*viaDecoder, wide), 12);
}

TEST(JpegEncoder, RefusesBandsAJpegCannotDescribe) {
  JpegEncoder encoder(2);
  const platform::Image image = makeScreenImage(16384, 1030, 11);
  // 1024 blocks a row times 64 block rows is one more than a restart interval can hold.
  EXPECT_FALSE(encoder.encodeInStrips(image, 50, 1024));
  EXPECT_TRUE(encoder.encodeInStrips(image, 50, 1008));
  // A single band needs no restart interval at all.
  EXPECT_TRUE(encoder.encodeInStrips(image, 50, 1040));
  EXPECT_FALSE(encoder.encodeInStrips(image, 50, 24));  // not whole block rows
  EXPECT_FALSE(encoder.encodeInStrips(image, 50, 0));
  EXPECT_FALSE(encoder.encodeInStrips(makeScreenImage(64, 1040), 50, 16));  // 65 bands
  EXPECT_FALSE(encoder.encodeInStrips(image, 0, 1008));
  EXPECT_FALSE(encoder.encodeSingleThreaded(image, 101));
  EXPECT_FALSE(encoder.encode(platform::Image(), 50));
}

TEST(JpegEncoder, PlansBandsByFrameSize) {
  JpegEncoder encoder(8);
  EXPECT_EQ(encoder.parallelism(), 8u);
  // Below about a megapixel: one band, the single-threaded encoder.
  EXPECT_EQ(encoder.planFor(320, 460).stripCount, 1);
  EXPECT_EQ(encoder.planFor(1024, 768).stripCount, 1);
  EXPECT_EQ(encoder.planFor(750, 1314).stripCount, 1);
  for (auto [w, h] : {std::pair{1170, 2532},
                      {2048, 2732},
                      {2732, 2048},
                      {16384, 4096},
                      {16384, 30000},
                      {1001, 1001},
                      {65500, 65500},
                      {1, 65500}}) {
    SCOPED_TRACE(testing::Message() << w << "x" << h);
    const platform::StripPlan plan = encoder.planFor(w, h);
    if (plan.stripCount == 1) continue;
    EXPECT_EQ(plan.stripRows % 16, 0);
    // A few bands a thread, unless a restart interval cannot span more rows.
    const int longestBand = 65535 / ((w + 15) / 16) * 16;
    EXPECT_LE(plan.stripCount,
              std::max(8 * JpegEncoder::kStripsPerThread, (h + longestBand - 1) / longestBand));
    EXPECT_LE(plan.stripCount, JpegEncoder::kMaxStrips);
    EXPECT_EQ(plan.stripCount, (h + plan.stripRows - 1) / plan.stripRows);
    EXPECT_LE((w + 15) / 16 * (plan.stripRows / 16), 65535);
  }
  // More pixels, more bands.
  EXPECT_GE(encoder.planFor(2732, 2048).stripCount, 8);
  EXPECT_GE(encoder.planFor(2732, 2048).stripCount, encoder.planFor(1170, 1100).stripCount);
  EXPECT_EQ(JpegEncoder(1).planFor(2732, 2048).stripCount, 1);
  EXPECT_EQ(encoder.planFor(2'000'000, 2000).stripCount, 1);  // no band fits an interval
  EXPECT_EQ(encoder.planFor(0, 5000).stripCount, 1);
}

TEST(JpegEncoder, ReadsRowsWhereverTheyStart) {
  // Captured buffers often have rows longer than their pixels; the padding must be skipped,
  // not encoded.
  JpegEncoder encoder(4);
  const platform::Image tight = makeScreenImage(1280, 1024, 12);
  const platform::Image padded = graphics_test::withRowPadding(tight, 256);
  auto a = encoder.encode(tight, 70);
  auto b = encoder.encode(padded, 70);
  auto c = encoder.encodeSingleThreaded(padded, 70);
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(copyOf(*a), copyOf(*b));
  auto reference = decodeWithTurbo(a->bytes());
  auto single = decodeWithTurbo(c->bytes());
  ASSERT_TRUE(reference && single);
  EXPECT_EQ(graphics_test::maxChannelDifference(*reference, *single), 0);
}

TEST(JpegEncoder, OutputBuffersServeFrameAfterFrame) {
  // Once a frame's bytes are let go, the next frame of the same size is written into them.
  JpegEncoder encoder(4);
  const platform::Image large = makeScreenImage(1400, 1000, 15);
  const platform::Image small = makeScreenImage(300, 200, 16);
  for (const platform::Image* image : {&large, &small}) {
    const std::uint8_t* first = nullptr;
    {
      auto bytes = encoder.encode(*image, 60);
      ASSERT_TRUE(bytes);
      first = bytes->data();
    }
    for (int frame = 0; frame < 5; ++frame) {
      auto bytes = encoder.encode(*image, 60 + frame % 2);
      ASSERT_TRUE(bytes);
      EXPECT_EQ(bytes->data(), first) << image->width() << " frame " << frame;
    }
  }
}

TEST(JpegEncoder, ConcurrentFramesGetTheirOwnBytes) {
  // Two frame tasks may encode at the same time on the same encoder and its workers.
  JpegEncoder encoder(4);
  std::vector<platform::Image> images;
  std::vector<std::vector<std::uint8_t>> expected;
  for (unsigned seed = 0; seed < 4; ++seed) {
    images.push_back(makeScreenImage(1200 + 16 * int(seed), 1000, seed + 20));
    expected.push_back(copyOf(*encoder.encode(images.back(), 60)));
  }
  std::vector<int> mismatches(images.size(), 0);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < images.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 6; ++round) {
        auto bytes = encoder.encode(images[t], 60);
        if (!bytes || copyOf(*bytes) != expected[t]) ++mismatches[t];
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  for (std::size_t t = 0; t < images.size(); ++t)
    EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

TEST(JpegInspection, CatchesRestartMarkersOutOfSequence) {
  // The checks above are only worth something if a damaged image fails them.
  JpegEncoder encoder(4);
  auto bytes = encoder.encodeInStrips(makeScreenImage(640, 96, 14), 60, 16);
  ASSERT_TRUE(bytes);
  std::vector<std::uint8_t> damaged = copyOf(*bytes);
  const graphics_test::Structure intact = inspect(damaged);
  ASSERT_EQ(intact.restartMarkers, (std::vector<int>{0, 1, 2, 3, 4}));
  // Turn RST2 into RST3.
  int seen = 0;
  for (std::size_t i = damaged.size(); i-- > 1;) {
    if (damaged[i - 1] == 0xFF && damaged[i] == 0xD2 && ++seen == 1) damaged[i] = 0xD3;
  }
  ASSERT_EQ(seen, 1);
  EXPECT_EQ(inspect(damaged).restartMarkers, (std::vector<int>{0, 1, 3, 3, 4}));
  EXPECT_FALSE(decodeWithTurbo(damaged));
  int warnings = 0;
  decodeWithLibjpeg(damaged, &warnings);
  EXPECT_GT(warnings, 0);
}

}  // namespace
