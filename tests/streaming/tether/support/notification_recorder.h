#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/notification_center.h"
#include "streaming/magic_packet.h"
#include "support/recorder.h"

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
  testsupport::Recorder<Entry> entries_;
  std::vector<platform::ObserverToken> tokens_;
};

}  // namespace streaming::fakes
