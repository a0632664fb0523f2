// The whole road on real parts: an X server of the test's own, the companion simulator on a
// loopback port, and the coordinator with everything it creates.

#include <gtest/gtest.h>

#include "platform/dispatch/main_queue.h"
#include "platform/display/display_queries.h"
#include "platform/display/support/x_test_server.h"
#include "platform/foundation/log.h"
#include "platform/graphics/jpeg_encoder.h"
#include "streaming/road/support/frames.h"
#include "streaming/road/support/road_fixture.h"
#include "streaming/starting_screen_view_model.h"

namespace streaming {
namespace {

constexpr std::uint32_t kBackground = 0x2050A0;
constexpr std::uint32_t kRectangle = 0xE0A030;

class StreamingRoadTest : public road::RoadFixture<> {
 protected:
  void SetUp() override {
    if (!testing_display::TestXServer::available()) GTEST_SKIP() << "Xvfb is not installed";
    server_.start();
    makeSaveFolder("tovarine-road");
  }

  void TearDown() override {
    endRoad();
    platform::drainMainQueue();
    server_.stop();
    removeSaveFolder();
  }

  // Waits for the device's display and returns it.
  platform::DisplayID waitForStreaming() {
    EXPECT_TRUE(platform::runMainUntil(
        [&] { return model_->deviceStatus.get() == DeviceStatus::Connected; }, 20));
    auto displays = model_->virtualScreen()->virtualDisplays();
    EXPECT_EQ(displays.size(), 1u);
    if (displays.empty()) return 0;
    return displays.begin()->second.display->displayID();
  }

  // Paints the display with the background and a rectangle, as an application would draw.
  void paint(platform::DisplayID id, std::int16_t x, std::int16_t y, std::uint16_t width,
             std::uint16_t height) {
    auto location = platform::locateDisplay(id);
    ASSERT_TRUE(location);
    auto connection = platform::x11::Connection::open(location->xDisplay);
    ASSERT_TRUE(connection);
    testing_display::TestXServer::fillRootOn(
        **connection, std::int16_t(location->x), std::int16_t(location->y),
        std::uint16_t(location->pixelWidth), std::uint16_t(location->pixelHeight), kBackground);
    testing_display::TestXServer::fillRootOn(**connection, std::int16_t(location->x + x),
                                             std::int16_t(location->y + y), width, height,
                                             kRectangle);
  }

  // Waits until the newest image the device received passes `check`; returns its bytes.
  std::vector<std::uint8_t> waitForImage(
      const std::function<bool(const road::DecodedImage&)>& check) {
    std::vector<std::uint8_t> bytes;
    const bool found = platform::runMainUntil(
        [&] {
          const auto saved = simulator_->statistics().savedImages;
          if (saved == 0) return false;
          bytes = savedImage(saved);
          auto image = road::decodeJpeg(bytes);
          return image && check(*image);
        },
        20);
    EXPECT_TRUE(found) << "the device never showed the expected picture";
    return bytes;
  }

