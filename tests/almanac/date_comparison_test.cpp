#include "almanac/date_comparison_type.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "almanac/date_in_region.h"
#include "almanac/support/date_fixtures.h"

namespace almanac {
namespace {

using almanac_testing::FrozenClock;
using almanac_testing::region;
using platform::ComparisonResult;
using platform::Date;
using testing_dates::at;
using C = platform::Calendar::Component;
using Id = platform::Calendar::Identifier;
using T = DateComparisonType;

constexpr int cet = 3600;
constexpr int cest = 7200;

struct PairCase {
  const char* name;
  DateInRegion a;
  DateInRegion b;
  bool sameDay;
  bool sameWeek;
  bool sameMonth;
  bool sameYear;
};

TEST(DateComparison, ComparesDaysWeeksMonthsAndYearsInEachDatesRegion) {
  Region us = region("America/New_York", "en_US");
  Region it = region("Europe/Rome", "it_IT");
  Region japan = region("Asia/Tokyo", "ja_JP", Id::japanese);
  Region china = region("Asia/Shanghai", "zh_CN", Id::chinese);
  Region gmt = region("GMT", "en_US");
  const std::vector<PairCase> cases = {
      {"a New York week of 169 hours", DateInRegion(at(2024, 11, 3, 0, 30, 0, -4 * 3600), us),
       DateInRegion(at(2024, 11, 9, 23, 45, 0, -5 * 3600), us), false, true, true, true},
      {"week 53 of 2020 in Italy", DateInRegion(at(2020, 12, 28, 12), it),
       DateInRegion(at(2021, 1, 1, 12), it), false, true, false, false},
      {"week 1 of 2021 in the United States", DateInRegion(at(2020, 12, 28, 12), us),
       DateInRegion(at(2021, 1, 1, 12), us), false, true, false, false},
      {"week 10 of two years", DateInRegion(at(2023, 3, 8, 12), gmt),
       DateInRegion(at(2024, 3, 6, 12), gmt), false, false, false, false},
      {"exactly a week apart", DateInRegion(at(2024, 5, 1, 12), gmt),
       DateInRegion(at(2024, 5, 8, 12), gmt), false, false, true, true},
      {"Heisei 1 and Reiwa 1", DateInRegion(at(1989, 6, 1, 12), japan),
       DateInRegion(at(2019, 6, 1, 12), japan), false, false, false, false},
      {"the last day of Heisei and the first of Reiwa", DateInRegion(at(2019, 4, 30, 12), japan),
       DateInRegion(at(2019, 5, 1, 12), japan), false, true, false, false},
      {"Chinese years sixty apart", DateInRegion(at(1963, 6, 1, 12), china),
       DateInRegion(at(2023, 6, 1, 12), china), false, false, false, false},
      {"the Chinese second month and its leap month", DateInRegion(at(2023, 3, 1, 12), china),
       DateInRegion(at(2023, 4, 1, 12), china), false, false, false, true},
      {"1 BC and AD 1", DateInRegion(at(0, 6, 1, 12), gmt), DateInRegion(at(1, 6, 1, 12), gmt),
       false, false, false, false},
      {"one instant in two regions", DateInRegion(at(2024, 5, 1, 23, 30), gmt),
       DateInRegion(at(2024, 5, 1, 23, 30), region("Asia/Tokyo")), true, true, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.a.compare(T::isSameDay{c.b}), c.sameDay);
    EXPECT_EQ(c.a.compare(T::isSameWeek{c.b}), c.sameWeek);
    EXPECT_EQ(c.a.compare(T::isSameMonth{c.b}), c.sameMonth);
    EXPECT_EQ(c.a.compare(T::isSameYear{c.b}), c.sameYear);
  }
}

TEST(DateComparison, ReadsAPlainDateInTheDefaultRegion) {
  almanac_testing::DefaultRegionGuard guard;
  Almanac::setDefaultRegion(region("GMT"));
  // 1 January 00:30 in Tokyo is still 31 December in GMT.
  DateInRegion tokyo(at(2024, 1, 1, 0, 30, 0, 9 * 3600), region("Asia/Tokyo"));
  PlainDate plain(tokyo.date());
  EXPECT_FALSE(tokyo.compare(T::isSameYear{plain}));
  EXPECT_FALSE(tokyo.compare(T::isSameMonth{plain}));
  EXPECT_TRUE(tokyo.compare(T::isSameYear{tokyo}));
  EXPECT_TRUE(tokyo.compare(T::isEarlier{plain}));
  EXPECT_TRUE(tokyo.compare(T::isLater{plain}));
  EXPECT_EQ(tokyo.earlierDate(tokyo.addingTimeInterval(0)).region(), tokyo.region());
}

TEST(DateComparison, ComparesAtAGranularity) {
  Region rome = region("Europe/Rome", "it_IT");
  DateInRegion first(at(2024, 10, 27, 2, 30, 10, cest), rome);
  DateInRegion second(at(2024, 10, 27, 2, 30, 20, cet), rome);
  struct Case {
    C granularity;
    ComparisonResult expected;
  };
  const std::vector<Case> cases = {
      {C::nanosecond, ComparisonResult::orderedAscending},
      {C::second, ComparisonResult::orderedAscending},
      {C::minute, ComparisonResult::orderedAscending},
      {C::hour, ComparisonResult::orderedAscending},
      {C::day, ComparisonResult::orderedSame},
      {C::month, ComparisonResult::orderedSame},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.granularity));
    EXPECT_EQ(first.compare(second, c.granularity), c.expected);
  }
  // The units that hold an instant of the first pass start within it.
  auto instant = at(2024, 10, 27, 2, 30, 15, cest);
  DateInRegion held(instant, rome);
  EXPECT_EQ(held.dateAtStartOf(C::second).date(), instant);
  EXPECT_EQ(held.dateAtStartOf(C::minute).date(), at(2024, 10, 27, 2, 30, 0, cest));
  EXPECT_EQ(held.dateAtStartOf(C::hour).date(), at(2024, 10, 27, 2, 0, 0, cest));
  EXPECT_NEAR(held.dateAtEndOf(C::hour).timeIntervalSince1970(),
              at(2024, 10, 27, 2, 59, 59.999, cest).timeIntervalSince1970(), 1e-6);

