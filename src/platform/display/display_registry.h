#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/display/display_types.h"

namespace platform {

// What this process knows about a virtual display it made, beyond what the X server says:
// the point size of a hiDPI mode, and everything about displays that have an Xvfb server of
// their own (the main server does not know them).
struct OwnDisplayRecord {
  DisplayID id = kNullDisplayID;
  // The X server the display lives on.
  std::string xDisplay;
  // True when the display is the whole screen of its own server; false for a RandR monitor.
  bool wholeScreen = false;
  std::string name;
  std::uint32_t pixelWidth = 0, pixelHeight = 0;
  std::uint32_t pointWidth = 0, pointHeight = 0;
  double widthInMillimeters = 0, heightInMillimeters = 0;
};

class DisplayRegistry {
 public:
  static DisplayRegistry& shared();

  // Identifiers of displays with a server of their own. RandR monitors are known by their
  // name atom, which X keeps below 2^29, so the two never meet.
  DisplayID nextWholeScreenID();

  void add(OwnDisplayRecord record);
  void remove(DisplayID id, const std::string& xDisplay);
  std::optional<OwnDisplayRecord> find(DisplayID id, const std::string& xDisplay) const;
  // The displays with a server of their own, in the order they were made.
  std::vector<OwnDisplayRecord> wholeScreenDisplays() const;

 private:
  mutable std::mutex mutex_;
  std::vector<OwnDisplayRecord> records_;
  std::uint32_t nextWholeScreen_ = 1;
};

}  // namespace platform
