#include <gtest/gtest.h>

#include "almanac/date_in_region.h"
#include "almanac/support/date_fixtures.h"
#include "platform/foundation/log.h"

namespace almanac {
namespace {

using almanac_testing::FrozenClock;
using almanac_testing::region;
using platform::Calendar;
using platform::Date;
using testing_dates::at;
using C = Calendar::Component;

DateInRegion gmt(Date date) {
  return DateInRegion(date, region("GMT"));
}

TEST(DateDifferences, GivesTheJulianDayWhateverTheRegion) {
  DateInRegion j2000(at(2000, 1, 1, 12),
                     region("Asia/Tokyo", "th_TH", Calendar::Identifier::buddhist));
  EXPECT_DOUBLE_EQ(j2000.julianDay(), 2451545.0);
  EXPECT_DOUBLE_EQ(j2000.modifiedJulianDay(), 51544.5);
  EXPECT_DOUBLE_EQ(gmt(at(1970, 1, 1)).julianDay(), 2440587.5);
  EXPECT_NEAR(gmt(at(2024, 3, 1, 18, 0, 0.5)).julianDay(), 2460371.25 + 0.5 / 86400, 1e-7);
}

TEST(DateDifferences, CountsBoundariesForDatesAndElapsedUnitsForTimes) {
  auto ten = gmt(at(2024, 5, 1, 10));
  auto almostOne = gmt(at(2024, 5, 1, 12, 59, 59));
  EXPECT_EQ(ten.interval(almostOne, C::hour), 2);
  EXPECT_EQ(almostOne.interval(ten, C::hour), -2);
  EXPECT_EQ(ten.interval(almostOne, C::minute), 179);
  EXPECT_EQ(almostOne.interval(ten, C::second), -10799);

  auto newYearsEve = gmt(at(2023, 12, 31, 23));
  for (C unit : {C::year, C::month, C::day, C::weekday}) {
    EXPECT_EQ(newYearsEve.interval(gmt(at(2024, 1, 1, 1)), unit), 1);
  }
  EXPECT_EQ(gmt(at(2024, 1, 31)).interval(gmt(at(2024, 3, 1)), C::month), 2);
  auto saturday = gmt(at(2024, 5, 4, 23));
  EXPECT_EQ(saturday.interval(gmt(at(2024, 5, 5, 1)), C::weekOfYear), 1);
  EXPECT_EQ(saturday.interval(gmt(at(2024, 5, 12, 1)), C::weekOfYear), 2);
  EXPECT_EQ(gmt(at(2024, 5, 1)).interval(gmt(at(2024, 5, 15)), C::weekdayOrdinal), 2);

  // 23 hours cross into the next day without making a whole day.
  auto march = gmt(at(2024, 3, 1, 10));
  EXPECT_EQ(march.interval(gmt(at(2024, 3, 2, 9)), C::day), 1);
  EXPECT_EQ(march.difference(C::day, gmt(at(2024, 3, 2, 9))), 0);

  FrozenClock clock(at(2024, 5, 1, 12));
  EXPECT_EQ(gmt(at(2024, 5, 1, 11)).interval(std::nullopt, C::hour), 1);
  // Days of the receiver's zone: 01:00 on 1 May in Tokyo, where now is 21:00 the same day.
  EXPECT_EQ(DateInRegion(at(2024, 4, 30, 16), region("Asia/Tokyo")).interval(std::nullopt, C::day),
            0);
  EXPECT_EQ(gmt(at(2024, 4, 30, 16)).interval(std::nullopt, C::day), 1);
}

TEST(DateDifferences, RefusesComponentsWithoutAPositionOrALength) {
  for (C component : {C::quarter, C::era, C::weekOfMonth, C::nanosecond, C::timeZone}) {
    platform::LogCapture capture;
    EXPECT_EQ(gmt(at(2024, 1, 1)).interval(gmt(at(2024, 12, 1)), component), 0);
    EXPECT_EQ(capture.text(),
              "\"Passed component cannot be used to extract values using interval() function "
              "between two dates. Returning 0.\"\n");
  }
}

TEST(DateDifferences, GivesComponentsSinceAnotherDate) {
  DateInRegion start(at(2024, 1, 31, 10), region("Asia/Tokyo"));
  DateInRegion end(at(2024, 3, 2, 12, 30), region("GMT"));
  EXPECT_DOUBLE_EQ(end.timeIntervalSince(start), 31 * 86400 + 2.5 * 3600);
  auto all = end.componentsSince(start);  // in the receiver's calendar
  EXPECT_EQ(all.month, 1);
  EXPECT_EQ(all.era, 0);
  EXPECT_EQ(all.calendar->timeZone().identifier(), "GMT");
  EXPECT_TRUE(all.weekOfYear && all.quarter && all.nanosecond && all.timeZone);

  // Chosen components are counted in the other date's calendar, with a notice when they differ.
  DateInRegion gregorian(at(2024, 5, 1), region("GMT", "th_TH"));
  DateInRegion buddhist(at(2020, 2, 29), region("GMT", "th_TH", Calendar::Identifier::buddhist));
  platform::LogCapture capture;
  auto since = gregorian.componentsSince(buddhist, std::vector<C>{C::year, C::month, C::calendar});
  EXPECT_EQ(capture.text(), "\"Date has different calendar, results maybe wrong\"\n");
  EXPECT_EQ(since.year, 4);
  EXPECT_EQ(since.month, 2);
  EXPECT_EQ(since.calendar->identifier(), Calendar::Identifier::buddhist);
  EXPECT_EQ(gregorian.componentsSince(gmt(at(2020, 2, 29)), std::vector<C>{}),
            platform::DateComponents{});
}

}  // namespace
}  // namespace almanac
