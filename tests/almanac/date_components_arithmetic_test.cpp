#include "almanac/date_components_arithmetic.h"

#include <gtest/gtest.h>

#include <limits>

#include "almanac/date_in_region.h"
#include "almanac/plain_date.h"
#include "almanac/support/date_fixtures.h"

namespace almanac {
namespace {

using almanac_testing::DefaultRegionGuard;
using almanac_testing::FrozenClock;
using almanac_testing::region;
using platform::DateComponents;
using testing_dates::at;
using C = platform::Calendar::Component;

constexpr std::int64_t maxValue = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t minValue = std::numeric_limits<std::int64_t>::min();

TEST(DateComponentsArithmetic, AddsAndNegatesFieldByField) {
  auto sum = days(5) + hours(2);
  ASSERT_TRUE(sum);
  for (C unit : componentUnitList()) {
    EXPECT_EQ(sum->value(unit), unit == C::day ? 5 : unit == C::hour ? 2 : 0);  // 0 + 0 stays 0
  }
  EXPECT_EQ(sum->era, 0);
  EXPECT_EQ(weeks(2).weekOfYear, 2);
  EXPECT_EQ((days(5) - hours(2))->hour, -2);

  DateComponents three;
  three.day = 3;
  three.timeZone = platform::TimeZone::gmt();
  DateComponents minusThree;
  minusThree.day = -3;
  EXPECT_EQ(negated(three), minusThree);  // unset fields stay unset; the zone is dropped
  EXPECT_EQ(three + DateComponents{}, (make([](DateComponents& c) { c.day = 3; })));
}

TEST(DateComponentsArithmetic, RefusesResultsOutsideTheIntegerRange) {
  DateComponents largest;
  largest.second = maxValue - 1;
  EXPECT_TRUE(largest + seconds(1));
  EXPECT_FALSE(largest + seconds(2));
  DateComponents smallest;
  smallest.year = minValue;
  EXPECT_FALSE(-smallest);
  EXPECT_FALSE(days(1) - smallest);
  EXPECT_FALSE(smallest + years(-1));
  EXPECT_FALSE(ago(smallest));
}

TEST(DateComponentsArithmetic, MeasuresWithFixedUnitLengths) {
  EXPECT_EQ(timeInterval(months(1)), 2628000);
  EXPECT_EQ(timeInterval(years(1)), 31536000);
  EXPECT_EQ(timeInterval(weeks(1)), 604800);
  EXPECT_DOUBLE_EQ(timeInterval(nanoseconds(500000000)), 0.5);
  DateComponents uncounted;  // no length, or the undefined marker
  uncounted.era = 3;
  uncounted.weekday = 2;
  uncounted.yearForWeekOfYear = 2024;
  uncounted.hour = DateComponents::undefined;
  uncounted.quarter = 1;
  EXPECT_EQ(timeInterval(uncounted), 7884000);

  EXPECT_TRUE(isZero(days(0)));
  EXPECT_FALSE(isZero(seconds(1)));
  DateComponents eraOnly;
  eraOnly.era = 1;
  EXPECT_TRUE(isZero(eraOnly));
}

class DateComponentsFromNowTest : public ::testing::Test {
 protected:
  void SetUp() override { Almanac::setDefaultRegion(region("GMT")); }
  DefaultRegionGuard guard_;
};

TEST_F(DateComponentsFromNowTest, AppliesDurationsToNowOrToADate) {
  FrozenClock clock(at(2024, 1, 31, 12));
  EXPECT_EQ(fromNow(months(1)), at(2024, 2, 29, 12));
  EXPECT_EQ(ago(*(days(2) + hours(1))), at(2024, 1, 29, 11));
  EXPECT_FALSE(fromNow(years(std::int64_t(1) << 40)));

  // A day after noon in New York is noon again, 23 hours later across the daylight-saving change.
  DateInRegion noon(at(2024, 3, 9, 17), region("America/New_York"));
  EXPECT_EQ(from(days(1), noon), at(2024, 3, 10, 16));
  EXPECT_EQ(from(days(1), PlainDate(noon.date())), at(2024, 3, 10, 17));
}

TEST_F(DateComponentsFromNowTest, ExpressesADurationInUnitsOfACalendar) {
  FrozenClock clock(at(2024, 3, 9, 17));  // noon in New York, the day before the change
  EXPECT_EQ(in(days(2), C::hour), 48);
  EXPECT_EQ(in(hours(23), C::day), 0);
  EXPECT_EQ(in(hours(23), C::day, CalendarConvertible(region("America/New_York").calendar())), 1);
  EXPECT_EQ(in(*(days(2) + hours(3)), {C::day, C::hour, C::era, C::calendar}),
            (std::map<C, std::int64_t>{{C::day, 2}, {C::hour, 3}}));
  EXPECT_TRUE(in(years(std::int64_t(1) << 40), platform::Calendar::ComponentSet{C::day}).empty());

  Almanac::setDefaultRegion(region("America/New_York"));
  EXPECT_EQ(in(days(2), C::hour), 47);
}

}  // namespace
}  // namespace almanac
