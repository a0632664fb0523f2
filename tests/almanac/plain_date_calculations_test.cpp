#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "almanac/date_comparison_type.h"
#include "almanac/date_in_region.h"
#include "almanac/plain_date.h"
#include "almanac/support/date_fixtures.h"

namespace almanac {
namespace {

using almanac_testing::DefaultRegionGuard;
using almanac_testing::region;
using platform::Date;
using testing_dates::at;
using C = platform::Calendar::Component;
using Id = platform::Calendar::Identifier;

// A plain date answers as the same instant in the default region does, whatever that region is.
TEST(PlainDateCalculations, AnswerInTheDefaultRegion) {
  DefaultRegionGuard guard;
  struct Case {
    const char* zone;
    Date start;
    Date tomorrow;  // + 1 day
    Date startOfDay;
    Date roundedUp;  // toCeil30Mins
    Date endOfMonth;
  };
  const std::vector<Case> cases = {
      {"GMT", at(2024, 10, 26, 2, 50), at(2024, 10, 27, 2, 50), at(2024, 10, 26),
       at(2024, 10, 26, 3, 0), at(2024, 10, 31, 23, 59, 59.999)},
      {"Europe/Rome", at(2024, 10, 26, 2, 50, 0, 7200), at(2024, 10, 27, 2, 50, 0, 7200),
       at(2024, 10, 26, 0, 0, 0, 7200), at(2024, 10, 26, 3, 0, 0, 7200),
       at(2024, 10, 31, 23, 59, 59.999, 3600)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.zone);
    Almanac::setDefaultRegion(region(c.zone, "en_US"));
    PlainDate date(c.start);
    EXPECT_EQ(date.dateByAdding(1, C::day).date(), c.tomorrow);
    EXPECT_EQ((date + *dateComponents({{C::day, 1}}))->date(), c.tomorrow);
    EXPECT_EQ((date - *dateComponents({{C::day, -1}}))->date(), c.tomorrow);
    EXPECT_EQ(date.dateAt(DateRelatedType::startOfDay{}).date(), c.startOfDay);
    EXPECT_EQ(date.dateRoundedAt(RoundDateMode::toCeil30Mins{}).date(), c.roundedUp);
    EXPECT_NEAR(date.dateAt(DateRelatedType::endOfMonth{}).date().timeIntervalSince1970(),
                c.endOfMonth.timeIntervalSince1970(), 1e-6);
    EXPECT_EQ(date.dateAtStartOf({C::month, C::day}).date(), date.dateAtStartOf(C::month).date());
    EXPECT_TRUE(date.compare(DateComparisonType::isSameDay{PlainDate(c.startOfDay)}));
    EXPECT_TRUE(date.isSame(PlainDate(c.startOfDay), C::day));
    EXPECT_FALSE(date.isSame(PlainDate(c.tomorrow), C::day));
    auto days =
        PlainDate::enumerateDates(date, PlainDate(c.tomorrow), *dateComponents({{C::hour, 12}}));
    EXPECT_EQ(days.size(), 3u);
    EXPECT_EQ(date.dateTruncated(C::hour)->date(), c.startOfDay);
  }
}

TEST(PlainDateCalculations, MeasureAndCompareAsPlainInstants) {
  DefaultRegionGuard guard;
  Almanac::setDefaultRegion(region("GMT"));
  PlainDate first(at(2024, 5, 1, 10));
  PlainDate third(at(2024, 5, 3, 10));
  EXPECT_EQ(first.differenceFrom(C::day, third), 2);
  EXPECT_EQ(third.differenceFrom(C::day, first), 2);
  EXPECT_FALSE(first.differenceFrom(C::calendar, third));
  auto both = first.differencesFrom({C::calendar, C::day}, third);
  EXPECT_EQ(both, (std::map<C, std::int64_t>{{C::day, 2}}));
  EXPECT_EQ(componentValue(*dateComponents({{C::hour, 4}}), C::hour), 4);
  EXPECT_FALSE(componentValue(*dateComponents({{C::hour, 4}}), C::timeZone));

  auto apart = third - first;
  EXPECT_EQ(apart.day, 2);
  EXPECT_EQ(apart.hour, 0);
  EXPECT_EQ((first + 1.5).date(), at(2024, 5, 1, 10, 0, 1.5));
  EXPECT_DOUBLE_EQ(first.modifiedJulianDay(), first.julianDay() - 2400000.5);
  EXPECT_EQ(first.compare(PlainDate(at(2024, 5, 1, 10, 0, 0.5)), C::nanosecond),
            platform::ComparisonResult::orderedAscending);
  EXPECT_EQ(first.compare(PlainDate(at(2024, 5, 1, 23)), C::day),
            platform::ComparisonResult::orderedSame);
  EXPECT_EQ(first.positionInRange(first, third), 0.0);
  EXPECT_EQ(third.positionInRange(first, third), 1.0);
  EXPECT_FALSE(first.positionInRange(third, third));
  EXPECT_EQ(first.earlierDate(PlainDate(first.date())).date(), first.date());
  EXPECT_TRUE(first.isInRange(first, third, true, C::second));
  EXPECT_FALSE(first.isInRange(first, third, false, C::second));
  EXPECT_TRUE(PlainDate(at(2024, 2, 29)).isLeapMonth());
  EXPECT_TRUE(first.isLeapYear());
  EXPECT_EQ(first.monthDays(), 31);
  EXPECT_EQ(PlainDate::dateAtNow(DateRelatedType::startOfDay{}).date(),
            PlainDate(Date::now()).dateAtStartOf(C::day).date());
  EXPECT_EQ(first.nextWeekday(WeekDay::monday, region("Asia/Tokyo")).date(),
            at(2024, 5, 6, 10));  // Monday 19:00 in Tokyo keeps the time of day there
}

// The interval between two plain dates is counted in the default region, whatever region the
// caller has in mind; no other date means now.
TEST(PlainDateCalculations, IntervalsAreCountedInTheDefaultRegion) {
  DefaultRegionGuard guard;
  almanac_testing::FrozenClock clock(at(2024, 5, 1, 12));
  struct Row {
    const char* zone;
    Date from;
    std::optional<Date> to;
    C component;
    std::int64_t expected;
  };
  const std::vector<Row> rows = {
      {"GMT", at(2024, 5, 1, 10), at(2024, 5, 1, 12, 59), C::hour, 2},
      {"GMT", at(2024, 5, 1, 12, 59), at(2024, 5, 1, 10), C::minute, -179},
      {"GMT", at(2023, 12, 31, 23), at(2024, 1, 1, 1), C::year, 1},
      {"GMT", at(2024, 1, 31), at(2024, 3, 1), C::month, 2},
      {"GMT", at(2024, 3, 1, 10), at(2024, 3, 2, 9), C::day, 1},
      // 23:00 and 01:00 GMT are the same day in Tokyo, but not in the default region.
      {"GMT", at(2024, 4, 30, 23), at(2024, 5, 1, 1), C::day, 1},
      {"Asia/Tokyo", at(2024, 4, 30, 23), at(2024, 5, 1, 1), C::day, 0},
      {"GMT", at(2024, 5, 1, 11), std::nullopt, C::hour, 1},
      {"GMT", at(2024, 4, 30, 16), std::nullopt, C::day, 1},
      {"Asia/Tokyo", at(2024, 4, 30, 16), std::nullopt, C::day, 0},
      {"GMT", at(2024, 1, 1), at(2024, 12, 1), C::quarter, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.zone) + " " + std::to_string(static_cast<int>(row.component)));
    Almanac::setDefaultRegion(region(row.zone));
    const std::optional<PlainDate> to =
        row.to ? std::optional<PlainDate>(PlainDate(*row.to)) : std::nullopt;
    EXPECT_EQ(PlainDate(row.from).interval(to, row.component), row.expected);
    const std::optional<DateInRegion> lifted =
        row.to ? std::optional<DateInRegion>(PlainDate(*row.to).inDefaultRegion()) : std::nullopt;
    EXPECT_EQ(PlainDate(row.from).interval(to, row.component),
              PlainDate(row.from).inDefaultRegion().interval(lifted, row.component));
  }
}

// Faults of the measures a date gives of itself.
TEST(DateMeasures, AreRightInEveryCalendarAndZone) {
  // A Julian day is a count of days from the instant, whatever the calendar and the era.
  EXPECT_DOUBLE_EQ(PlainDate(Date::fromTimeIntervalSince1970(-210866760000.0)).julianDay(), 0);
  auto beforeReform = DateInRegion::fromNumbers(1500, 3, 1, 12, 0, 0, 0, region("GMT"));
  ASSERT_TRUE(beforeReform);
  EXPECT_DOUBLE_EQ(beforeReform->julianDay(),
                   2440587.5 + beforeReform->timeIntervalSince1970() / 86400.0);
  EXPECT_FALSE(DateInRegion::fromNumbers(6'000'000, 1, 1, 0, 0, 0, 0, region("GMT")));

  // The Chinese week starts and ends on days of its own month.
  Region chinese = region("Asia/Shanghai", "en_US", Id::chinese);
  Region gregorian = region("Asia/Shanghai", "en_US");
  for (int day = 1; day <= 28; day += 3) {
    DateInRegion date(at(2024, 2, day, 12), chinese);
    DateInRegion sameDay(at(2024, 2, day, 12), gregorian);
    auto sunday = sameDay.dateAtStartOf(C::weekOfYear);
    SCOPED_TRACE(day);
    EXPECT_EQ(date.weekStartDay(), chinese.calendar().component(C::day, sunday.date()));
    EXPECT_EQ(date.weekEndDay(), chinese.calendar().component(C::day, sunday.date() + 6 * 86400.0));
  }

  // One quarter rule in a thirteen-month calendar.
  Region hebrew = region("Asia/Jerusalem", "he_IL", Id::hebrew);
  for (int offset = 0; offset < 800; offset += 7) {
    DateInRegion date(at(2023, 1, 1, 12) + offset * 86400.0, hebrew);
    ASSERT_EQ(date.quarter(), date.dateComponents().quarter) << offset;
  }

  // Havana's midnight repeats on 3 November 2024: the day starts at its first pass.
  Region havana = region("America/Havana", "es_CU");
  DateInRegion morning(at(2024, 11, 3, 0, 30, 0, -5 * 3600), havana);
  EXPECT_EQ(morning.dateAtStartOf(C::day).date(), at(2024, 11, 3, 0, 0, 0, -4 * 3600));
  EXPECT_EQ(morning.millisecondsInDay(), 5'400'000);

  // Weekdays and quarters do not take the days and months away.
  DateInRegion may1(at(2024, 5, 1), region("GMT"));
  auto since = DateInRegion(at(2024, 5, 4), region("GMT")).componentsSince(may1);
  EXPECT_EQ(since.day, 3);
  EXPECT_EQ(since.weekday, 3);
}

}  // namespace
}  // namespace almanac

