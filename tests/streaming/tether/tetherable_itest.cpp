#include <gtest/gtest.h>

#include <algorithm>

#include "platform/dispatch/main_queue.h"
#include "platform/foundation/log.h"
#include "platform/tether/support/fake_usbmuxd.h"
#include "streaming/notification_names.h"
#include "streaming/tether/support/device_peer.h"
#include "streaming/tether/support/notification_recorder.h"
#include "streaming/tether/support/tether_test_support.h"
#include "streaming/tetherable.h"
#include "support/recorder.h"

namespace streaming {
namespace {

using fakes::DevicePeer;
using fakes::NotificationRecorder;
using fakes::ReservedPort;
using fakes::textBytes;
using fakes::waitUntil;
using fakes::xmlDescription;

constexpr double kDelay = 0.05;

// The USB road: the hub hears of devices from a fake multiplexer daemon, whose tunnels lead to
// device peers on loopback ports.
class TetherableUSBTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    daemon_ = new platform::fakes::FakeUsbmuxd();
    daemon_->exportAddress();
    hub_ = new std::shared_ptr<platform::TLUSBHub>(platform::TLUSBHub::make());
    ASSERT_FALSE((*hub_)->listen());
    ASSERT_TRUE(waitUntil([] { return daemon_->listenerCount() == 1; }));
  }

  static void TearDownTestSuite() {
    delete hub_;
    delete daemon_;
  }

  void TearDown() override {
    tetherable.reset();
    platform::drainMainQueue();
  }

  static std::shared_ptr<platform::TLUSBHub> hub() { return *hub_; }

  static platform::TLData description(const std::string& name) {
    return platform::encodeWireFrame(105, 0, xmlDescription(name, 1024, 768, 132));
  }

  std::optional<std::int64_t> channelDevice() const {
    auto channel = tetherable->connectedChannel();
    if (!channel) return std::nullopt;
    auto info = channel->userInfo();
    if (auto* id = std::any_cast<std::int64_t>(&info)) return *id;
    return std::nullopt;
  }

  static platform::fakes::FakeUsbmuxd* daemon_;
  static std::shared_ptr<platform::TLUSBHub>* hub_;
  NotificationRecorder recorder;
  platform::LogCapture log;
  std::shared_ptr<Tetherable> tetherable;
};

platform::fakes::FakeUsbmuxd* TetherableUSBTest::daemon_ = nullptr;
std::shared_ptr<platform::TLUSBHub>* TetherableUSBTest::hub_ = nullptr;

TEST_F(TetherableUSBTest, FromAttachThroughTheDescriptionToDetach) {
  ReservedPort loopback;  // nothing answers on loopback
  DevicePeer device;
  device.setGreeting({description("Tablet")});
  device.setAnswerPings(true);
  daemon_->route(5, loopback.port, device.port());
  tetherable = Tetherable::make(loopback.port, kDelay, hub());
  testsupport::Recorder<Tetherable::KeyValueChange> changes;
  auto subscription =
      tetherable->connectedDeviceIDChanges().subscribe([&](auto change) { changes.add(change); });

  daemon_->attach(5, "SERIAL-5");
  ASSERT_TRUE(waitUntil([&] { return recorder.count(deviceConnected()) == 1; }));
  EXPECT_EQ(recorder.names().front(), deviceUsbAttached());
  EXPECT_EQ(tetherable->connectedDeviceID(), 5);
  EXPECT_EQ(channelDevice(), 5);
  ASSERT_TRUE(tetherable->connectedDeviceProperties());
  EXPECT_EQ(tetherable->connectedDeviceProperties()->at("SerialNumber"),
            platform::Value("SERIAL-5"));
  const auto packet = recorder.entries().back().packet;
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->deviceName(), "Tablet");
  EXPECT_EQ(packet->width(), 1024);
  EXPECT_EQ(packet->height(), 768);
  EXPECT_EQ(packet->ppi(), 132);
  EXPECT_EQ(changes.entries(), (std::vector{Tetherable::KeyValueChange::willChange,
                                            Tetherable::KeyValueChange::didChange}));
  EXPECT_TRUE(log.contains("TLUSBDeviceDidAttachNotification: 5\n"));
  // Pings travel through the tunnel and come back.
  ASSERT_TRUE(waitUntil([&] { return log.contains("Ping total roundtrip time: "); }));

  daemon_->detach(5);
  ASSERT_TRUE(waitUntil([&] {
    return recorder.count(deviceDisconnected()) == 1 && recorder.count(deviceUsbDetached()) == 1;
  }));
  EXPECT_TRUE(log.contains("TLUSBDeviceDidDetachNotification: 5\n"));
  EXPECT_TRUE(log.contains("Disconnected from 5\n"));
  EXPECT_FALSE(tetherable->connectingToDeviceID());
  EXPECT_EQ(tetherable->connectedChannel(), nullptr);
  // We closed it ourselves, without an error: the device id stays.
  EXPECT_EQ(tetherable->connectedDeviceID(), 5);
}

