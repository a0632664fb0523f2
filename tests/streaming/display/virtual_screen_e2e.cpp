#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/dispatch/main_queue.h"
#include "platform/display/display_queries.h"
#include "platform/display/screen_parameters.h"
#include "platform/display/support/x_test_server.h"
#include "platform/foundation/log.h"
#include "platform/foundation/notification_center.h"
#include "streaming/magic_packet.h"
#include "streaming/notification_names.h"
#include "streaming/screen_capture.h"
#include "streaming/virtual_screen.h"
#include "support/recorder.h"

namespace {

using platform::Value;
using platform::VirtualDisplayBackendKind;
using testing_display::kBaseHeight;
using testing_display::kBaseWidth;

std::shared_ptr<const streaming::MagicPacket> packet(Value name, Value width, Value height,
                                                     std::optional<Value> ppi) {
  Value::Dictionary dictionary{
      {"name", std::move(name)},
      {"screenSize",
       Value(Value::Dictionary{{"Width", std::move(width)}, {"Height", std::move(height)}})}};
  if (ppi) dictionary["ppi"] = *ppi;
  return streaming::MagicPacket::make(dictionary);
}

std::shared_ptr<const streaming::MagicPacket> device(const std::string& name, int width, int height,
                                                     int ppi = 132) {
  return packet(Value(name), Value(width), Value(height), Value(ppi));
}

// Counts the engine's notifications and what the manager hands to the capture.
class VirtualScreenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing_display::TestXServer::available()) GTEST_SKIP() << "Xvfb is not installed";
    server_.start(backend());
    auto center = platform::NotificationCenter::defaultCenter();
    tokens_.push_back(center->addObserver(
        streaming::streamingMagicPacket(), [this](const platform::Notification& notification) {
          std::lock_guard lock(mutex_);
          announced_.push_back(notification.objectAs<const streaming::MagicPacket>());
          // The record is announced before its display exists.
          displaysWhenAnnounced_.push_back(screen_ ? screen_->virtualDisplays().size() : 0);
        }));
    tokens_.push_back(center->addObserver(streaming::deviceUsbStreaming(),
                                          [this](const platform::Notification&) { ++streaming_; }));
    screen_ = streaming::VirtualScreen::make();
    screen_->setScreenId([this](std::uint32_t id) { captureRequests_.add(id); });
  }

  void TearDown() override {
    tokens_.clear();
    screen_.reset();
    server_.stop();
  }

  virtual VirtualDisplayBackendKind backend() const {
    return VirtualDisplayBackendKind::randrMonitor;
  }

  void connect(const std::shared_ptr<const streaming::MagicPacket>& description) {
    platform::NotificationCenter::defaultCenter()->post(streaming::deviceConnected(), description);
    screen_->flushPendingWork();
  }
  // As the channel's thread delivers a description: without waiting for its display.
  void post(const std::shared_ptr<const streaming::MagicPacket>& description) {
    platform::NotificationCenter::defaultCenter()->post(streaming::deviceConnected(), description);
  }
  void disconnect() {
    platform::NotificationCenter::defaultCenter()->post(streaming::deviceDisconnected());
    screen_->flushPendingWork();
  }

  std::vector<std::uint32_t> captureRequests() { return captureRequests_.entries(); }
  std::size_t announcedCount() {
    std::lock_guard lock(mutex_);
    return announced_.size();
  }

  testing_display::TestXServer server_;
  std::shared_ptr<streaming::VirtualScreen> screen_;
  std::vector<platform::ObserverToken> tokens_;
  std::mutex mutex_;
  std::vector<std::shared_ptr<const streaming::MagicPacket>> announced_;
  std::vector<std::size_t> displaysWhenAnnounced_;
  testsupport::Recorder<std::uint32_t> captureRequests_;
  std::atomic<int> streaming_{0};
};

