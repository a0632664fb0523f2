#include "platform/graphics/image.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "platform/graphics/canvas_drawing.h"
#include "platform/graphics/jpeg_encoder.h"
#include "platform/graphics/support/jpeg_inspection.h"

namespace {

using platform::Image;

struct Pixel {
  int b, g, r;
};

Pixel at(const Image& image, int x, int y) {
  const std::uint8_t* p = image.row(y) + std::size_t(x) * 4;
  return {p[0], p[1], p[2]};
}

bool isBlack(Pixel p) {
  return p.b == 0 && p.g == 0 && p.r == 0;
}

// A source whose blue channel rises from left to right and green from top to bottom, so that
// where a canvas pixel was taken from can be read back from its colour.
Image makeRamp(int width, int height) {
  const std::size_t stride = std::size_t(width) * 4;
  auto pixels = std::make_shared<std::vector<std::uint8_t>>(stride * height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = pixels->data() + stride * y + std::size_t(x) * 4;
      p[0] = std::uint8_t(std::lround(x * 255.0 / (width - 1)));
      p[1] = std::uint8_t(std::lround(y * 255.0 / (height - 1)));
      p[2] = 200;
      p[3] = 0;
    }
  }
  const std::uint8_t* data = pixels->data();
  return *Image::wrap(data, width, height, stride, std::move(pixels));
}

// Checks a letterboxed canvas against its source: bars pure black and equal at both sides,
// every other pixel sampled from where the scale-to-height mapping puts it.
void expectFittedRamp(const Image& canvas, int sourceWidth, int sourceHeight) {
  const double scale = double(canvas.height()) / sourceHeight;
  const double left = (canvas.width() - sourceWidth * scale) / 2;
  int leftBar = 0;
  while (leftBar < canvas.width() && isBlack(at(canvas, leftBar, canvas.height() / 2)))
    ++leftBar;
  int rightBar = 0;
  while (rightBar < canvas.width() &&
         isBlack(at(canvas, canvas.width() - 1 - rightBar, canvas.height() / 2))) {
    ++rightBar;
  }
  EXPECT_EQ(leftBar, int(std::lround(std::max(0.0, left))));
  EXPECT_EQ(rightBar, leftBar) << "the picture is centred";
  int worst = 0;
  for (int y = 0; y < canvas.height(); y += 7) {
    for (int x = 0; x < canvas.width(); ++x) {
      const Pixel p = at(canvas, x, y);
      if (x < leftBar || x >= canvas.width() - rightBar) {
        ASSERT_TRUE(isBlack(p)) << x << "," << y;
        continue;
      }
      const double sx = std::clamp((x + 0.5 - left) / scale - 0.5, 0.0, sourceWidth - 1.0);
      const double sy = std::clamp((y + 0.5) / scale - 0.5, 0.0, sourceHeight - 1.0);
      worst = std::max(worst, std::abs(p.b - int(std::lround(sx * 255 / (sourceWidth - 1)))));
      worst = std::max(worst, std::abs(p.g - int(std::lround(sy * 255 / (sourceHeight - 1)))));
      ASSERT_EQ(p.r, 200) << x << "," << y;
    }
  }
  EXPECT_LE(worst, 2);
}

TEST(Image, WrapsPixelsWithoutCopyingAndKeepsTheirOwnerAlive) {
  auto owner = std::make_shared<std::vector<std::uint8_t>>(64 * 10);
  std::weak_ptr<std::vector<std::uint8_t>> watch = owner;
  const std::uint8_t* pixels = owner->data();
  std::optional<Image> image = Image::wrap(pixels, 12, 10, 64, std::move(owner));
  ASSERT_TRUE(image);
  EXPECT_EQ(image->pixels(), pixels);
  EXPECT_EQ(image->row(3), pixels + 3 * 64);
  Image copy = *image;
  image.reset();
  EXPECT_FALSE(watch.expired());
  copy = Image();
  EXPECT_TRUE(watch.expired());
}

TEST(Image, RefusesGeometryThatDoesNotFitItsRows) {
  std::vector<std::uint32_t> storage(100 * 100);
  auto* p = reinterpret_cast<const std::uint8_t*>(storage.data());
  EXPECT_TRUE(Image::wrap(p, 100, 100, 400, nullptr));
  EXPECT_FALSE(Image::wrap(p, 100, 100, 396, nullptr));  // rows shorter than the pixels
  EXPECT_FALSE(Image::wrap(p, 99, 100, 398, nullptr));   // rows not on 4-byte boundaries
  EXPECT_FALSE(Image::wrap(p + 1, 10, 10, 400, nullptr));
  EXPECT_FALSE(Image::wrap(p, 0, 100, 400, nullptr));
  EXPECT_FALSE(Image::wrap(p, 100, -1, 400, nullptr));
  EXPECT_FALSE(Image::wrap(nullptr, 1, 1, 4, nullptr));
  EXPECT_FALSE(Image::wrap(p, 70000, 1, 280000, nullptr));  // wider than any JPEG
}

TEST(ImageResized, LargeTargetsGetTheCaptureItself) {
  const Image capture = makeRamp(1024, 768);
  for (auto [w, h] :
       {std::pair{1024.0, 748.0}, {800.0, 600.0}, {2732.0, 2028.0}, {5000.0, 20.0 + 580}}) {
    std::optional<Image> result = capture.resized(w, h);
    ASSERT_TRUE(result) << w << "x" << h;
    EXPECT_EQ(result->pixels(), capture.pixels()) << "no copy for " << w << "x" << h;
    EXPECT_EQ(result->width(), 1024);
    EXPECT_EQ(result->height(), 768);
  }
}