TEST_F(TetherableUSBTest, OnlyAnEndWithAnErrorForgetsTheConnectedDevice) {
  ReservedPort loopback;
  ReservedPort closedApp;
  DevicePeer device;
  daemon_->route(6, loopback.port, device.port());
  daemon_->route(7, loopback.port, device.port());
  tetherable = Tetherable::make(loopback.port, kDelay, hub());

  daemon_->attach(6);
  ASSERT_TRUE(waitUntil([&] { return tetherable->connectedDeviceID() == 6; }));
  ASSERT_TRUE(waitUntil([&] { return device.openCount() == 1; }));
  daemon_->route(6, loopback.port, closedApp.port);  // its app is not to answer again
  device.sendRaw(textBytes("garbage, not a frame header"));
  ASSERT_TRUE(waitUntil([&] { return recorder.count(deviceDisconnected()) == 1; }));
  EXPECT_TRUE(log.contains("Disconnected from device\n"));
  EXPECT_FALSE(tetherable->connectedDeviceID());
  daemon_->detach(6);

  daemon_->attach(7);
  ASSERT_TRUE(waitUntil([&] { return tetherable->connectedDeviceID() == 7; }));
  ASSERT_TRUE(waitUntil([&] { return device.openCount() == 1; }));
  daemon_->route(7, loopback.port, closedApp.port);
  device.closeNewest();  // a clean end
  ASSERT_TRUE(waitUntil([&] { return recorder.count(deviceDisconnected()) == 2; }));
  EXPECT_EQ(tetherable->connectedDeviceID(), 7);
  EXPECT_EQ(tetherable->connectedChannel(), nullptr);
  daemon_->detach(7);
}

TEST_F(TetherableUSBTest, USBTakesOverFromLoopbackAndLoopbackNeverDisplacesIt) {
  DevicePeer loopbackPeer;
  DevicePeer device;
  daemon_->route(8, loopbackPeer.port(), device.port());
  tetherable = Tetherable::make(loopbackPeer.port(), kDelay, hub());
  ASSERT_TRUE(waitUntil([&] { return tetherable->connectedChannel() != nullptr; }));
  ASSERT_TRUE(waitUntil([&] { return loopbackPeer.acceptedCount() == 1; }));

  daemon_->attach(8);
  ASSERT_TRUE(waitUntil([&] { return channelDevice() == 8; }));
  // The loopback peer's session ends as if it had hung up, so its display goes with it.
  ASSERT_TRUE(waitUntil([&] { return recorder.count(deviceDisconnected()) == 1; }));
  EXPECT_TRUE(log.contains("Disconnected from 127.0.0.1:"));
  // The replaced loopback channel is closed, not leaked.
  ASSERT_TRUE(waitUntil([&] { return loopbackPeer.openCount() == 0; }));
  // Five pings on the device span five loopback retry periods.
  ASSERT_TRUE(waitUntil([&] { return device.pingCount() >= 5; }));
  EXPECT_EQ(loopbackPeer.acceptedCount(), 1);
  EXPECT_EQ(channelDevice(), 8);
  daemon_->detach(8);
}

TEST_F(TetherableUSBTest, RetriesUntilTheDeviceAnswersAndFollowsANewDevice) {
  ReservedPort loopback;
  DevicePeer first;
  DevicePeer second;
  tetherable = Tetherable::make(loopback.port, kDelay, hub());
  const auto attemptsFor = [&](std::uint32_t id) {
    int n = 0;
    for (const auto& request : daemon_->connectRequests())
      n += request.deviceID == id ? 1 : 0;
    return n;
  };

  daemon_->attach(9);  // its port does not answer yet
  ASSERT_TRUE(waitUntil([&] { return attemptsFor(9) >= 3; }));
  EXPECT_EQ(tetherable->connectedChannel(), nullptr);
  EXPECT_FALSE(log.contains("Failed"));
  daemon_->route(9, loopback.port, first.port());
  ASSERT_TRUE(waitUntil([&] { return channelDevice() == 9; }));

  // Another device: the current channel is closed and the new device connected.
  daemon_->route(10, loopback.port, second.port());
  daemon_->attach(10);
  ASSERT_TRUE(waitUntil([&] { return channelDevice() == 10; }));
  // The first device's session ends before the second one's begins.
  ASSERT_TRUE(waitUntil([&] { return recorder.count(deviceDisconnected()) == 1; }));
  const auto names = recorder.names();
  const auto ended = std::find(names.begin(), names.end(), deviceDisconnected());
  EXPECT_EQ(std::count(ended, names.end(), deviceUsbAttached()), 1);
  EXPECT_TRUE(log.contains("Disconnected from 9\n"));
  ASSERT_TRUE(waitUntil([&] { return first.openCount() == 0; }));
  EXPECT_EQ(tetherable->connectingToDeviceID(), 10);
  EXPECT_EQ(tetherable->connectedDeviceID(), 10);
  daemon_->detach(9);
  daemon_->detach(10);
}

