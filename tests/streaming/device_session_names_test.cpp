#include <gtest/gtest.h>

#include <unordered_set>

#include "platform/foundation/notification_center.h"
#include "streaming/device_status.h"
#include "streaming/magic_packet.h"
#include "streaming/notification_names.h"

namespace streaming {
namespace {

TEST(NotificationNames, AreTheTextsTheEngineAndItsObserversAgreeOn) {
  EXPECT_EQ(deviceUsbAttached(), "com.deviceUsb.attached");
  EXPECT_EQ(deviceUsbDetached(), "com.deviceUsb.detached");
  EXPECT_EQ(deviceConnected(), "com.device.connected");
  EXPECT_EQ(streamingMagicPacket(), "com.streaming.magicpacket");
  EXPECT_EQ(deviceUsbStreaming(), "com.deviceUsb.streaming");
  EXPECT_EQ(deviceDisconnected(), "com.device.disconnected");
  // Built once: every use sees the same object.
  EXPECT_EQ(&deviceConnected(), &deviceConnected());
}

TEST(NotificationNames, CarryTheDescriptionToObserversWithoutAFilter) {
  auto center = platform::NotificationCenter::make();
  std::shared_ptr<const MagicPacket> received;
  int otherPosts = 0;
  auto token = center->addObserver(deviceConnected(), [&](const platform::Notification& n) {
    received = n.objectAs<const MagicPacket>();
  });
  auto other = center->addObserver(deviceDisconnected(),
                                   [&](const platform::Notification&) { ++otherPosts; });

  auto packet = MagicPacket::make({{"name", platform::Value("Pad")}});
  center->post(deviceConnected(), packet);
  center->post(streamingMagicPacket(), packet);
  EXPECT_EQ(received, packet);
  EXPECT_EQ(otherPosts, 0);
  center->post(deviceDisconnected());
  EXPECT_EQ(otherPosts, 1);
}

TEST(DeviceStatus, StartsDetachedAndKeysHashedContainers) {
  EXPECT_EQ(DeviceStatus{}, DeviceStatus::Detached);
  const std::unordered_set<DeviceStatus> all{DeviceStatus::Detached, DeviceStatus::Attached,
                                             DeviceStatus::Connected, DeviceStatus::Attached};
  EXPECT_EQ(all.size(), 3u);
}

}  // namespace
}  // namespace streaming
