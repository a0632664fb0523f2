#pragma once

#include <cstdint>
#include <optional>

#include "platform/foundation/date.h"
#include "platform/time/locale.h"
#include "platform/time/time_zone.h"

namespace testing_dates {

// Days since 1970-01-01 of a proleptic Gregorian date, computed independently of ICU so that
// expectations do not come from the code under test.
constexpr std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// The instant of a wall-clock time at a fixed offset from UTC (seconds east).
constexpr platform::Date at(std::int64_t y, unsigned m, unsigned d, int hour = 0, int minute = 0,
                            double second = 0, int offsetSeconds = 0) {
  double since1970 = static_cast<double>(daysFromCivil(y, m, d)) * 86400.0 + hour * 3600.0 +
                     minute * 60.0 + second - offsetSeconds;
  return platform::Date::fromTimeIntervalSince1970(since1970);
}

inline platform::TimeZone zone(const char* identifier) {
  return *platform::TimeZone::withIdentifier(identifier);
}

// Pins the user's locale and zone for one test and restores what was there.
class PinnedSettings {
 public:
  PinnedSettings(const char* locale, const char* zoneIdentifier) {
    platform::Locale::setCurrent(platform::Locale(locale));
    platform::TimeZone::setCurrent(zone(zoneIdentifier));
  }
  ~PinnedSettings() {
    platform::Locale::setCurrent(std::nullopt);
    platform::TimeZone::setCurrent(std::nullopt);
  }
  PinnedSettings(const PinnedSettings&) = delete;
  PinnedSettings& operator=(const PinnedSettings&) = delete;
};

}  // namespace testing_dates