// The companion app on a tablet that stays plugged in crashes (its channel ends with an error)
// or is quit (it closes its end cleanly) and listens again later: it is tried every second, on
// the main queue's clock, until it answers, unless it is unplugged first.
TEST_F(TetherableUSBTest, ATabletLeftPluggedInIsTriedUntilItsAppListensAgain) {
  struct Row {
    const char* name;
    std::uint32_t device;
    bool cleanEnd;
    bool unplugged;
  };
  for (const Row& row :
       {Row{"crashedStillAttached", 11, false, false}, Row{"crashedUnplugged", 12, false, true},
        Row{"quitStillAttached", 13, true, false}, Row{"quitUnplugged", 14, true, true}}) {
    SCOPED_TRACE(row.name);
    platform::VirtualMainClock clock;
    NotificationRecorder sessions;
    ReservedPort loopback;
    ReservedPort closedApp;  // the tablet's port while its app is not running
    DevicePeer device;
    device.setGreeting({description("Tablet")});
    daemon_->route(row.device, loopback.port, device.port());
    tetherable = Tetherable::make(loopback.port, Tetherable::kDefaultRetryDelay, hub());
    const auto attempts = [&] {
      int n = 0;
      for (const auto& request : daemon_->connectRequests())
        n += request.deviceID == row.device ? 1 : 0;
      return n;
    };

    daemon_->attach(row.device);
    ASSERT_TRUE(waitUntil([&] { return sessions.count(deviceConnected()) == 1; }));
    daemon_->route(row.device, loopback.port, closedApp.port);
    if (row.cleanEnd) {
      device.closeNewest();
    } else {
      device.sendRaw(textBytes("garbage, not a frame header"));
    }
    ASSERT_TRUE(waitUntil([&] { return sessions.count(deviceDisconnected()) == 1; }));
    // Only an end with an error forgets the device.
    EXPECT_EQ(tetherable->connectedDeviceID().has_value(), row.cleanEnd);
    if (row.unplugged) {
      daemon_->detach(row.device);
      ASSERT_TRUE(waitUntil([&] { return !tetherable->connectingToDeviceID(); }));
    }

    // The app is still closed: each virtual second brings one more refused attempt.
    const int before = attempts();
    bool retried = false;
    for (int second = 0; second < 5 && !retried; ++second) {
      clock.advance(Tetherable::kDefaultRetryDelay);
      retried = waitUntil([&] { return attempts() > before; }, row.unplugged ? 0.2 : 5);
    }
    EXPECT_EQ(retried, !row.unplugged);
    if (row.unplugged) {
      EXPECT_EQ(attempts(), before);
      tetherable.reset();
      platform::drainMainQueue();
      continue;
    }

    // The app listens again: a new channel within a few virtual seconds, and one session.
    daemon_->route(row.device, loopback.port, device.port());
    bool reconnected = false;
    for (int second = 0; second < 5 && !reconnected; ++second) {
      clock.advance(Tetherable::kDefaultRetryDelay);
      reconnected = waitUntil([&] { return sessions.count(deviceConnected()) == 2; }, 5);
    }
    ASSERT_TRUE(reconnected);
    EXPECT_EQ(channelDevice(), row.device);
    EXPECT_EQ(tetherable->connectedDeviceID(), row.device);
    EXPECT_EQ(device.openCount(), 1);
    EXPECT_EQ(sessions.count(deviceDisconnected()), 1);
    daemon_->detach(row.device);
    ASSERT_TRUE(waitUntil([&] { return sessions.count(deviceUsbDetached()) == 1; }));
    tetherable.reset();
    platform::drainMainQueue();
  }
}

}  // namespace
}  // namespace streaming
