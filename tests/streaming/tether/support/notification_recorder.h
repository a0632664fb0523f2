#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/notification_center.h"
#include "streaming/magic_packet.h"

namespace streaming::fakes {

// Records the engine's six notifications on the default centre while it lives.
class NotificationRecorder {
 public:
  struct Entry {
    std::string name;
    std::shared_ptr<const MagicPacket> packet;
  };

  NotificationRecorder();

  std::vector<Entry> entries() const;
  std::vector<std::string> names() const;
  int count(const std::string& name) const;

 private:
  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
  std::vector<platform::ObserverToken> tokens_;
};

}  // namespace streaming::fakes
