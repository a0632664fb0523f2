#include "streaming/starting_screen_view_model.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/coding/value.h"
#include "platform/dispatch/main_queue.h"
#include "platform/foundation/log.h"
#include "platform/foundation/notification_center.h"
#include "streaming/notification_names.h"
#include "streaming/road/support/frames.h"
#include "streaming/road/support/window_fake.h"
#include "streaming/tether/support/device_peer.h"

namespace streaming {
namespace {

using platform::Value;

std::shared_ptr<const MagicPacket> device(const std::string& name, int width, int height) {
  return MagicPacket::make(Value::Dictionary{
      {"name", Value(name)},
      {"screenSize", Value(Value::Dictionary{{"Width", Value(width)}, {"Height", Value(height)}})},
      {"ppi", Value(132)}});
}

void post(const std::string& name) {
  platform::NotificationCenter::defaultCenter()->post(name);
}

// The coordinator without a device: its channel tries a port where nobody listens, on a hub of
// its own, so only the notifications the tests post move it.
class StartingScreenViewModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window_ = std::make_shared<road::WindowFake>();
    model_ = make(window_);
  }

  void TearDown() override {
    if (model_) {
      EXPECT_TRUE(road::waitForFramesToSettle(*model_));
    }
    model_.reset();
    platform::drainMainQueue();
  }

  std::shared_ptr<StartingScreenViewModel> make(std::shared_ptr<WindowControl> window) {
    StartingScreenViewModel::Options options;
    options.windowControl = std::move(window);
    options.port = port_.port;
    options.retryDelay = 60;  // nothing repeats during a test
    options.hub = platform::TLUSBHub::make();
    return StartingScreenViewModel::make(std::move(options));
  }

  // Posts and waits until the main queue has carried the change out.
  void postAndSettle(const std::string& name, DeviceStatus expected) {
    post(name);
    ASSERT_TRUE(platform::runMainUntil([&] { return model_->deviceStatus.get() == expected; }));
    platform::drainMainQueue();
  }

  fakes::ReservedPort port_;
  std::shared_ptr<road::WindowFake> window_;
  std::shared_ptr<StartingScreenViewModel> model_;
};

TEST_F(StartingScreenViewModelTest, CreatingItBringsTheEngineToLife) {
  EXPECT_EQ(model_->deviceStatus.get(), DeviceStatus::Detached);
  EXPECT_FALSE(model_->magicPacket());
  ASSERT_TRUE(model_->peerConnector());
  EXPECT_EQ(model_->peerConnector()->port(), port_.port);
  EXPECT_TRUE(model_->virtualScreen());
  EXPECT_TRUE(model_->screenCapture());
  EXPECT_TRUE(window_->calls().empty());
}

TEST_F(StartingScreenViewModelTest, NotificationsMoveTheStateOnTheMainQueue) {
  post(deviceUsbAttached());
  // Nothing changes on the posting thread.
  EXPECT_EQ(model_->deviceStatus.get(), DeviceStatus::Detached);
  EXPECT_TRUE(window_->calls().empty());
  ASSERT_TRUE(
      platform::runMainUntil([&] { return model_->deviceStatus.get() == DeviceStatus::Attached; }));
  EXPECT_EQ(window_->calls(), std::vector<std::string>{"restore"});

  window_->clear();
  postAndSettle(deviceUsbStreaming(), DeviceStatus::Connected);
  EXPECT_EQ(window_->calls(), std::vector<std::string>{"minimize"});

  window_->clear();
  postAndSettle(deviceDisconnected(), DeviceStatus::Attached);
  EXPECT_EQ(window_->calls(), std::vector<std::string>{"restore"});

  window_->clear();
  postAndSettle(deviceUsbStreaming(), DeviceStatus::Connected);
  postAndSettle(deviceUsbDetached(), DeviceStatus::Detached);
  EXPECT_EQ(window_->calls(), (std::vector<std::string>{"minimize", "restore"}));
}

TEST_F(StartingScreenViewModelTest, TheMinimisedWindowComesBackWhenStreamingEnds) {
  postAndSettle(deviceUsbStreaming(), DeviceStatus::Connected);
  EXPECT_TRUE(window_->minimised());
  postAndSettle(deviceDisconnected(), DeviceStatus::Attached);
  EXPECT_FALSE(window_->minimised());

  postAndSettle(deviceUsbStreaming(), DeviceStatus::Connected);
  EXPECT_TRUE(window_->minimised());
  postAndSettle(deviceUsbDetached(), DeviceStatus::Detached);
  EXPECT_FALSE(window_->minimised());
}