TEST(ImageResized, NarrowDeviceGetsACenteredPictureBetweenBlackBars) {
  // A 750x1334 device: the 750x1334 capture goes onto a 750x1314 canvas, 738.8 wide at 5.6.
  const platform::FittedPlacement placement = platform::fittedPlacement(750, 1334, 750, 1314);
  EXPECT_NEAR(placement.width, 738.8, 0.05);
  EXPECT_NEAR(placement.x, 5.6, 0.05);

  std::optional<Image> canvas = makeRamp(750, 1334).resized(750, 1314);
  ASSERT_TRUE(canvas);
  EXPECT_EQ(canvas->width(), 750);
  EXPECT_EQ(canvas->height(), 1314);
  expectFittedRamp(*canvas, 750, 1334);
}

TEST(ImageResized, SmallDeviceAndOtherCanvases) {
  // A 320x480 device: a 320x460 canvas with bars of about 6.7 pixels.
  std::optional<Image> small = makeRamp(320, 480).resized(320, 460);
  ASSERT_TRUE(small);
  EXPECT_EQ(small->width(), 320);
  EXPECT_EQ(small->height(), 460);
  expectFittedRamp(*small, 320, 480);

  // Just under the limit in one direction is enough for a canvas; sizes are truncated.
  std::optional<Image> tall = makeRamp(799, 1020).resized(799.9, 1000.7);
  ASSERT_TRUE(tall);
  EXPECT_EQ(tall->width(), 799);
  EXPECT_EQ(tall->height(), 1000);
  expectFittedRamp(*tall, 799, 1020);

  // Upscaling a small picture.
  std::optional<Image> up = makeRamp(40, 30).resized(300, 200);
  ASSERT_TRUE(up);
  expectFittedRamp(*up, 40, 30);
}

TEST(ImageResized, WiderPictureIsCutEquallyAtBothSides) {
  // A 1024x768 picture on a 320x460 canvas is 613.3 wide: 146.7 pixels cut at each side.
  std::optional<Image> canvas = makeRamp(1024, 768).resized(320, 460);
  ASSERT_TRUE(canvas);
  expectFittedRamp(*canvas, 1024, 768);
  // The middle of the picture is the middle of the canvas.
  EXPECT_NEAR(at(*canvas, 159, 230).b + at(*canvas, 160, 230).b, 255, 3);
}

TEST(ImageResized, ImpossibleTargetsGiveNoImage) {
  const Image capture = makeRamp(320, 480);
  EXPECT_FALSE(capture.resized(320, 0));    // a device of 20 pixels high
  EXPECT_FALSE(capture.resized(320, -12));  // or less
  EXPECT_FALSE(capture.resized(0.5, 460));  // under one pixel once truncated
  EXPECT_FALSE(capture.resized(NAN, 460));
  EXPECT_FALSE(capture.resized(320, INFINITY));
  EXPECT_FALSE(capture.resized(70000, 500));  // more than a JPEG can hold
  EXPECT_FALSE(capture.resized(320, 2147483647.0 - 20));
  EXPECT_FALSE(Image().resized(320, 460));
}

TEST(ImageResized, CanvasesAreReusedOnceTheFrameIsGone) {
  const Image capture = makeRamp(320, 480);
  const std::size_t before = platform::canvasPool().freshAllocations();
  for (int frame = 0; frame < 20; ++frame) {
    std::optional<Image> canvas = capture.resized(320, 460);
    ASSERT_TRUE(canvas);
  }
  // One canvas and its bookkeeping block, made once.
  EXPECT_LE(platform::canvasPool().freshAllocations() - before, 2u);

  // While a frame still holds its canvas, the next frame gets another one.
  std::optional<Image> held = capture.resized(320, 460);
  std::optional<Image> next = capture.resized(320, 460);
  ASSERT_TRUE(held && next);
  EXPECT_NE(held->pixels(), next->pixels());
  expectFittedRamp(*held, 320, 480);
}

TEST(ImageJpegData, EncodesAtTheMappedQuality) {
  const Image capture = graphics_test::makeScreenImage(320, 480, 3);
  std::optional<Image> canvas = capture.resized(320, 460);
  ASSERT_TRUE(canvas);
  std::optional<platform::PooledBytes> bytes = canvas->jpegData(1 - 0.7 * (320.0 / 1920));
  ASSERT_TRUE(bytes);
  std::optional<graphics_test::Decoded> decoded = graphics_test::decodeWithTurbo(bytes->bytes());
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width, 320);
  EXPECT_EQ(decoded->height, 460);
  // The bars survive compression as (nearly) black.
  for (int y = 0; y < 460; y += 10) {
    const std::uint8_t* p = decoded->pixels.data() + std::size_t(y) * 320 * 4;
    EXPECT_LT(p[0] + p[1] + p[2], 24) << "row " << y;
  }
  // The same bytes as the encoder gives for quality 88.
  std::optional<platform::PooledBytes> direct = platform::JpegEncoder::shared().encode(*canvas, 88);
  ASSERT_TRUE(direct);
  EXPECT_TRUE(std::equal(bytes->bytes().begin(), bytes->bytes().end(), direct->bytes().begin(),
                         direct->bytes().end()));
  EXPECT_FALSE(canvas->jpegData(NAN));
  EXPECT_FALSE(Image().jpegData(0.5));
}

}  // namespace
