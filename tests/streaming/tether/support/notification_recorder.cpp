#include "streaming/tether/support/notification_recorder.h"

#include "streaming/notification_names.h"

namespace streaming::fakes {

NotificationRecorder::NotificationRecorder() {
  auto center = platform::NotificationCenter::defaultCenter();
  for (const auto* name : {&deviceUsbAttached(), &deviceUsbDetached(), &deviceConnected(),
                           &streamingMagicPacket(), &deviceUsbStreaming(), &deviceDisconnected()}) {
    tokens_.push_back(center->addObserver(*name, [this](const platform::Notification& n) {
      std::lock_guard lock(mutex_);
      entries_.push_back({n.name, n.objectAs<const MagicPacket>()});
    }));
  }
}

std::vector<NotificationRecorder::Entry> NotificationRecorder::entries() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

std::vector<std::string> NotificationRecorder::names() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> names;
  for (const auto& entry : entries_)
    names.push_back(entry.name);
  return names;
}

int NotificationRecorder::count(const std::string& name) const {
  std::lock_guard lock(mutex_);
  int n = 0;
  for (const auto& entry : entries_)
    n += entry.name == name ? 1 : 0;
  return n;
}

}  // namespace streaming::fakes