TEST_F(VirtualScreenTest, ADescriptionBecomesADisplayWhoseCaptureIsRequestedOnce) {
  auto description = device("iPad", 1024, 768, 132);
  connect(description);

  ASSERT_EQ(announcedCount(), 1u);
  EXPECT_EQ(announced_[0], description);
  EXPECT_EQ(displaysWhenAnnounced_[0], 0u);
  auto displays = screen_->virtualDisplays();
  ASSERT_EQ(displays.size(), 1u);
  EXPECT_EQ(displays.at(0).number, 0);
  EXPECT_EQ(screen_->virtualDisplayCounter(), 1);
  const platform::DisplayID id = displays.at(0).display->displayID();
  EXPECT_EQ(platform::displayName(id), "Tovarine iPad");
  auto mode = platform::copyDisplayMode(id);
  ASSERT_TRUE(mode);
  EXPECT_EQ(mode->pixelWidth, 1024u);
  EXPECT_EQ(mode->pixelHeight, 768u);
  EXPECT_EQ(platform::displayScreenSize(id), (platform::DisplaySize{197, 148}));

  // The screen-parameter change the display caused hands it to the capture, once.
  ASSERT_TRUE(platform::runMainUntil([&] { return streaming_ > 0; }, 10));
  EXPECT_EQ(captureRequests(), std::vector<std::uint32_t>{id});
  EXPECT_FALSE(screen_->screenIdentifier());
  ASSERT_TRUE(server_.addMonitor("Unrelated", 0, 0, 10, 10, 3, 3));
  std::atomic<bool> changed{false};
  auto token = platform::NotificationCenter::defaultCenter()->addObserver(
      platform::kScreenParametersDidChangeNotification,
      [&](const platform::Notification&) { changed = true; });
  ASSERT_TRUE(platform::runMainUntil([&] { return changed.load(); }, 10));
  EXPECT_EQ(captureRequests().size(), 1u);
  EXPECT_EQ(streaming_, 1);
}

TEST_F(VirtualScreenTest, IncompleteDescriptionsAreIgnored) {
  connect(packet(Value("iPad"), Value(1024), Value(768), std::nullopt));  // no ppi
  connect(packet(Value(7), Value(1024), Value(768), Value(132)));         // name not a text
  connect(packet(Value("iPad"), Value(1024.5), Value(768), Value(132)));  // no screen size
  EXPECT_EQ(announcedCount(), 0u);
  EXPECT_TRUE(screen_->virtualDisplays().empty());
  EXPECT_FALSE(screen_->screenIdentifier());
  EXPECT_EQ(server_.screenSize(), std::make_pair(kBaseWidth, kBaseHeight));
}

TEST_F(VirtualScreenTest, ImpossibleScreensAreRefusedWithOneLineNamingTheDevice) {
  struct Case {
    std::shared_ptr<const streaming::MagicPacket> description;
    std::string line;
  };
  const std::string limits = "is outside 1x21 to 16384x16384\n";
  const Case cases[] = {
      {device("Tiny", 0, 768), "\"Tiny\": a screen of 0x768 pixels " + limits},
      {device("Huge", 1024, 16385), "\"Huge\": a screen of 1024x16385 pixels " + limits},
      {device("Negative", -5, 768), "\"Negative\": a screen of -5x768 pixels " + limits},
      // Frames are 20 pixels shorter than the screen: this one could never get one.
      {device("Flat", 1024, 20), "\"Flat\": a screen of 1024x20 pixels " + limits},
      {device("Esc\x1B[2J", 1024, 0), "\"Esc\\u{1B}[2J\": a screen of 1024x0 pixels " + limits},
      // Inside the limits, but more than the X server can grow to: the platform's reason.
      {device("Odd", 8000, 4000), "\"Odd\": The screen of "},
  };
  for (const Case& c : cases) {
    platform::LogCapture log;
    connect(c.description);
    const std::string text = log.text();
    EXPECT_TRUE(text.starts_with("Refused the description of device " + c.line)) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
  }
  EXPECT_EQ(announcedCount(), 1u);  // only the one the platform refused was announced
  EXPECT_TRUE(screen_->virtualDisplays().empty());
  EXPECT_EQ(server_.screenSize(), std::make_pair(kBaseWidth, kBaseHeight));
}

