#include "streaming/frame_encoding.h"

#include <gtest/gtest.h>

#include "platform/coding/value.h"
#include "streaming/road/support/frames.h"

namespace streaming {
namespace {

using platform::Value;
using road::decodeJpeg;
using road::near;
using road::solidSample;
using road::splitSample;

std::shared_ptr<const MagicPacket> device(int width, int height) {
  return road::tabletDescription(width, height);
}

constexpr std::uint32_t kBlack = 0x000000;
constexpr std::uint32_t kOrange = 0xF08020;

// The worked values of the encoding: how big the image for a device is and its quality.
TEST(FrameEncoding, TargetSizeTakesTheReservedRowsOffTheHeightOnly) {
  const FrameTarget target = frameTargetSize(*device(1024, 768));
  EXPECT_EQ(target.width, 1024);
  EXPECT_EQ(target.height, 748);

  const auto noHeight = MagicPacket::make(
      Value::Dictionary{{"screenSize", Value(Value::Dictionary{{"Width", Value(1024)}})}});
  EXPECT_EQ(frameTargetSize(*noHeight).height, -20);
}

TEST(FrameEncoding, QualityFollowsTheImageSize) {
  EXPECT_NEAR(frameQuality(1024, 768), 1 - 0.7 * (1024.0 / 1920), 1e-9);  // about 0.627
  EXPECT_NEAR(frameQuality(1024, 768), 0.627, 0.001);
  EXPECT_NEAR(frameQuality(750, 1314), 0.727, 0.001);
  EXPECT_NEAR(frameQuality(320, 460), 0.883, 0.001);
  EXPECT_EQ(frameQuality(2732, 2048), 0.1);  // 0.004, raised
  // Both ratios are measured against a landscape 1920 by 1080, so the same tablet held upright
  // gets a better quality than lying on its side.
  EXPECT_NEAR(frameQuality(2048, 2732), 1 - 0.7 * (2048.0 / 1920), 1e-9);  // about 0.253
}

TEST(FrameEncoding, LargeDevicesGetTheCapturedPixelsThemselves) {
  auto sample = solidSample(1024, 768, kOrange);
  auto image = imageFromSampleBuffer(1024, 748, sample);
  ASSERT_TRUE(image);
  // Not even the reserved rows are cut: the capture goes as it is, without a copy.
  EXPECT_EQ(image->width(), 1024);
  EXPECT_EQ(image->height(), 768);
  EXPECT_EQ(image->pixels(), sample->imageBuffer()->baseAddress());

  // 800 by 620 is the smallest device that still gets the capture itself.
  auto exact = solidSample(800, 620, kOrange);
  auto exactImage = imageFromSampleBuffer(800, 600, exact);
  ASSERT_TRUE(exactImage);
  EXPECT_EQ(exactImage->pixels(), exact->imageBuffer()->baseAddress());
  EXPECT_EQ(exactImage->height(), 620);
}

TEST(FrameEncoding, TheImageOutlivesTheSampleItCameFrom) {
  auto sample = solidSample(1024, 768, kOrange);
  auto image = imageFromSampleBuffer(1024, 748, sample);
  ASSERT_TRUE(image);
  std::weak_ptr<platform::SampleBuffer> weakSample = sample;
  sample.reset();
  EXPECT_TRUE(weakSample.expired());
  // The pixels are still there (the image keeps the capture's buffer), and ASan would object if
  // they were not.
  EXPECT_EQ(image->row(767)[4 * 1023 + 2], 0xF0);
}

TEST(FrameEncoding, SmallDevicesGetALetterboxedCanvas) {
  // 750 by 1334: a 750 by 1314 canvas; the picture scaled to 738.8 wide at x = 5.6.
  auto sample = splitSample(750, 1334, kOrange, 0x2060C0);
  auto image = imageFromSampleBuffer(750, 1314, sample);
  ASSERT_TRUE(image);
  ASSERT_EQ(image->width(), 750);
  ASSERT_EQ(image->height(), 1314);
  const auto pixel = [&](int x, int y) {
    const std::uint8_t* p = image->row(y) + x * 4;
    return std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0];
  };
  for (int y : {0, 657, 1313}) {
    for (int x = 0; x <= 4; ++x)
      EXPECT_EQ(pixel(x, y), kBlack) << x << "," << y;
    for (int x = 745; x < 750; ++x)
      EXPECT_EQ(pixel(x, y), kBlack) << x << "," << y;
    EXPECT_TRUE(near(pixel(7, y), kOrange, 2)) << y;
    EXPECT_TRUE(near(pixel(370, y), kOrange, 2)) << y;
    EXPECT_TRUE(near(pixel(380, y), 0x2060C0, 2)) << y;
    EXPECT_TRUE(near(pixel(742, y), 0x2060C0, 2)) << y;
  }

