#include "platform/time/time_zone.h"

#include <gtest/gtest.h>

#include "platform/time/support/dates.h"

namespace platform {
namespace {

using testing_dates::at;
using testing_dates::zone;

TEST(TimeZone, UnknownIdentifiersGiveNoZone) {
  // ICU answers such names with its "Etc/Unknown" zone, which must not pass for a real one.
  EXPECT_FALSE(TimeZone::withIdentifier("Mars/Base"));
  EXPECT_FALSE(TimeZone::withIdentifier("Etc/Unknown"));
  EXPECT_FALSE(TimeZone::withIdentifier(""));
  EXPECT_FALSE(TimeZone::withIdentifier("europe/paris_"));
  ASSERT_TRUE(TimeZone::withIdentifier("Europe/Paris"));
  EXPECT_EQ(TimeZone::withIdentifier("Europe/Paris")->identifier(), "Europe/Paris");
  // Aliases keep the name they were asked for.
  EXPECT_EQ(TimeZone::withIdentifier("US/Eastern")->identifier(), "US/Eastern");
}

TEST(TimeZone, FixedOffsetsAreNamedAfterGMTAndLimitedToEighteenHours) {
  EXPECT_EQ(TimeZone::withSecondsFromGMT(0)->identifier(), "GMT");
  EXPECT_EQ(TimeZone::withSecondsFromGMT(19800)->identifier(), "GMT+0530");
  EXPECT_EQ(TimeZone::withSecondsFromGMT(-28800)->identifier(), "GMT-0800");
  EXPECT_EQ(TimeZone::withSecondsFromGMT(19800)->secondsFromGMT(Date()), 19800);
  EXPECT_TRUE(TimeZone::withSecondsFromGMT(18 * 3600));
  EXPECT_TRUE(TimeZone::withSecondsFromGMT(-18 * 3600));
  EXPECT_FALSE(TimeZone::withSecondsFromGMT(18 * 3600 + 1));
  EXPECT_FALSE(TimeZone::withSecondsFromGMT(-18 * 3600 - 1));
  // Offsets written as identifiers follow the same names and the same limit.
  EXPECT_EQ(TimeZone::withIdentifier("GMT+5")->identifier(), "GMT+0500");
  EXPECT_EQ(TimeZone::withIdentifier("GMT-03:30")->secondsFromGMT(Date()), -12600);
  EXPECT_FALSE(TimeZone::withIdentifier("GMT+19:00"));
}

TEST(TimeZone, AnswersDaylightSavingQuestionsForStableRules) {
  // United States rules, unchanged since 2007.
  auto newYork = zone("America/New_York");
  Date summer = at(2021, 7, 1, 12);
  Date winter = at(2021, 1, 15, 12);
  EXPECT_TRUE(newYork.isDaylightSavingTime(summer));
  EXPECT_FALSE(newYork.isDaylightSavingTime(winter));
  EXPECT_EQ(newYork.daylightSavingTimeOffset(summer), 3600);
  EXPECT_EQ(newYork.daylightSavingTimeOffset(winter), 0);
  EXPECT_EQ(newYork.secondsFromGMT(summer), -4 * 3600);
  EXPECT_EQ(newYork.secondsFromGMT(winter), -5 * 3600);
  EXPECT_EQ(newYork.abbreviation(winter), "EST");
  EXPECT_EQ(newYork.abbreviation(summer), "EDT");
  // Second Sunday of March, 02:00 local standard time.
  EXPECT_EQ(newYork.nextDaylightSavingTimeTransition(winter), at(2021, 3, 14, 7));
  EXPECT_EQ(newYork.nextDaylightSavingTimeTransition(summer), at(2021, 11, 7, 6));

  auto tokyo = zone("Asia/Tokyo");
  EXPECT_FALSE(tokyo.isDaylightSavingTime(summer));
  EXPECT_EQ(tokyo.secondsFromGMT(summer), 9 * 3600);
  EXPECT_FALSE(tokyo.nextDaylightSavingTimeTransition(summer));
  EXPECT_FALSE(TimeZone::gmt().nextDaylightSavingTimeTransition(summer));
}

TEST(TimeZone, AbbreviationsMapToZones) {
  EXPECT_EQ(TimeZone::withAbbreviation("EST")->identifier(), "America/New_York");
  EXPECT_EQ(TimeZone::withAbbreviation("UTC")->identifier(), "UTC");
  EXPECT_EQ(TimeZone::withAbbreviation("GMT")->secondsFromGMT(Date()), 0);
  EXPECT_FALSE(TimeZone::withAbbreviation("XYZ"));
  for (const auto& [abbreviation, identifier] : TimeZone::abbreviationDictionary()) {
    EXPECT_TRUE(TimeZone::withIdentifier(identifier)) << abbreviation;
  }
}

TEST(TimeZone, CurrentFollowsTheOverrideAndAutoupdatingFollowsCurrent) {
  auto autoupdating = TimeZone::autoupdatingCurrent();
  TimeZone::setCurrent(zone("Asia/Tokyo"));
  auto snapshot = TimeZone::current();
  EXPECT_EQ(snapshot.identifier(), "Asia/Tokyo");
  EXPECT_EQ(autoupdating.identifier(), "Asia/Tokyo");
  TimeZone::setCurrent(zone("Europe/Paris"));
  EXPECT_EQ(snapshot.identifier(), "Asia/Tokyo");
  EXPECT_EQ(autoupdating.identifier(), "Europe/Paris");
  EXPECT_EQ(autoupdating.secondsFromGMT(at(2021, 1, 15)), 3600);
  TimeZone::setCurrent(std::nullopt);
  EXPECT_FALSE(TimeZone::current().identifier().empty());

  EXPECT_TRUE(autoupdating.isAutoupdating());
  EXPECT_FALSE(snapshot.isAutoupdating());
  EXPECT_EQ(autoupdating, TimeZone::autoupdatingCurrent());
  EXPECT_FALSE(autoupdating == snapshot);
  EXPECT_EQ(zone("Asia/Tokyo"), snapshot);
}

TEST(TimeZone, KnowsTheDatabaseZones) {
  auto all = TimeZone::knownTimeZoneIdentifiers();
  EXPECT_GT(all.size(), 300u);
  EXPECT_NE(std::find(all.begin(), all.end(), "Europe/Paris"), all.end());
}

}  // namespace
}  // namespace platform