  Region japan = region("Asia/Tokyo", "ja_JP", Id::japanese);
  DateInRegion heisei(at(2019, 4, 30, 12, 0, 0, 9 * 3600), japan);
  DateInRegion reiwa(at(2019, 5, 1, 12, 0, 0, 9 * 3600), japan);
  EXPECT_FALSE(heisei.isSame(reiwa, C::year));
  EXPECT_EQ(DateInRegion(at(2019, 6, 1, 12), japan).dateAtStartOf(C::year).date(),
            at(2019, 5, 1, 0, 0, 0, 9 * 3600));
  EXPECT_NEAR(heisei.dateAtEndOf(C::year).timeIntervalSince1970(),
              at(2019, 4, 30, 23, 59, 59.999, 9 * 3600).timeIntervalSince1970(), 1e-6);
  auto nextYear = heisei.dateByAdding(1, C::year);
  EXPECT_EQ(nextYear.date(), at(2020, 4, 30, 12, 0, 0, 9 * 3600));
  EXPECT_EQ(nextYear.year(), 2);

  Region gmt = region("GMT");
  DateInRegion start(at(2024, 5, 1), gmt);
  DateInRegion end(at(2024, 5, 3), gmt);
  DateInRegion inside(at(2024, 5, 2, 12), gmt);
  EXPECT_TRUE(inside.isInRange(start, end, false, C::day));
  EXPECT_FALSE(start.isInRange(start, end, false, C::second));
  EXPECT_TRUE(start.isInRange(start, end, true, C::second));
  EXPECT_TRUE(end.isInRange(start, end, true, C::day));
  EXPECT_TRUE(DateInRegion(at(2024, 5, 1, 10), gmt)
                  .isSame(DateInRegion(at(2024, 5, 1, 10, 0, 59), gmt), C::minute));
  EXPECT_TRUE(start.isBefore(end, false, C::day));
  EXPECT_FALSE(start.isAfter(start, false, C::day));
  EXPECT_TRUE(start.isAfter(start, true, C::day));
}