  testing_display::TestXServer server_;
};

TEST_F(StreamingRoadTest, ADeviceGetsADisplayWhosePictureReachesIt) {
  platform::LogCapture log;
  startRoad(1024, 768);
  const platform::DisplayID id = waitForStreaming();
  ASSERT_NE(id, 0u);
  EXPECT_EQ(platform::displayName(id), std::string("Tovarine ") + kDeviceName);
  auto mode = platform::copyDisplayMode(id);
  ASSERT_TRUE(mode);
  EXPECT_EQ(mode->pixelWidth, 1024u);
  EXPECT_EQ(mode->pixelHeight, 768u);
  EXPECT_TRUE(windowControl_->minimised());
  ASSERT_TRUE(model_->magicPacket());
  EXPECT_EQ(model_->magicPacket()->deviceName(), kDeviceName);

  paint(id, 400, 300, 200, 150);
  waitForImage([](const road::DecodedImage& image) {
    return image.width == 1024 && image.height == 768 &&
           road::near(image.at(500, 375), kRectangle) &&
           road::near(image.at(50, 50), kBackground) &&
           road::near(image.at(1000, 740), kBackground);
  });
  EXPECT_EQ(simulator_->statistics().badImages, 0u);
  EXPECT_TRUE(log.contains("size of image in KB: "));

  // The channel is measured as well.
  ASSERT_TRUE(
      platform::runMainUntil([&] { return log.contains("Ping total roundtrip time: "); }, 10));
  EXPECT_GE(simulator_->statistics().pongs, 1u);

  // The device goes away: its display goes, and the window comes back.
  ASSERT_TRUE(unplugDevice());
  // The display is released on the screen's own queue; wait until that has taken effect.
  model_->virtualScreen()->flushPendingWork();
  EXPECT_FALSE(platform::copyDisplayMode(id));
  EXPECT_FALSE(server_.monitorNamed(std::string("Tovarine ") + kDeviceName));
  EXPECT_EQ(server_.screenSize(),
            std::make_pair(testing_display::kBaseWidth, testing_display::kBaseHeight));
  EXPECT_FALSE(windowControl_->minimised());
}

TEST_F(StreamingRoadTest, ASmallDeviceGetsALetterboxedPicture) {
  startRoad(320, 480);
  const platform::DisplayID id = waitForStreaming();
  ASSERT_NE(id, 0u);
  paint(id, 110, 190, 100, 100);
  // A 320 by 460 canvas: the display scaled to 306.7 by 460 at x = 6.7, black beside it.
  waitForImage([](const road::DecodedImage& image) {
    return image.width == 320 && image.height == 460 && road::near(image.at(2, 230), 0) &&
           road::near(image.at(317, 230), 0) && road::near(image.at(2, 10), 0) &&
           road::near(image.at(160, 230), kRectangle) &&
           road::near(image.at(20, 230), kBackground) && road::near(image.at(300, 20), kBackground);
  });
  EXPECT_EQ(simulator_->statistics().badImages, 0u);
}

TEST_F(StreamingRoadTest, AnIdleDisplaySendsNothing) {
  startRoad(1024, 768);
  ASSERT_NE(waitForStreaming(), 0u);
  ASSERT_TRUE(platform::runMainUntil([&] { return simulator_->statistics().goodImages >= 1; }, 20));
  // Let whatever the display's appearance damaged pass.
  auto images = simulator_->statistics().images;
  for (int i = 0; i < 20; ++i) {
    if (!platform::runMainUntil([&] { return simulator_->statistics().images != images; }, 0.3)) {
      break;
    }
    images = simulator_->statistics().images;
  }
  const auto sent = model_->frameStatistics().sent;
  const auto pongs = simulator_->statistics().pongs;
  // The channel stays busy with pings while no picture goes.
  ASSERT_TRUE(
      platform::runMainUntil([&] { return simulator_->statistics().pongs >= pongs + 3; }, 10));
  EXPECT_EQ(simulator_->statistics().images, images);
  EXPECT_EQ(model_->frameStatistics().sent, sent);
}

TEST_F(StreamingRoadTest, TheLargestTabletGetsOnePlainFullSizeJpeg) {
  startRoad(2732, 2048);
  const platform::DisplayID id = waitForStreaming();
  ASSERT_NE(id, 0u);
  paint(id, 1300, 1000, 300, 200);
  const auto bytes = waitForImage([](const road::DecodedImage& image) {
    return image.width == 2732 && image.height == 2048 &&
           road::near(image.at(1450, 1100), kRectangle, 20) &&
           road::near(image.at(100, 2000), kBackground, 20);
  });
  EXPECT_EQ(simulator_->statistics().badImages, 0u);
  // One image: one frame header and one scan, whose data holds nothing but restart markers
  // (the bands it was encoded in) up to the one end marker.
  ASSERT_GE(bytes.size(), 4u);
  ASSERT_EQ(bytes[0], 0xFF);
  ASSERT_EQ(bytes[1], 0xD8);
  std::size_t at = 2;
  int frameHeaders = 0;
  while (at + 4 <= bytes.size() && bytes[at] == 0xFF && bytes[at + 1] != 0xDA) {
    if (bytes[at + 1] == 0xC0) ++frameHeaders;
    at += 2 + (std::size_t(bytes[at + 2]) << 8 | bytes[at + 3]);
  }
  EXPECT_EQ(frameHeaders, 1);
  ASSERT_LT(at + 4, bytes.size());
  at += 2 + (std::size_t(bytes[at + 2]) << 8 | bytes[at + 3]);
  int restarts = 0, otherMarkers = 0;
  for (; at + 2 < bytes.size(); ++at) {
    if (bytes[at] != 0xFF || bytes[at + 1] == 0x00) continue;
    const std::uint8_t marker = bytes[at + 1];
    if (marker < 0xD0 || marker > 0xD7) {
      ++otherMarkers;
      continue;
    }
    EXPECT_EQ(marker, 0xD0 + restarts % 8) << "restart markers out of sequence";
    ++restarts;
  }
  EXPECT_EQ(otherMarkers, 0);
  EXPECT_EQ(bytes[bytes.size() - 2], 0xFF);
  EXPECT_EQ(bytes[bytes.size() - 1], 0xD9);
  EXPECT_EQ(restarts, platform::JpegEncoder::shared().planFor(2732, 2048).stripCount - 1);
}

}  // namespace
}  // namespace streaming