TEST_F(VirtualScreenTest, ABurstOfDescriptionsEndsWithTheNewestDisplayOnly) {
  // The channel's thread only queues descriptions; a burst collapses into the newest.
  for (int i = 0; i < 40; ++i) {
    platform::NotificationCenter::defaultCenter()->post(streaming::deviceConnected(),
                                                        device("Burst", 400 + i, 300));
  }
  screen_->flushPendingWork();
  auto displays = screen_->virtualDisplays();
  ASSERT_EQ(displays.size(), 1u);
  auto mode = platform::copyDisplayMode(displays.begin()->second.display->displayID());
  ASSERT_TRUE(mode);
  EXPECT_EQ(mode->pixelWidth, 439u);
  EXPECT_LT(announcedCount(), 40u);
  EXPECT_EQ(server_.monitors().size(), 2u);
}

// While the builder is busy making a display (held here at its announcement), the session is
// described again, its channel ends and the next session describes itself: at the end only the
// next session's display remains.
TEST_F(VirtualScreenTest, ADescriptionAfterTheEndOfABusySessionGetsItsOwnDisplay) {
  struct Row {
    const char* name;
    int redescriptions;  // descriptions of session one queued behind the busy build
  };
  for (const Row& row :
       {Row{"redescribedTwice", 2}, Row{"redescribedOnce", 1}, Row{"notRedescribed", 0}}) {
    SCOPED_TRACE(row.name);
    connect(device("One", 1024, 768));
    ASSERT_EQ(screen_->virtualDisplays().size(), 1u);

    std::mutex gateMutex;
    std::condition_variable gateChanged;
    bool entered = false;
    bool released = false;
    auto gate = platform::NotificationCenter::defaultCenter()->addObserver(
        streaming::streamingMagicPacket(), [&](const platform::Notification& notification) {
          auto announced = notification.objectAs<const streaming::MagicPacket>();
          if (!announced || announced->width() != 800) return;
          std::unique_lock lock(gateMutex);
          entered = true;
          gateChanged.notify_all();
          gateChanged.wait(lock, [&] { return released; });
        });
    post(device("One", 800, 600));
    {
      std::unique_lock lock(gateMutex);
      ASSERT_TRUE(gateChanged.wait_for(lock, std::chrono::seconds(20), [&] { return entered; }));
    }
    for (int i = 0; i < row.redescriptions; ++i)
      post(device("One", 640 + i, 480));
    platform::NotificationCenter::defaultCenter()->post(streaming::deviceDisconnected());
    post(device("Two", 900, 700));
    {
      std::lock_guard lock(gateMutex);
      released = true;
    }
    gateChanged.notify_all();
    screen_->flushPendingWork();
    gate.remove();

    auto displays = screen_->virtualDisplays();
    ASSERT_EQ(displays.size(), 1u);
    const platform::DisplayID id = displays.begin()->second.display->displayID();
    EXPECT_EQ(platform::displayName(id), "Tovarine Two");
    auto mode = platform::copyDisplayMode(id);
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->pixelWidth, 900u);
    EXPECT_EQ(server_.monitors().size(), 2u);
    displays.clear();
    disconnect();
    ASSERT_TRUE(screen_->virtualDisplays().empty());
  }
}