TEST(DateComparison, MeasuresPositionAndCloseness) {
  Region gmt = region("GMT");
  DateInRegion start(at(2024, 5, 1), gmt);
  DateInRegion end(at(2024, 5, 1, 0, 0, 10), gmt);
  struct Case {
    double offset;
    std::optional<double> expected;
  };
  for (auto c : std::vector<Case>{
           {0, 0.0}, {10, 1.0}, {2.5, 0.25}, {-1, std::nullopt}, {11, std::nullopt}}) {
    SCOPED_TRACE(c.offset);
    EXPECT_EQ(start.addingTimeInterval(c.offset).positionInRange(start, end), c.expected);
  }
  EXPECT_FALSE(start.positionInRange(start, start));
  EXPECT_TRUE(start.isCloseTo(end, 10));
  EXPECT_FALSE(start.isCloseTo(end, 9.99));
  EXPECT_FALSE(PlainDate(start.date()).isCloseTo(PlainDate(end.date()), 10));
  EXPECT_TRUE(PlainDate(start.date()).isCloseTo(PlainDate(end.date()), 10.01));
}

TEST(DateComparison, AnswersTheRelativeQuestionsAgainstAFrozenNow) {
  Region apia = region("Pacific/Apia", "en_US");
  FrozenClock clock(at(2011, 12, 29, 10, 0, 0, -10 * 3600));
  DateInRegion now(Date::now(), apia);
  EXPECT_TRUE(DateInRegion(at(2011, 12, 31, 8, 0, 0, 14 * 3600), apia).compare(T::isTomorrow{}));
  EXPECT_TRUE(DateInRegion(at(2011, 12, 28, 8, 0, 0, -10 * 3600), apia).compare(T::isYesterday{}));
  EXPECT_TRUE(now.compare(T::isToday{}));
  EXPECT_TRUE(now.compare(T::isInTheFuture{}));
  EXPECT_TRUE(now.compare(T::isInThePast{}));
  EXPECT_FALSE(now.addingTimeInterval(1).compare(T::isInThePast{}));

  Region us = region("America/New_York", "en_US");
  FrozenClock may(at(2024, 5, 1, 12, 0, 0, -4 * 3600));
  struct Case {
    const char* name;
    Date date;
    T type;
    bool expected;
  };
  const std::vector<Case> cases = {
      {"next week", at(2024, 5, 6, 9, 0, 0, -4 * 3600), T::isNextWeek{}, true},
      {"not next week", at(2024, 5, 13, 9, 0, 0, -4 * 3600), T::isNextWeek{}, false},
      {"last week", at(2024, 4, 27, 9, 0, 0, -4 * 3600), T::isLastWeek{}, true},
      {"this week", at(2024, 4, 28, 0, 0, 0, -4 * 3600), T::isThisWeek{}, true},
      {"next month", at(2024, 6, 30, 9, 0, 0, -4 * 3600), T::isNextMonth{}, true},
      {"last month", at(2024, 4, 1, 9, 0, 0, -4 * 3600), T::isLastMonth{}, true},
      {"this month", at(2024, 5, 31, 23, 0, 0, -4 * 3600), T::isThisMonth{}, true},
      {"next year", at(2025, 1, 1, 0, 0, 0, -5 * 3600), T::isNextYear{}, true},
      {"last year", at(2023, 12, 31, 23, 0, 0, -5 * 3600), T::isLastYear{}, true},
      {"this year", at(2024, 12, 31, 23, 0, 0, -5 * 3600), T::isThisYear{}, true},
      {"12:00 is afternoon", at(2024, 5, 1, 12, 0, 0, -4 * 3600), T::isAfternoon{}, true},
      {"12:00 is not morning", at(2024, 5, 1, 12, 0, 0, -4 * 3600), T::isMorning{}, false},
      {"21:00 is night", at(2024, 5, 1, 21, 0, 0, -4 * 3600), T::isNight{}, true},
      {"21:00 is not evening", at(2024, 5, 1, 21, 0, 0, -4 * 3600), T::isEvening{}, false},
      {"20:59 is evening", at(2024, 5, 1, 20, 59, 0, -4 * 3600), T::isEvening{}, true},
      {"04:59 is night", at(2024, 5, 1, 4, 59, 0, -4 * 3600), T::isNight{}, true},
      {"05:00 is morning", at(2024, 5, 1, 5, 0, 0, -4 * 3600), T::isMorning{}, true},
      {"summer time in New York", at(2024, 5, 1, 5, 0, 0, -4 * 3600), T::isInDST{}, true},
      {"winter time in New York", at(2024, 1, 1, 5, 0, 0, -5 * 3600), T::isInDST{}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(DateInRegion(c.date, us).compare(c.type), c.expected);
  }
  Region rome = region("Europe/Rome", "it_IT");
  EXPECT_TRUE(DateInRegion(at(2024, 10, 27, 2, 30, 0, cest), rome).compare(T::isInDST{}));
  EXPECT_FALSE(DateInRegion(at(2024, 10, 27, 2, 30, 0, cet), rome).compare(T::isInDST{}));
  EXPECT_FALSE(DateInRegion(at(2024, 3, 31, 1, 59, 0, cet), rome).compare(T::isInDST{}));
  EXPECT_TRUE(DateInRegion(at(2024, 3, 31, 3, 0, 0, cest), rome).compare(T::isInDST{}));
}

TEST(DateComparison, FollowsTheLocalesWeekend) {
  using W = WeekDay;
  struct Case {
    const char* locale;
    std::set<int> weekend;
  };
  const std::vector<Case> cases = {
      {"en_US", {W::saturday, W::sunday}},
      {"he_IL", {W::friday, W::saturday}},
      {"ar_SA", {W::friday, W::saturday}},
      {"ar_EG", {W::friday, W::saturday}},
      {"fa_IR", {W::friday}},
      {"hi_IN", {W::sunday}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.locale);
    Region here = region("GMT", c.locale);
    // Sunday 5 May to Saturday 11 May 2024.
    for (int day = 5; day <= 11; ++day) {
      DateInRegion date(at(2024, 5, day, 12), here);
      bool weekend = c.weekend.contains(static_cast<int>(date.weekday()));
      EXPECT_EQ(date.compare(T::isWeekend{}), weekend) << day;
      EXPECT_EQ(date.compare(T::isWeekday{}), !weekend) << day;
      EXPECT_EQ(date.compare(T::isWeekend{}), date.fallsInWeekend()) << day;
    }
  }
}

TEST(DateComparison, KnowsLeapYearsAndMonthsInEachCalendar) {
  struct Case {
    const char* name;
    Id calendar;
    Date date;
    bool leapYear;
    bool leapMonth;
  };
  const std::vector<Case> cases = {
      {"29 February 2024", Id::gregorian, at(2024, 2, 29, 12), true, true},
      {"15 February 2023", Id::gregorian, at(2023, 2, 15, 12), false, false},
      {"February 1500", Id::gregorian, at(1500, 2, 10, 12), false, false},
      {"2100", Id::gregorian, at(2100, 2, 10, 12), false, false},
      {"May 2024", Id::gregorian, at(2024, 5, 10, 12), true, false},
      {"Buddhist 2567", Id::buddhist, at(2024, 2, 10, 12), true, true},
      {"Hebrew 5784 in Adar I", Id::hebrew, at(2024, 2, 20, 12), true, true},
      {"Hebrew 5783", Id::hebrew, at(2023, 2, 20, 12), false, false},
      {"Islamic 1441", Id::islamic, at(2020, 1, 15, 12), true, false},
      {"civil Islamic 1441", Id::islamicCivil, at(2020, 1, 15, 12), false, false},
      {"Chinese leap second month of 2023", Id::chinese, at(2023, 4, 1, 12), true, true},
      {"Chinese 2024", Id::chinese, at(2024, 6, 1, 12), false, false},
      {"Persian 1403", Id::persian, at(2024, 6, 1, 12), true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DateInRegion date(c.date, region("Asia/Shanghai", "en_US", c.calendar));
    EXPECT_EQ(date.isLeapYear(), c.leapYear);
    EXPECT_EQ(date.isLeapMonth(), c.leapMonth);
  }
}

}  // namespace
}  // namespace almanac