TEST_F(StartingScreenViewModelTest, AnUnpluggedDeviceStaysDetachedWhenItsChannelEndsAfterwards) {
  postAndSettle(deviceUsbAttached(), DeviceStatus::Attached);
  postAndSettle(deviceUsbStreaming(), DeviceStatus::Connected);
  // Unplugging closes the channel; its end is reported after the unplugging.
  post(deviceUsbDetached());
  post(deviceDisconnected());
  platform::drainMainQueue();
  EXPECT_EQ(model_->deviceStatus.get(), DeviceStatus::Detached);
  EXPECT_FALSE(window_->minimised());

  // The other order ends the same way.
  postAndSettle(deviceUsbAttached(), DeviceStatus::Attached);
  postAndSettle(deviceUsbStreaming(), DeviceStatus::Connected);
  post(deviceDisconnected());
  post(deviceUsbDetached());
  platform::drainMainQueue();
  EXPECT_EQ(model_->deviceStatus.get(), DeviceStatus::Detached);

  // A device plugged in again is attached again.
  postAndSettle(deviceUsbAttached(), DeviceStatus::Attached);
}

TEST_F(StartingScreenViewModelTest, EveryChangeIsAnnouncedBeforeItHappens) {
  std::vector<DeviceStatus> seenBefore;
  auto subscription = model_->objectWillChange().subscribe(
      [&] { seenBefore.push_back(model_->deviceStatus.get()); });
  postAndSettle(deviceUsbAttached(), DeviceStatus::Attached);
  postAndSettle(deviceUsbStreaming(), DeviceStatus::Connected);
  EXPECT_EQ(seenBefore,
            (std::vector<DeviceStatus>{DeviceStatus::Detached, DeviceStatus::Attached}));
}

TEST_F(StartingScreenViewModelTest, WithoutAWindowOnlyTheStateChanges) {
  model_.reset();
  model_ = make(nullptr);
  EXPECT_EQ(model_->windowControl(), nullptr);
  // The window actions of these changes have no window to go to: the state still follows.
  postAndSettle(deviceUsbAttached(), DeviceStatus::Attached);
  postAndSettle(deviceUsbStreaming(), DeviceStatus::Connected);
  postAndSettle(deviceDisconnected(), DeviceStatus::Attached);
  postAndSettle(deviceUsbDetached(), DeviceStatus::Detached);
}

TEST_F(StartingScreenViewModelTest, KeepsTheLatestDescription) {
  auto first = device("Tablet", 1024, 768);
  auto second = device("Tablet", 2048, 1536);
  auto center = platform::NotificationCenter::defaultCenter();
  center->post(streamingMagicPacket(), first);
  // Taken on the posting thread, at once.
  EXPECT_EQ(model_->magicPacket(), first);
  center->post(streamingMagicPacket(), std::make_shared<const int>(7));  // not a description
  center->post(streamingMagicPacket());
  EXPECT_EQ(model_->magicPacket(), first);
  center->post(streamingMagicPacket(), second);
  EXPECT_EQ(model_->magicPacket(), second);
  post(deviceDisconnected());
  platform::drainMainQueue();
  EXPECT_EQ(model_->magicPacket(), second);  // kept after the channel ends
}

// A description no display can be made for leaves the tablet connected: the reason is
// published for the starting screen until the state next changes.
TEST_F(StartingScreenViewModelTest, ARefusedDescriptionIsPublishedUntilTheStateChanges) {
  struct Row {
    const char* name;
    const char* clearedBy;
    DeviceStatus after;
  };
  for (const Row& row : {Row{"channel ended", "com.device.disconnected", DeviceStatus::Attached},
                         Row{"unplugged", "com.deviceUsb.detached", DeviceStatus::Detached}}) {
    SCOPED_TRACE(row.name);
    postAndSettle(deviceUsbAttached(), DeviceStatus::Attached);
    platform::NotificationCenter::defaultCenter()->post(deviceConnected(),
                                                        device("Tablet", 10, 10));
    ASSERT_TRUE(platform::runMainUntil([&] { return model_->displayFailure.get().has_value(); }));
    EXPECT_EQ(*model_->displayFailure.get(),
              "a screen of 10x10 pixels is outside 1x21 to 16384x16384");
    EXPECT_EQ(model_->deviceStatus.get(), DeviceStatus::Attached);
    postAndSettle(row.clearedBy, row.after);
    EXPECT_EQ(model_->displayFailure.get(), std::nullopt);
  }
}