TEST_F(VirtualScreenTest, ARepeatedDescriptionReplacesTheSessionsDisplay) {
  // Two descriptions before any screen-parameter change: keys 0 and 1, but only the second
  // display remains, and only it is handed to the capture.
  connect(device("iPad", 1024, 768));
  const platform::DisplayID first = screen_->virtualDisplays().at(0).display->displayID();
  connect(device("iPad", 800, 600));
  ASSERT_EQ(announcedCount(), 2u);
  auto displays = screen_->virtualDisplays();
  ASSERT_EQ(displays.size(), 1u);
  ASSERT_EQ(displays.count(1), 1u);
  EXPECT_EQ(displays.at(1).number, 1);
  EXPECT_EQ(screen_->virtualDisplayCounter(), 2);
  const platform::DisplayID second = displays.at(1).display->displayID();
  auto mode = platform::copyDisplayMode(second);
  ASSERT_TRUE(mode);
  EXPECT_EQ(mode->pixelWidth, 800u);
  EXPECT_EQ(server_.screenSize(), std::make_pair(std::uint16_t(kBaseWidth + 800), kBaseHeight));
  EXPECT_EQ(server_.monitors().size(), 2u);
  if (first != second) {
    EXPECT_FALSE(platform::copyDisplayMode(first));
  }
  ASSERT_TRUE(platform::runMainUntil([&] { return streaming_ > 0; }, 10));
  EXPECT_EQ(captureRequests(), std::vector<std::uint32_t>{second});

  // The same description again changes nothing and announces nothing.
  connect(device("iPad", 800, 600));
  EXPECT_EQ(announcedCount(), 2u);
  EXPECT_EQ(screen_->virtualDisplays().at(1).display->displayID(), second);

  // The end of the channel frees every key of the session (once nothing here holds it).
  displays.clear();
  disconnect();
  EXPECT_TRUE(screen_->virtualDisplays().empty());
  EXPECT_EQ(screen_->virtualDisplayCounter(), 0);
  EXPECT_EQ(server_.screenSize(), std::make_pair(kBaseWidth, kBaseHeight));
}

TEST_F(VirtualScreenTest, TheEndOfTheChannelRemovesTheDisplayAndTheCounterStaysAtZero) {
  disconnect();  // before any display
  EXPECT_EQ(screen_->virtualDisplayCounter(), 0);

  connect(device("iPad", 1024, 768));
  ASSERT_EQ(screen_->virtualDisplays().size(), 1u);
  disconnect();
  EXPECT_TRUE(screen_->virtualDisplays().empty());
  EXPECT_EQ(screen_->virtualDisplayCounter(), 0);
  EXPECT_FALSE(screen_->screenIdentifier());
  EXPECT_EQ(server_.screenSize(), std::make_pair(kBaseWidth, kBaseHeight));
  EXPECT_FALSE(server_.monitorNamed("Tovarine iPad"));
  disconnect();
  EXPECT_EQ(screen_->virtualDisplayCounter(), 0);

  // The next session starts at key 0 again, and an identical description is not "repeated".
  connect(device("iPad", 1024, 768));
  EXPECT_EQ(screen_->virtualDisplays().count(0), 1u);
  EXPECT_EQ(announcedCount(), 2u);
}

TEST_F(VirtualScreenTest, ARefusedDisplayLeavesNothingBehind) {
  connect(device("Wide", 16384, 768));  // wider than the test server can grow
  EXPECT_EQ(announcedCount(), 1u);
  EXPECT_TRUE(screen_->virtualDisplays().empty());
  EXPECT_EQ(screen_->virtualDisplayCounter(), 0);
  EXPECT_FALSE(screen_->screenIdentifier());
  EXPECT_EQ(server_.screenSize(), std::make_pair(kBaseWidth, kBaseHeight));
}

TEST_F(VirtualScreenTest, DisplayNamesFromDevicesAreCleanedUp) {
  connect(device("Bad\nName\x01" + std::string(80, 'n'), 320, 240));
  auto displays = screen_->virtualDisplays();
  ASSERT_EQ(displays.size(), 1u);
  EXPECT_EQ(platform::displayName(displays.at(0).display->displayID()),
            "Tovarine BadName" + std::string(48, 'n'));
}

TEST_F(VirtualScreenTest, ADescriptionWithoutADensityGivesADisplayOfUnknownPhysicalSize) {
  connect(device("Flat", 320, 240, 0));
  auto displays = screen_->virtualDisplays();
  ASSERT_EQ(displays.size(), 1u);
  const platform::DisplayID id = displays.at(0).display->displayID();
  EXPECT_EQ(platform::displayScreenSize(id), platform::DisplaySize{});
  auto mode = platform::copyDisplayMode(id);
  ASSERT_TRUE(mode);
  EXPECT_EQ(mode->pixelWidth, 320u);
}

