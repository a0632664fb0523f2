#include "streaming/tether/support/notification_recorder.h"

#include "streaming/notification_names.h"

namespace streaming::fakes {

NotificationRecorder::NotificationRecorder() {
  auto center = platform::NotificationCenter::defaultCenter();
  for (const auto* name : {&deviceUsbAttached(), &deviceUsbDetached(), &deviceConnected(),
                           &streamingMagicPacket(), &deviceUsbStreaming(), &deviceDisconnected()}) {
    tokens_.push_back(center->addObserver(*name, [this](const platform::Notification& n) {
      entries_.add({n.name, n.objectAs<const MagicPacket>()});
    }));
  }
}

std::vector<NotificationRecorder::Entry> NotificationRecorder::entries() const {
  return entries_.entries();
}

std::vector<std::string> NotificationRecorder::names() const {
  std::vector<std::string> names;
  for (const auto& entry : entries_.entries())
    names.push_back(entry.name);
  return names;
}

int NotificationRecorder::count(const std::string& name) const {
  int n = 0;
  for (const auto& entry : entries_.entries())
    n += entry.name == name ? 1 : 0;
  return n;
}

}  // namespace streaming::fakes
