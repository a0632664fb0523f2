#include "platform/time/calendar.h"

#include <gtest/gtest.h>

#include "platform/time/date_components.h"
#include "platform/time/support/dates.h"

namespace platform {
namespace {

using testing_dates::at;
using testing_dates::zone;
using C = Calendar::Component;

Calendar gregorian(const char* zoneId = "GMT", const char* locale = "en_US") {
  Calendar calendar(Calendar::Identifier::gregorian);
  calendar.setTimeZone(zone(zoneId));
  calendar.setLocale(Locale(locale));
  return calendar;
}

TEST(Calendar, KeepsItsOwnIdentifierAndWeekRules) {
  // ICU reports an ISO 8601 calendar as Gregorian; the calendar keeps what it was made as.
  Calendar iso(Calendar::Identifier::iso8601);
  EXPECT_EQ(iso.identifier(), Calendar::Identifier::iso8601);
  EXPECT_EQ(iso.firstWeekday(), 2);
  EXPECT_EQ(iso.minimumDaysInFirstWeek(), 4);

  EXPECT_EQ(gregorian("GMT", "en_US").firstWeekday(), 1);
  EXPECT_EQ(gregorian("GMT", "de_DE").firstWeekday(), 2);
  EXPECT_EQ(gregorian("GMT", "de_DE").minimumDaysInFirstWeek(), 4);
  Calendar noLocale(Calendar::Identifier::gregorian);
  EXPECT_FALSE(noLocale.locale());
  EXPECT_EQ(noLocale.firstWeekday(), 1);

  Calendar monday = gregorian();
  monday.setFirstWeekday(2);
  EXPECT_EQ(monday.firstWeekday(), 2);
  EXPECT_FALSE(monday == gregorian());
  Calendar sunday = gregorian();
  sunday.setFirstWeekday(1);  // what the locale says anyway
  EXPECT_EQ(sunday, gregorian());
}

TEST(Calendar, BreaksADateIntoComponents) {
  Calendar cal = gregorian("Asia/Tokyo");
  Date date = at(2024, 8, 14, 13, 5, 9.25);  // 22:05:09.25 in Tokyo, a Wednesday
  auto c =
      cal.dateComponents({C::era, C::year, C::month, C::day, C::hour, C::minute, C::second,
                          C::nanosecond, C::weekday, C::weekdayOrdinal, C::quarter, C::weekOfMonth,
                          C::weekOfYear, C::yearForWeekOfYear, C::calendar, C::timeZone},
                         date);
  EXPECT_EQ(c.era, 1);
  EXPECT_EQ(c.year, 2024);
  EXPECT_EQ(c.month, 8);
  EXPECT_EQ(c.day, 14);
  EXPECT_EQ(c.hour, 22);
  EXPECT_EQ(c.minute, 5);
  EXPECT_EQ(c.second, 9);
  EXPECT_EQ(c.nanosecond, 250'000'000);
  EXPECT_EQ(c.weekday, 4);
  EXPECT_EQ(c.weekdayOrdinal, 2);
  EXPECT_EQ(c.quarter, 3);
  EXPECT_EQ(c.weekOfYear, 33);
  EXPECT_EQ(c.yearForWeekOfYear, 2024);
  ASSERT_TRUE(c.timeZone);
  EXPECT_EQ(c.timeZone->identifier(), "Asia/Tokyo");
  ASSERT_TRUE(c.calendar);
  EXPECT_EQ(*c.calendar, cal);
  EXPECT_FALSE(c.isLeapMonth);

  auto only = cal.dateComponents({C::month}, date);
  EXPECT_FALSE(only.year);
  EXPECT_EQ(cal.component(C::quarter, at(2024, 12, 31)), 4);
  EXPECT_EQ(cal.component(C::quarter, at(2024, 4, 1)), 2);
}

TEST(Calendar, QuartersStayWithinFourInThirteenMonthYears) {
  Calendar hebrew(Calendar::Identifier::hebrew);
  hebrew.setTimeZone(TimeZone::gmt());
  std::set<std::int64_t> quarters;
  // 5784 was a leap year of thirteen months.
  for (Date d = at(2023, 9, 20); d < at(2024, 10, 5); d += 86400 * 7) {
    quarters.insert(hebrew.component(C::quarter, d));
  }
  EXPECT_EQ(quarters, (std::set<std::int64_t>{1, 2, 3, 4}));
}

TEST(Calendar, MakesDatesWithThePlatformDefaults) {
  Calendar cal = gregorian();
  // Nothing given: the first instant of year 1, not 1970.
  EXPECT_EQ(cal.date(DateComponents{}), Date::distantPast());

  DateComponents dc;
  dc.year = 2024;
  dc.month = 2;
  EXPECT_EQ(cal.date(dc), at(2024, 2, 1));
  dc.day = 30;  // rolls over, as the platform does
  EXPECT_EQ(cal.date(dc), at(2024, 3, 1));
  dc.day = 29;
  dc.hour = 10;
  dc.nanosecond = 5'000'000;
  EXPECT_NEAR(cal.date(dc)->timeIntervalSince(at(2024, 2, 29, 10)), 0.005, 1e-6);

  DateComponents inTokyo;
  inTokyo.year = 2024;
  inTokyo.month = 1;
  inTokyo.day = 1;
  inTokyo.timeZone = zone("Asia/Tokyo");
  EXPECT_EQ(cal.date(inTokyo), at(2024, 1, 1, 0, 0, 0, 9 * 3600));
}

TEST(Calendar, YearMonthAndDayDecideOverStaleWeekFields) {
  Calendar cal = gregorian();
  // A full breakdown of one date, then its day changed: the week fields no longer agree.
  auto c = cal.dateComponents({C::year, C::month, C::day, C::weekday, C::weekOfYear,
                               C::yearForWeekOfYear, C::weekOfMonth, C::weekdayOrdinal},
                              at(2024, 3, 15));
  c.day = 20;
  EXPECT_EQ(cal.date(c), at(2024, 3, 20));

  // Week fields alone still name their week: week 1 of 2025 starts on 30 December 2024.
  Calendar iso(Calendar::Identifier::iso8601);
  iso.setTimeZone(TimeZone::gmt());
  DateComponents week;
  week.yearForWeekOfYear = 2025;
  week.weekOfYear = 1;
  EXPECT_EQ(iso.date(week), at(2024, 12, 30));
  week.weekday = 4;  // Wednesday
  EXPECT_EQ(iso.date(week), at(2025, 1, 1));
}

TEST(Calendar, RefusesValuesItCannotHold) {
  Calendar cal = gregorian();
  DateComponents dc;
  dc.year = std::int64_t{1} << 40;
  EXPECT_FALSE(cal.date(dc));
  EXPECT_FALSE(cal.dateByAdding(C::day, std::int64_t{1} << 40, at(2024, 1, 1)));
  DateComponents overflow;
  overflow.month = std::numeric_limits<std::int64_t>::min();
  EXPECT_FALSE(cal.date(overflow));
}

TEST(Calendar, AddsComponentsLargestFirst) {
  Calendar cal = gregorian();
  Date endOfJanuary = at(2024, 1, 31, 8, 30, 0.75);
  EXPECT_EQ(cal.dateByAdding(C::month, 1, endOfJanuary), at(2024, 2, 29, 8, 30, 0.75));
  DateComponents monthAndDay;
  monthAndDay.day = 1;
  monthAndDay.month = 1;
  EXPECT_EQ(cal.dateByAdding(monthAndDay, endOfJanuary), at(2024, 3, 1, 8, 30, 0.75));
  EXPECT_EQ(cal.dateByAdding(C::quarter, 1, endOfJanuary), at(2024, 4, 30, 8, 30, 0.75));
  EXPECT_EQ(cal.dateByAdding(C::nanosecond, 250'000'000, endOfJanuary), at(2024, 1, 31, 8, 30, 1));
  // Wrapping keeps the larger units: the day rolls within January.
  EXPECT_EQ(cal.dateByAdding(C::day, 1, endOfJanuary, true), at(2024, 1, 1, 8, 30, 0.75));

  // A day is a calendar day: across the spring change in New York it is 23 hours long.
  Calendar newYork = gregorian("America/New_York");
  Date before = at(2021, 3, 13, 17);  // 12:00 local
  EXPECT_EQ(newYork.dateByAdding(C::day, 1, before), at(2021, 3, 14, 16));
  EXPECT_EQ(newYork.dateByAdding(C::hour, 24, before), at(2021, 3, 14, 17));
}

TEST(Calendar, CountsTheDifferenceInWholeUnits) {
  Calendar cal = gregorian();
  EXPECT_EQ(cal.dateComponents({C::day}, at(2024, 1, 31), at(2024, 3, 1)).day, 30);
  auto md = cal.dateComponents({C::month, C::day}, at(2024, 1, 31), at(2024, 3, 1));
  EXPECT_EQ(md.month, 1);
  EXPECT_EQ(md.day, 1);
  auto back = cal.dateComponents({C::day, C::hour}, at(2024, 3, 1, 12), at(2024, 2, 28));
  EXPECT_EQ(back.day, -2);
  EXPECT_EQ(back.hour, -12);
  auto fine = cal.dateComponents({C::second, C::nanosecond}, at(2024, 1, 1, 0, 0, 0.25),
                                 at(2024, 1, 1, 0, 0, 2.75));
  EXPECT_EQ(fine.second, 2);
  EXPECT_EQ(fine.nanosecond, 500'000'000);
  auto quarters = cal.dateComponents({C::quarter, C::month}, at(2024, 1, 15), at(2024, 12, 1));
  EXPECT_EQ(quarters.quarter, 3);
  EXPECT_EQ(quarters.month, 10);  // quarters count months without using them up
  EXPECT_EQ(cal.dateComponents({C::weekOfYear}, at(2024, 1, 1), at(2024, 1, 20)).weekOfYear, 2);
  EXPECT_FALSE(cal.dateComponents({C::day}, at(2024, 1, 1), at(2024, 1, 2)).year);
}

TEST(Calendar, GivesRangesAndOrdinality) {
  Calendar cal = gregorian();
  using R = Calendar::Range;
  EXPECT_EQ(cal.range(C::day, C::month, at(2024, 2, 10)), (R{1, 30}));
  EXPECT_EQ(cal.range(C::day, C::month, at(2023, 2, 10)), (R{1, 29}));
  EXPECT_EQ(cal.range(C::day, C::year, at(2023, 2, 10)), (R{1, 32}));
  EXPECT_EQ(cal.range(C::month, C::year, at(2024, 2, 10)), (R{1, 13}));
  EXPECT_EQ(cal.range(C::hour, C::day, at(2024, 2, 10)), (R{0, 24}));
  EXPECT_EQ(cal.range(C::weekday, C::weekOfYear, at(2024, 2, 10)), (R{1, 8}));
  EXPECT_EQ(cal.range(C::month, C::quarter, at(2024, 5, 10)), (R{4, 7}));
  EXPECT_EQ(cal.range(C::weekdayOrdinal, C::month, at(2023, 2, 10)), (R{1, 5}));
  EXPECT_EQ(cal.range(C::weekdayOrdinal, C::month, at(2024, 2, 10)), (R{1, 6}));
  EXPECT_EQ(cal.range(C::weekOfYear, C::month, at(2024, 2, 10)), (R{5, 10}));
  // December 2024 ends in week 1 of 2025 and still counts on: five weeks from week 49.
  EXPECT_EQ(cal.range(C::weekOfYear, C::month, at(2024, 12, 10)), (R{49, 54}));
  EXPECT_FALSE(cal.range(C::month, C::day, at(2024, 2, 10)));
  EXPECT_EQ(cal.maximumRange(C::day), (R{1, 32}));
  EXPECT_EQ(cal.minimumRange(C::day), (R{1, 29}));
  EXPECT_EQ(cal.maximumRange(C::weekday), (R{1, 8}));
  EXPECT_EQ(cal.maximumRange(C::month), (R{1, 13}));
  EXPECT_EQ(cal.maximumRange(C::hour), (R{0, 24}));

  EXPECT_EQ(cal.ordinality(C::day, C::year, at(2024, 3, 1)), 61);
  EXPECT_EQ(cal.ordinality(C::day, C::month, at(2024, 3, 17)), 17);
  EXPECT_EQ(cal.ordinality(C::weekday, C::weekOfYear, at(2024, 3, 17)), 1);  // a Sunday
  Calendar iso(Calendar::Identifier::iso8601);
  iso.setTimeZone(TimeZone::gmt());
  EXPECT_EQ(iso.ordinality(C::weekday, C::weekOfYear, at(2024, 3, 17)), 7);
  EXPECT_EQ(cal.ordinality(C::hour, C::day, at(2024, 3, 17, 0, 30)), 1);
  EXPECT_EQ(cal.ordinality(C::month, C::year, at(2024, 3, 17)), 3);
  EXPECT_EQ(cal.ordinality(C::quarter, C::year, at(2024, 11, 17)), 4);
  EXPECT_EQ(cal.ordinality(C::hour, C::month, at(2024, 3, 2, 5)), 30);
  EXPECT_FALSE(cal.ordinality(C::year, C::day, at(2024, 3, 2)));
}

TEST(Calendar, FindsTheUnitsThatHoldADate) {
  Calendar cal = gregorian();
  auto month = cal.dateInterval(C::month, at(2024, 2, 10, 15));
  ASSERT_TRUE(month);
  EXPECT_EQ(month->start, at(2024, 2, 1));
  EXPECT_EQ(month->duration, 29 * 86400.0);
  auto week = cal.dateInterval(C::weekOfYear, at(2024, 2, 10, 15));  // a Saturday
  EXPECT_EQ(week->start, at(2024, 2, 4));
  EXPECT_EQ(week->duration, 7 * 86400.0);
  EXPECT_EQ(cal.dateInterval(C::year, at(2024, 7, 1))->duration, 366 * 86400.0);
  EXPECT_EQ(cal.dateInterval(C::quarter, at(2024, 5, 20))->start, at(2024, 4, 1));
  EXPECT_EQ(cal.dateInterval(C::hour, at(2024, 5, 20, 7, 59, 59.9))->start, at(2024, 5, 20, 7));

  Calendar iso(Calendar::Identifier::iso8601);
  iso.setTimeZone(TimeZone::gmt());
  auto weekYear = iso.dateInterval(C::yearForWeekOfYear, at(2024, 12, 31));
  EXPECT_EQ(weekYear->start, at(2024, 12, 30));
  EXPECT_EQ(weekYear->end(), at(2025, 12, 29));

  // The day of the spring change is 23 hours long.
  Calendar newYork = gregorian("America/New_York");
  auto day = newYork.dateInterval(C::day, at(2021, 3, 14, 18));
  EXPECT_EQ(day->start, at(2021, 3, 14, 5));
  EXPECT_EQ(day->duration, 23 * 3600.0);
  EXPECT_EQ(newYork.startOfDay(at(2021, 3, 14, 18)), at(2021, 3, 14, 5));
}

TEST(Calendar, ComparesAtAGranularity) {
  Calendar cal = gregorian("Asia/Tokyo");
  Date morning = at(2024, 3, 1, 0, 30);   // 09:30 in Tokyo
  Date evening = at(2024, 3, 1, 14, 30);  // 23:30 in Tokyo
  Date nextDay = at(2024, 3, 1, 15, 30);  // 00:30 on 2 March in Tokyo
  EXPECT_EQ(cal.compare(morning, evening, C::day), ComparisonResult::orderedSame);
  EXPECT_EQ(cal.compare(evening, nextDay, C::day), ComparisonResult::orderedAscending);
  EXPECT_EQ(cal.compare(nextDay, evening, C::hour), ComparisonResult::orderedDescending);
  EXPECT_EQ(cal.compare(morning, morning + 1e-6, C::nanosecond),
            ComparisonResult::orderedAscending);
  EXPECT_TRUE(cal.isDateInSameDay(morning, evening));
  EXPECT_TRUE(cal.isDate(evening, nextDay, C::month));
}

TEST(Calendar, CurrentCalendarsFollowTheUser) {
  testing_dates::PinnedSettings pinned("ja_JP@calendar=japanese", "Asia/Tokyo");
  Calendar current = Calendar::current();
  EXPECT_EQ(current.identifier(), Calendar::Identifier::japanese);
  EXPECT_EQ(current.timeZone().identifier(), "Asia/Tokyo");
  Calendar followed = Calendar::autoupdatingCurrent();
  EXPECT_TRUE(followed.timeZone().isAutoupdating());
  // Reiwa began on 1 May 2019.
  EXPECT_EQ(current.component(C::year, at(2019, 5, 1, 12)), 1);
  EXPECT_EQ(current.component(C::era, at(2019, 5, 1, 12)),
            current.component(C::era, at(2019, 4, 30, 12)) + 1);
}

}  // namespace
}  // namespace platform