// The active displays are read when the manager is made.
class ActiveDisplaysTest : public VirtualScreenTest {};

TEST_F(ActiveDisplaysTest, RecordsTheFirstFiveWithTheirDensity) {
  ASSERT_TRUE(server_.addMonitor("Left", 0, 0, 640, 400, 0, 0));  // no physical size
  ASSERT_TRUE(server_.addMonitor("Right", 640, 0, 640, 400, 169, 106));
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(server_.addMonitor("More " + std::to_string(i), 0, 400, 100, 100, 26, 26));
  }
  auto screen = streaming::VirtualScreen::make();
  auto displays = screen->activeDisplays();
  ASSERT_EQ(displays.size(), 5u);  // six monitors, five listed
  for (std::size_t i = 0; i < displays.size(); ++i) {
    EXPECT_EQ(displays[i].description, "Display #" + std::to_string(i));
    EXPECT_FALSE(displays[i].hiDPI);
  }
  auto byWidth = [&](std::int32_t width, std::int32_t ppi) {
    return std::count_if(displays.begin(), displays.end(), [&](const streaming::Resolution& r) {
      return r.width == width && r.ppi == ppi;
    });
  };
  EXPECT_EQ(byWidth(640, 0), 1);   // 0 mm gives no density rather than a trap
  EXPECT_EQ(byWidth(640, 96), 1);  // 640 px over 169 mm: 96.19, truncated
}

TEST_F(ActiveDisplaysTest, TheDisplayRecordListsKeysInAscendingOrder) {
  ASSERT_TRUE(server_.addMonitor("Second", 0, 0, 800, 600, 211, 158));
  auto screen = streaming::VirtualScreen::make();
  ASSERT_EQ(screen->activeDisplays().size(), 2u);
  platform::LogCapture log;
  screen->makeTXTRecord(*screen->ns());
  const std::string line = log.text();
  const std::vector<std::string> order = {"Set txtRecord --type=displays,",
                                          "height0=",
                                          "height1=",
                                          "hidpi0=0,",
                                          "hidpi1=0,",
                                          "name0=Display #0,",
                                          "name1=Display #1,",
                                          "ndisplays=2,",
                                          "ppi0=",
                                          "ppi1=",
                                          "width0=",
                                          "width1="};
  std::size_t at = 0;
  for (const auto& part : order) {
    const auto found = line.find(part, at);
    ASSERT_NE(found, std::string::npos) << part << " in " << line;
    at = found + part.size();
  }
}

// The whole road: a description makes a display, the display is captured, changes reach the
// capture closure, and the end of the channel removes the display.
class StreamingRoadTest : public VirtualScreenTest,
                          public ::testing::WithParamInterface<VirtualDisplayBackendKind> {
 protected:
  VirtualDisplayBackendKind backend() const override { return GetParam(); }

  void SetUp() override {
    VirtualScreenTest::SetUp();
    if (IsSkipped()) return;
    capture_ = streaming::ScreenCapture::make();
    capture_->setCapturedBuffer([this](const std::shared_ptr<platform::SampleBuffer>& sample) {
      std::lock_guard lock(mutex_);
      frames_.push_back(sample);
    });
    screen_->setScreenId([capture = capture_](std::uint32_t id) { capture->startCapture(id); });
  }

  void TearDown() override {
    capture_.reset();
    VirtualScreenTest::TearDown();
  }

  std::size_t frameCount() {
    std::lock_guard lock(mutex_);
    return frames_.size();
  }
  std::shared_ptr<platform::SampleBuffer> lastFrame() {
    std::lock_guard lock(mutex_);
    return frames_.back();
  }

  // Draws on whichever server shows the display.
  void fill(platform::DisplayID id, std::int16_t x, std::int16_t y, std::uint32_t rgb) {
    auto location = platform::locateDisplay(id);
    ASSERT_TRUE(location);
    auto connection = platform::x11::Connection::open(location->xDisplay);
    ASSERT_TRUE(connection);
    testing_display::TestXServer::fillRootOn(**connection, std::int16_t(location->x + x),
                                             std::int16_t(location->y + y), 30, 30, rgb);
  }

  static std::uint32_t pixelAt(const platform::PixelBuffer& buffer, int x, int y) {
    const std::uint8_t* p = buffer.baseAddress() + y * buffer.bytesPerRow() + x * 4;
    return std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0];
  }

  std::shared_ptr<streaming::ScreenCapture> capture_;
  std::vector<std::shared_ptr<platform::SampleBuffer>> frames_;
};