TEST(FrameSendFailureLine, SaysWhatFailedAndNothingForTheChannelsNormalEnd) {
  struct Row {
    std::error_code error;
    std::optional<std::string> line;
  };
  const Row rows[] = {
      {{}, std::nullopt},
      {platform::posixError(ECANCELED), std::nullopt},
      {platform::posixError(EPIPE), "Sending a frame to the tablet failed: Broken pipe"},
      {platform::posixError(ECONNRESET),
       "Sending a frame to the tablet failed: Connection reset by peer"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(frameSendFailureLine(row.error), row.line) << row.error.message();
  }
}

TEST_F(StartingScreenViewModelTest, FramesBeforeADescriptionAreDroppedSilently) {
  platform::LogCapture log;
  model_->handleCapturedBuffer(road::solidSample(320, 480, 0xFF0000));
  platform::drainMainQueue();
  EXPECT_EQ(model_->frameStatistics().captured, 0u);
  EXPECT_EQ(log.text(), "");
}

TEST_F(StartingScreenViewModelTest, AFrameWithoutAChannelIsEncodedAndDropped) {
  platform::NotificationCenter::defaultCenter()->post(streamingMagicPacket(),
                                                      device("Tablet", 320, 480));
  platform::LogCapture log;
  model_->handleCapturedBuffer(road::solidSample(320, 480, 0xFF0000));
  ASSERT_TRUE(platform::runMainUntil([&] { return model_->frameStatistics().unsent == 1; }));
  const auto statistics = model_->frameStatistics();
  EXPECT_EQ(statistics.captured, 1u);
  EXPECT_EQ(statistics.sent, 0u);
  // The size line, and nothing about the missing channel.
  const std::string lines = log.text();
  EXPECT_TRUE(lines.starts_with("size of image in KB: ")) << lines;
  EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 1) << lines;
}

TEST_F(StartingScreenViewModelTest, DestroyingItStopsTheWholeEngine) {
  std::weak_ptr<Tetherable> channel = model_->peerConnector();
  std::weak_ptr<VirtualScreen> screens = model_->virtualScreen();
  std::weak_ptr<ScreenCapture> capture = model_->screenCapture();
  std::weak_ptr<StartingScreenViewModel> weak = model_;
  model_.reset();
  EXPECT_TRUE(weak.expired());
  // A connection attempt finishing on the channel's thread may hold the channel for a moment,
  // never for good.
  EXPECT_TRUE(platform::runMainUntil(
      [&] { return channel.expired() && screens.expired() && capture.expired(); }));

  // Its observers went with it.
  post(deviceUsbAttached());
  post(deviceUsbStreaming());
  platform::drainMainQueue();
  EXPECT_TRUE(window_->calls().empty());

  // Showing the starting screen again makes one new engine.
  model_ = make(window_);
  postAndSettle(deviceUsbAttached(), DeviceStatus::Attached);
  EXPECT_EQ(window_->calls(), std::vector<std::string>{"restore"});
}

TEST_F(StartingScreenViewModelTest, TheDescriptionIsSwappedWhileFramesReadIt) {
  platform::LogCapture quiet;  // one size line per frame that got through
  auto small = device("Small", 320, 480);
  auto other = device("Other", 320, 480);
  auto center = platform::NotificationCenter::defaultCenter();
  center->post(streamingMagicPacket(), small);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop; ++i)
      center->post(streamingMagicPacket(), i % 2 ? small : other);
  });
  auto sample = road::solidSample(16, 16, 0x00FF00);
  for (int i = 0; i < 2000; ++i) {
    auto packet = model_->magicPacket();
    EXPECT_TRUE(packet == small || packet == other);
    model_->handleCapturedBuffer(sample);
  }
  stop = true;
  writer.join();
  EXPECT_EQ(model_->frameStatistics().captured, 2000u);
}

}  // namespace
}  // namespace streaming