namespace almanac {
namespace {

TEST(DateTexts, ReadADayWhoseMidnightTheZoneSkips) {
  using almanac_testing::region;
  struct Case {
    const char* zone;
    const char* text;
    const char* format;
    std::optional<Date> expected;
  };
  const std::vector<Case> cases = {
      {"America/Santiago", "2024-09-08", "yyyy-MM-dd", at(2024, 9, 8, 1, 0, 0, -3 * 3600)},
      {"America/Sao_Paulo", "2018-11-04", "yyyy-MM-dd", at(2018, 11, 4, 1, 0, 0, -2 * 3600)},
      {"America/Havana", "2024-03-10", "yyyy-MM-dd", at(2024, 3, 10, 1, 0, 0, -4 * 3600)},
      {"Asia/Beirut", "2024-03-31", "yyyy-MM-dd", at(2024, 3, 31, 1, 0, 0, 3 * 3600)},
      {"America/Asuncion", "2023-10-01", "yyyy-MM-dd", at(2023, 10, 1, 1, 0, 0, -3 * 3600)},
      {"America/Santiago", "2024-09-07", "yyyy-MM-dd", at(2024, 9, 7, 0, 0, 0, -4 * 3600)},
      {"America/Santiago", "2024-02-30", "yyyy-MM-dd", std::nullopt},
      {"America/Santiago", "2024-09-08 00:30", "yyyy-MM-dd HH:mm", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto date = DateInRegion::fromString(c.text, std::string(c.format), region(c.zone, "en_US"));
    ASSERT_EQ(date.has_value(), c.expected.has_value());
    if (date) {
      EXPECT_EQ(date->timeIntervalSince1970(), c.expected->timeIntervalSince1970());
    }
  }
}

TEST(DateTexts, DescriptionLeavesAStyledFormatterFollowingItsLocale) {
  auto formatter = std::make_shared<platform::DateFormatter>();
  formatter->setLocale(platform::Locale("en_US"));
  formatter->setTimeZone(testing_dates::zone("GMT"));
  formatter->setDateStyle(platform::DateFormatter::Style::short_);
  DateInRegion date(at(2024, 5, 1, 12), almanac_testing::region("GMT"));
  date.setCustomFormatter(formatter);
  EXPECT_NE(date.description().find("rep_date='2024-05-01T12:00:00Z'"), std::string::npos);
  formatter->setLocale(platform::Locale("de_DE"));
  EXPECT_EQ(formatter->string(date.date()), "01.05.24");
}

}  // namespace
}  // namespace almanac