TEST_P(StreamingRoadTest, CapturesOnlyChangedFramesAndCleansUpAtTheEnd) {
  connect(device("iPad", 320, 240));
  ASSERT_EQ(screen_->virtualDisplays().size(), 1u);
  const platform::DisplayID id = screen_->virtualDisplays().at(0).display->displayID();
  ASSERT_TRUE(platform::runMainUntil([&] { return frameCount() >= 1; }, 10));
  EXPECT_EQ(streaming_, 1);
  auto first = lastFrame();
  ASSERT_TRUE(first->imageBuffer());
  EXPECT_EQ(first->imageBuffer()->width(), 320u);
  EXPECT_EQ(first->imageBuffer()->height(), 240u);

  // An idle display yields no frame.
  EXPECT_FALSE(platform::runMainUntil([&] { return frameCount() > 1; }, 0.3));

  fill(id, 100, 100, 0xff8000);
  ASSERT_TRUE(platform::runMainUntil(
      [&] {
        return frameCount() >= 2 && pixelAt(*lastFrame()->imageBuffer(), 110, 110) == 0xff8000u;
      },
      10));

  platform::LogCapture log;
  auto location = platform::locateDisplay(id);
  ASSERT_TRUE(location);
  auto shown = platform::x11::Connection::open(location->xDisplay);
  ASSERT_TRUE(shown);
  disconnect();
  EXPECT_TRUE(screen_->virtualDisplays().empty());
  EXPECT_FALSE(platform::copyDisplayMode(id));
  if (GetParam() == VirtualDisplayBackendKind::randrMonitor) {
    EXPECT_EQ(server_.screenSize(), std::make_pair(kBaseWidth, kBaseHeight));
  } else {
    EXPECT_FALSE(testing_display::TestXServer::answers(**shown));
  }
  // The stream of the removed display ends by itself.
  EXPECT_TRUE(platform::runMainUntil([&] { return log.contains("Screen capture stopped: "); }, 10));
}

INSTANTIATE_TEST_SUITE_P(BothBackends, StreamingRoadTest,
                         ::testing::Values(VirtualDisplayBackendKind::randrMonitor,
                                           VirtualDisplayBackendKind::xvfbPerDisplay),
                         [](const auto& info) {
                           return info.param == VirtualDisplayBackendKind::randrMonitor
                                      ? "RandrMonitor"
                                      : "XvfbPerDisplay";
                         });

TEST_F(VirtualScreenTest, AKilledServerEndsTheCaptureButNotTheProcess) {
  auto capture = streaming::ScreenCapture::make();
  std::atomic<int> frames{0};
  capture->setCapturedBuffer([&](const auto&) { ++frames; });
  screen_->setScreenId([capture](std::uint32_t id) { capture->startCapture(id); });
  connect(device("iPad", 320, 240));
  ASSERT_TRUE(platform::runMainUntil([&] { return frames > 0; }, 10));

  platform::LogCapture log;
  server_.server().sendSignal(SIGKILL);
  ASSERT_TRUE(platform::runMainUntil([&] { return log.contains("was lost"); }, 10));
  // The manager still works on; removing the display of a vanished server is harmless.
  disconnect();
  EXPECT_TRUE(screen_->virtualDisplays().empty());
}

}  // namespace
