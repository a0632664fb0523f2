#pragma once

#include <functional>
#include <string>
#include <vector>

#include "almanac/region.h"

namespace almanac {

// The library's process-wide settings: the default region, in which every operation without a
// region of its own works, and the automatic date formats (one list with `DateFormats`).
//
// Both are made on first use, exactly once even when threads arrive together. Reads take a
// snapshot and writes replace the whole value atomically, so a reader never sees a value being
// replaced; `modify...` applies its change to the latest value and retries if another writer got
// there first, so no change is lost (the change may therefore run more than once).
struct Almanac {
  // The user's current calendar system and locale (both followed as they change), in GMT.
  static Region defaultRegion();
  static void setDefaultRegion(Region region);
  static void modifyDefaultRegion(const std::function<void(Region&)>& change);

  static std::vector<std::string> autoFormats();
  static void setAutoFormats(std::vector<std::string> formats);
  static void modifyAutoFormats(const std::function<void(std::vector<std::string>&)>& change);
  static void resetAutoFormats();
};

}  // namespace almanac