  // Just below 800 wide is enough for a canvas.
  auto narrow = imageFromSampleBuffer(799, 1000, solidSample(799, 1020, kOrange));
  ASSERT_TRUE(narrow);
  EXPECT_EQ(narrow->width(), 799);
  EXPECT_EQ(narrow->height(), 1000);
}

TEST(FrameEncoding, FramesThatCannotBeMadeAreDropped) {
  auto sample = solidSample(320, 40, kOrange);
  // A device no higher than the reserved rows, or without a width, leaves no canvas.
  EXPECT_FALSE(imageFromSampleBuffer(320, 0, sample));
  EXPECT_FALSE(imageFromSampleBuffer(320, -10, sample));
  EXPECT_FALSE(imageFromSampleBuffer(0, 20, sample));
  EXPECT_FALSE(imageFromSampleBuffer(0.5, 300, sample));
  EXPECT_FALSE(encodeFrame(sample, *device(320, 20)));
  EXPECT_FALSE(encodeFrame(sample, *device(320, 5)));
  EXPECT_FALSE(encodeFrame(sample, *device(0, 480)));
  EXPECT_TRUE(encodeFrame(sample, *device(320, 21)));  // one row is still a picture

  // Samples without pixels, or with pixels that are not 8-bit BGRX.
  platform::SampleBuffer idle(nullptr, std::nullopt, 0);
  EXPECT_FALSE(encodeFrame(std::make_shared<platform::SampleBuffer>(idle), *device(1024, 768)));
  auto storage = std::make_shared<std::vector<std::uint8_t>>(64 * 64 * 4);
  auto tenBit = std::make_shared<platform::SampleBuffer>(
      std::make_shared<platform::PixelBuffer>(64, 64, 256, platform::PixelFormat::argb2101010,
                                              storage->data(), storage),
      std::nullopt, 0);
  EXPECT_FALSE(encodeFrame(tenBit, *device(1024, 768)));
}

TEST(FrameEncoding, EncodesOneJpegOfTheImagesSize) {
  auto frame = encodeFrame(solidSample(1024, 768, kOrange), *device(1024, 768));
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->width, 1024);
  EXPECT_EQ(frame->height, 768);
  EXPECT_NEAR(frame->quality, 0.627, 0.001);
  auto decoded = decodeJpeg(frame->jpeg.bytes());
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width, 1024);
  EXPECT_EQ(decoded->height, 768);
  EXPECT_TRUE(near(decoded->at(512, 700), kOrange));

  // 320 by 480: a 320 by 460 canvas with black bars, at quality 0.883.
  auto small = encodeFrame(solidSample(320, 480, kOrange), *device(320, 480));
  ASSERT_TRUE(small);
  EXPECT_NEAR(small->quality, 0.883, 0.001);
  auto smallImage = decodeJpeg(small->jpeg.bytes());
  ASSERT_TRUE(smallImage);
  EXPECT_EQ(smallImage->width, 320);
  EXPECT_EQ(smallImage->height, 460);
  EXPECT_TRUE(near(smallImage->at(1, 230), kBlack));
  EXPECT_TRUE(near(smallImage->at(318, 230), kBlack));
  EXPECT_TRUE(near(smallImage->at(160, 230), kOrange));
}

TEST(FrameEncoding, TheLargestTabletsGetOneFullSizeJpeg) {
  // Large enough for the banded encoder; the device must still see one plain image.
  auto frame = encodeFrame(splitSample(2732, 2048, kOrange, 0x2060C0), *device(2732, 2048));
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->quality, 0.1);
  auto decoded = decodeJpeg(frame->jpeg.bytes());
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width, 2732);
  EXPECT_EQ(decoded->height, 2048);
  EXPECT_TRUE(near(decoded->at(100, 2000), kOrange, 20));
  EXPECT_TRUE(near(decoded->at(2700, 40), 0x2060C0, 20));
}

TEST(FrameEncoding, TheSizeLineCountsThousandsOfBytes) {
  EXPECT_EQ(imageSizeLine(123456), "size of image in KB: 123.456000 ");
  EXPECT_EQ(imageSizeLine(999), "size of image in KB: 0.999000 ");
}

}  // namespace
}  // namespace streaming
