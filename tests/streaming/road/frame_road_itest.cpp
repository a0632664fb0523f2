#include <gtest/gtest.h>

#include <algorithm>

#include "platform/coding/value.h"
#include "platform/dispatch/main_queue.h"
#include "platform/foundation/log.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/process_info.h"
#include "streaming/notification_names.h"
#include "streaming/road/support/frames.h"
#include "streaming/road/support/window_fake.h"
#include "streaming/starting_screen_view_model.h"
#include "streaming/tether/support/device_peer.h"
#include "support/recorder.h"

namespace streaming {
namespace {

using platform::Value;

// Frame i of a burst gets a colour of its own, so the device's side can tell which arrived.
std::uint32_t colourOf(int index) {
  return std::uint32_t(index * 8) << 16 | std::uint32_t(255 - index * 8) << 8 | 0x40;
}

int indexOf(std::uint32_t colour) {
  return static_cast<int>(((colour >> 16) + 4) / 8);
}

// The coordinator sending to a device played by a plain socket peer on loopback, with the
// device description handed over directly (no displays are made here).
class FrameRoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StartingScreenViewModel::Options options;
    options.windowControl = std::make_shared<road::WindowFake>();
    options.port = peer_.port();
    options.retryDelay = 0.05;
    options.hub = platform::TLUSBHub::make();
    model_ = StartingScreenViewModel::make(std::move(options));
    ASSERT_TRUE(platform::runMainUntil(
        [&] { return model_->peerConnector()->connectedChannel() != nullptr; }));
    platform::NotificationCenter::defaultCenter()->post(
        streamingMagicPacket(),
        MagicPacket::make(Value::Dictionary{
            {"name", Value("Phone")},
            {"screenSize", Value(Value::Dictionary{{"Width", Value(320)}, {"Height", Value(480)}})},
            {"ppi", Value(326)}}));
  }

  void TearDown() override {
    if (model_) {
      EXPECT_TRUE(road::waitForFramesToSettle(*model_));
    }
    model_.reset();
    platform::drainMainQueue();
  }

  std::vector<fakes::DevicePeer::Frame> images() {
    std::vector<fakes::DevicePeer::Frame> result;
    for (auto& frame : peer_.received()) {
      if (frame.type == 101) result.push_back(std::move(frame));
    }
    return result;
  }

  fakes::DevicePeer peer_;
  std::shared_ptr<StartingScreenViewModel> model_;
  platform::LogCapture log_;
};

TEST_F(FrameRoadTest, ABurstArrivesInCaptureOrderWithTheNewestFrameLast) {
  constexpr int kFrames = 30;
  for (int i = 0; i < kFrames; ++i) {
    model_->handleCapturedBuffer(road::solidSample(320, 480, colourOf(i), i));
  }
  EXPECT_EQ(model_->frameStatistics().captured, std::uint64_t(kFrames));
  ASSERT_TRUE(road::waitForFramesToSettle(*model_));
  const auto statistics = model_->frameStatistics();
  ASSERT_TRUE(platform::runMainUntil([&] { return images().size() == statistics.sent; }));
  EXPECT_EQ(statistics.unsent, 0u);
  EXPECT_EQ(statistics.unencodable, 0u);

  // Frames that could not start at once were dropped, not queued without end.
  EXPECT_GE(statistics.sent, 1u);
  EXPECT_LE(statistics.sent, std::uint64_t(kFrames));

  int previous = -1;
  for (const auto& image : images()) {
    EXPECT_EQ(image.tag, 0u);
    auto decoded = road::decodeJpeg(image.payload);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->width, 320);
    EXPECT_EQ(decoded->height, 460);
    const int index = indexOf(decoded->at(160, 230));
    EXPECT_TRUE(road::near(decoded->at(160, 230), colourOf(index)));
    EXPECT_GT(index, previous) << "a frame arrived after a newer one";
    previous = index;
  }
  // Whatever was dropped on the way, the device ends up showing the last picture.
  EXPECT_EQ(previous, kFrames - 1);
  EXPECT_EQ(statistics.bytesSent, [&] {
    std::uint64_t total = 0;
    for (const auto& image : images())
      total += image.payload.size();
    return total;
  }());
}

TEST_F(FrameRoadTest, EachSentFrameIsReportedWithItsStagesInOrder) {
  testsupport::Recorder<FrameReport> reports;
  model_->setFrameReportHandler([&](const FrameReport& report) { reports.add(report); });
  model_->handleCapturedBuffer(road::solidSample(320, 480, 0x808080, platform::systemUptime()));
  ASSERT_TRUE(platform::runMainUntil([&] {
    return !reports.empty() && !images().empty();  // written, then read by the device
  }));
  const FrameReport report = reports.entries().front();
  EXPECT_EQ(report.sequence, 1u);
  EXPECT_EQ(report.width, 320);
  EXPECT_EQ(report.height, 460);
  EXPECT_EQ(report.bytes, images().at(0).payload.size());
  EXPECT_LE(report.capturedAt, report.receivedAt);
  EXPECT_LE(report.receivedAt, report.startedAt);
  EXPECT_LE(report.startedAt, report.drawnAt);
  EXPECT_LE(report.drawnAt, report.encodedAt);
  EXPECT_LE(report.encodedAt, report.queuedAt);
  EXPECT_LE(report.queuedAt, report.sentAt);
}

TEST_F(FrameRoadTest, DestroyingTheCoordinatorHangsUpOnTheDevice) {
  ASSERT_TRUE(platform::runMainUntil([&] { return peer_.openCount() == 1; }));
  model_.reset();
  EXPECT_TRUE(platform::runMainUntil([&] { return peer_.openCount() == 0; }));
  // And nothing tries again.
  EXPECT_FALSE(platform::runMainUntil([&] { return peer_.acceptedCount() > 1; }, 0.3));
}

}  // namespace
}  // namespace streaming
