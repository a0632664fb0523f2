#pragma once

#include <optional>
#include <string>

#include "almanac/almanac.h"
#include "almanac/region.h"
#include "platform/foundation/date.h"
#include "platform/time/calendar.h"
#include "platform/time/locale.h"
#include "platform/time/support/dates.h"
#include "platform/time/time_zone.h"

namespace almanac_testing {

// Puts the default region back as it was, whatever a test did to it.
class DefaultRegionGuard {
 public:
  DefaultRegionGuard() : saved_(almanac::Almanac::defaultRegion()) {}
  ~DefaultRegionGuard() { almanac::Almanac::setDefaultRegion(saved_); }
  DefaultRegionGuard(const DefaultRegionGuard&) = delete;
  DefaultRegionGuard& operator=(const DefaultRegionGuard&) = delete;

 private:
  almanac::Region saved_;
};

// Stops the clock at one instant for as long as it lives.
class FrozenClock {
 public:
  explicit FrozenClock(platform::Date now)
      : previous_(platform::setDateClock([now] { return now; })) {}
  ~FrozenClock() { platform::setDateClock(previous_); }
  FrozenClock(const FrozenClock&) = delete;
  FrozenClock& operator=(const FrozenClock&) = delete;

 private:
  platform::DateClock previous_;
};

// A region of a calendar system in a zone and a locale, all named explicitly.
inline almanac::Region region(
    const char* zoneIdentifier, const char* locale = "en_US",
    platform::Calendar::Identifier calendar = platform::Calendar::Identifier::gregorian) {
  return almanac::Region(platform::Calendar(calendar), testing_dates::zone(zoneIdentifier),
                         platform::Locale(locale));
}

// A region at a fixed offset from GMT, in seconds east.
inline almanac::Region fixedOffsetRegion(int secondsFromGMT, const char* locale = "en_US") {
  return almanac::Region(platform::Calendar(platform::Calendar::Identifier::gregorian),
                         *platform::TimeZone::withSecondsFromGMT(secondsFromGMT),
                         platform::Locale(locale));
}

}  // namespace almanac_testing
