// Every zone of the zone table against Python's zoneinfo, which reads the same system database
// (tools/almanac-reference/make_zone_offsets.py wrote the table).

#include <gtest/gtest.h>

#include <string>

#include <fmt/format.h>

#include "platform/time/support/dates.h"
#include "platform/time/time_zone.h"

namespace platform {
namespace {

struct ZoneOffsets {
  const char* zone;
  int offsets[44];
};

#include "platform/time/support/zone_offsets.inc"

TEST(ZoneOffsets, FollowTheSystemDatabaseInEveryZone) {
  ASSERT_GE(std::size(zoneOffsetRows), 400u);
  std::size_t differing = 0;
  std::string report;
  for (const auto& row : zoneOffsetRows) {
    auto zone = TimeZone::withIdentifier(row.zone);
    if (!zone) {
      report += fmt::format("{}: no zone\n", row.zone);
      ++differing;
      continue;
    }
    for (std::size_t i = 0; i < std::size(zoneOffsetInstants); ++i) {
      auto instant = Date::fromTimeIntervalSince1970(static_cast<double>(zoneOffsetInstants[i]));
      int offset = zone->secondsFromGMT(instant);
      if (offset != row.offsets[i] && ++differing <= 40) {
        report += fmt::format("{} at {}: expected {}, got {}\n", row.zone, zoneOffsetInstants[i],
                              row.offsets[i], offset);
      }
    }
  }
  EXPECT_EQ(differing, 0u) << report;
}

// Zones whose rules changed after ICU's own data was made.
TEST(ZoneOffsets, KnowRulesNewerThanIcusData) {
  using testing_dates::at;
  struct Case {
    const char* zone;
    Date instant;
    int offset;
    bool daylight;
  };
  const Case cases[] = {
      {"America/Mexico_City", at(2024, 7, 1, 12), -6 * 3600, false},  // no summer time since 2022
      {"America/Monterrey", at(2024, 7, 1, 12), -6 * 3600, false},
      {"Africa/Cairo", at(2024, 7, 1, 12), 3 * 3600, true},     // summer time again since 2023
      {"America/Nuuk", at(2024, 1, 15, 12), -2 * 3600, false},  // standard time moved in 2023
      {"Europe/Rome", at(2024, 7, 1, 12), 2 * 3600, true},
      {"Asia/Tokyo", at(2024, 7, 1, 12), 9 * 3600, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.zone);
    auto zone = TimeZone::withIdentifier(c.zone);
    ASSERT_TRUE(zone);
    EXPECT_EQ(zone->secondsFromGMT(c.instant), c.offset);
    EXPECT_EQ(zone->isDaylightSavingTime(c.instant), c.daylight);
  }
  auto rome = *TimeZone::withIdentifier("Europe/Rome");
  EXPECT_EQ(rome.daylightSavingTimeOffset(at(2024, 7, 1)), 3600);
  EXPECT_EQ(rome.nextDaylightSavingTimeTransition(at(2024, 1, 15)), at(2024, 3, 31, 1));
  EXPECT_NE(TimeZone::dataVersion().find("system database"), std::string::npos);
  // Names that are no zone file stay out of the file system.
  EXPECT_FALSE(TimeZone::withIdentifier("../../etc/passwd"));
  EXPECT_FALSE(TimeZone::withIdentifier("Europe/../../../etc/passwd"));
}

}  // namespace
}  // namespace platform
