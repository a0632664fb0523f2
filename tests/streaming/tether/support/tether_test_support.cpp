#include "streaming/tether/support/tether_test_support.h"

#include <fmt/format.h>

#include "platform/dispatch/main_queue.h"
#include "platform/foundation/notification_center.h"

namespace streaming::fakes {

platform::TLData textBytes(const std::string& text) {
  return platform::TLData(text.begin(), text.end());
}

platform::TLData xmlDescription(const std::string& name, int width, int height, int ppi) {
  return textBytes(fmt::format(
      R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>name</key><string>{}</string>
<key>screenSize</key><dict><key>Width</key><integer>{}</integer><key>Height</key><integer>{}</integer></dict>
<key>ppi</key><integer>{}</integer>
</dict></plist>)",
      name, width, height, ppi));
}

void postAttach(const std::shared_ptr<platform::TLUSBHub>& hub, std::int64_t deviceID,
                platform::Value::Dictionary properties) {
  platform::NotificationCenter::defaultCenter()->post(
      platform::TLUSBDeviceDidAttachNotification, hub,
      {{platform::TLUSBHubNotificationKeyDeviceID, platform::Value(deviceID)},
       {platform::TLUSBHubNotificationKeyProperties, platform::Value(std::move(properties))}});
}

void postDetach(const std::shared_ptr<platform::TLUSBHub>& hub, std::int64_t deviceID) {
  platform::NotificationCenter::defaultCenter()->post(
      platform::TLUSBDeviceDidDetachNotification, hub,
      {{platform::TLUSBHubNotificationKeyDeviceID, platform::Value(deviceID)}});
}

bool waitUntil(const std::function<bool()>& condition, double seconds) {
  return platform::runMainUntil(condition, seconds);
}

}  // namespace streaming::fakes
