#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "almanac/date_in_region.h"
#include "almanac/support/date_fixtures.h"

namespace almanac {
namespace {

using almanac_testing::region;
using platform::Date;
using testing_dates::at;
using C = platform::Calendar::Component;

constexpr int cet = 3600;
constexpr int cest = 7200;
constexpr std::int64_t int64Max = std::numeric_limits<std::int64_t>::max();

double seconds(const std::optional<DateInRegion>& date) {
  return date ? date->timeIntervalSince1970() : std::numeric_limits<double>::quiet_NaN();
}
double seconds(Date date) {
  return date.timeIntervalSince1970();
}

struct AddingCase {
  const char* name;
  const char* zone;
  Date start;
  ComponentValues values;
  std::optional<Date> expected;  // none: no date
};

// Calendar units keep the wall-clock time and resolve it by one rule; time units are elapsed.
TEST(DateArithmetic, AddsComponentsByTheWallClockRule) {
  const std::vector<AddingCase> cases = {
      {"into the repeated hour keeps the first occurrence",
       "Europe/Rome",
       at(2024, 10, 26, 2, 30, 0, cest),
       {{C::day, 1}},
       at(2024, 10, 27, 2, 30, 0, cest)},
      {"back into the repeated hour keeps the receiver's offset",
       "Europe/Rome",
       at(2024, 10, 28, 2, 30, 0, cet),
       {{C::day, -1}},
       at(2024, 10, 27, 2, 30, 0, cet)},
      {"a year into the repeated hour keeps summer time",
       "Europe/Rome",
       at(2021, 10, 30, 2, 30, 0, cest),
       {{C::year, 1}},
       at(2022, 10, 30, 2, 30, 0, cest)},
      {"a month out of the second occurrence",
       "Europe/Rome",
       at(2024, 10, 27, 2, 30, 0, cet),
       {{C::month, 1}},
       at(2024, 11, 27, 2, 30, 0, cet)},
      {"a month into the repeated hour from summer",
       "Europe/Rome",
       at(2024, 9, 27, 2, 30, 0, cest),
       {{C::month, 1}},
       at(2024, 10, 27, 2, 30, 0, cest)},
      {"a day into the gap moves on by the gap",
       "Europe/Rome",
       at(2024, 3, 30, 2, 30, 0, cet),
       {{C::day, 1}},
       at(2024, 3, 31, 3, 30, 0, cest)},
      {"a month into the gap",
       "Europe/Rome",
       at(2024, 2, 29, 2, 30, 0, cet),
       {{C::month, 1}},
       at(2024, 3, 29, 2, 30, 0, cet)},
      {"an hour across the gap is elapsed",
       "Europe/Rome",
       at(2024, 3, 31, 1, 30, 0, cet),
       {{C::hour, 1}},
       at(2024, 3, 31, 3, 30, 0, cest)},
      {"an hour from the first to the second occurrence",
       "Europe/Rome",
       at(2024, 10, 27, 2, 30, 0, cest),
       {{C::hour, 1}},
       at(2024, 10, 27, 2, 30, 0, cet)},
      {"a day and three hours across the change",
       "Europe/Rome",
       at(2024, 10, 26, 23, 0, 0, cest),
       {{C::day, 1}, {C::hour, 3}},
       at(2024, 10, 28, 2, 0, 0, cet)},
      {"midnight that does not exist",
       "America/Sao_Paulo",
       at(2018, 11, 3, 0, 0, 0, -3 * 3600),
       {{C::day, 1}},
       at(2018, 11, 4, 1, 0, 0, -2 * 3600)},
      {"one day over the skipped day",
       "Pacific/Apia",
       at(2011, 12, 29, 10, 0, 0, -10 * 3600),
       {{C::day, 1}},
       at(2011, 12, 31, 10, 0, 0, 14 * 3600)},
      {"two days over the skipped day",
       "Pacific/Apia",
       at(2011, 12, 29, 10, 0, 0, -10 * 3600),
       {{C::day, 2}},
       at(2011, 12, 31, 10, 0, 0, 14 * 3600)},
      {"back over the skipped day",
       "Pacific/Apia",
       at(2011, 12, 31, 10, 0, 0, 14 * 3600),
       {{C::day, -1}},
       at(2011, 12, 29, 10, 0, 0, -10 * 3600)},
      {"a week over the skipped day stays on Thursday",
       "Pacific/Apia",
       at(2011, 12, 29, 10, 0, 0, -10 * 3600),
       {{C::weekOfYear, 1}},
       at(2012, 1, 5, 10, 0, 0, 14 * 3600)},
      {"sixteen days from the 15th",
       "Pacific/Apia",
       at(2011, 12, 15, 10, 0, 0, -10 * 3600),
       {{C::day, 16}},
       at(2011, 12, 31, 10, 0, 0, 14 * 3600)},
      {"31 January 2024 plus a month", "GMT", at(2024, 1, 31), {{C::month, 1}}, at(2024, 2, 29)},
      {"31 January 2023 plus a month", "GMT", at(2023, 1, 31), {{C::month, 1}}, at(2023, 2, 28)},
      {"31 March minus a month", "GMT", at(2024, 3, 31), {{C::month, -1}}, at(2024, 2, 29)},
      {"29 February plus a year", "GMT", at(2024, 2, 29), {{C::year, 1}}, at(2025, 2, 28)},
      {"29 February plus four years", "GMT", at(2024, 2, 29), {{C::year, 4}}, at(2028, 2, 29)},
      {"calendar and zone entries are ignored",
       "GMT",
       at(2024, 1, 1),
       {{C::calendar, 5}, {C::timeZone, 7}, {C::day, 2}},
       at(2024, 1, 3)},
      {"three billion seconds",
       "GMT",
       at(1970, 1, 1),
       {{C::second, 3'000'000'000}},
       Date::fromTimeIntervalSince1970(3'000'000'000.0)},
      {"a billion minutes",
       "GMT",
       at(2000, 1, 1),
       {{C::minute, 1'000'000'000}},
       Date::fromTimeIntervalSince1970(seconds(at(2000, 1, 1)) + 60e9)},
      {"three billion days in pieces",
       "GMT",
       at(1970, 1, 1),
       {{C::day, 3'000'000'000}},
       std::nullopt},
      {"six million years", "GMT", at(1970, 1, 1), {{C::year, 6'000'000}}, std::nullopt},
      {"minus six million years", "GMT", at(1970, 1, 1), {{C::year, -6'000'000}}, std::nullopt},
      {"the largest count of days", "GMT", at(1970, 1, 1), {{C::day, 2'147'483'647}}, std::nullopt},
      {"the largest 64-bit count of days",
       "GMT",
       at(1970, 1, 1),
       {{C::day, int64Max}},
       std::nullopt},
      {"nearly the largest 64-bit count of days",
       "GMT",
       at(1970, 1, 1),
       {{C::day, int64Max - 1}},
       std::nullopt},
      {"the least 64-bit count of months",
       "GMT",
       at(1970, 1, 1),
       {{C::month, std::numeric_limits<std::int64_t>::min()}},
       std::nullopt},
      {"the largest 64-bit count of seconds",
       "GMT",
       at(1970, 1, 1),
       {{C::second, int64Max}},
       std::nullopt},
      {"the largest 64-bit count of hours",
       "GMT",
       at(1970, 1, 1),
       {{C::hour, int64Max}},
       std::nullopt},
      {"a million years fits", "GMT", at(1970, 1, 1), {{C::year, 1'000'000}}, at(1'001'970, 1, 1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DateInRegion start(c.start, region(c.zone, "en_US"));
    auto result = start + c.values;
    if (!c.expected) {
      EXPECT_FALSE(result) << seconds(result);
      continue;
    }
    ASSERT_TRUE(result);
    EXPECT_DOUBLE_EQ(seconds(result), seconds(*c.expected));
    EXPECT_EQ(result->region(), start.region());
  }
}

TEST(DateArithmetic, RefusesWhatCannotBeNegatedOrMultiplied) {
  DateInRegion start(at(2024, 1, 1), region("GMT"));
  const ComponentValues least{{C::day, std::numeric_limits<std::int64_t>::min()}};
  EXPECT_FALSE(start - least);
  EXPECT_DOUBLE_EQ(seconds(start - ComponentValues{{C::day, 3}}), seconds(at(2023, 12, 29)));
  const ComponentValues half{{C::day, int64Max / 2 + 1}};
  EXPECT_FALSE(dateComponents(half, 2));
  EXPECT_FALSE(negated(ComponentValues{{C::hour, std::numeric_limits<std::int64_t>::min()}}));
  auto tripled = dateComponents({{C::day, 2}, {C::calendar, 1}}, 3, region("Asia/Tokyo"));
  ASSERT_TRUE(tripled);
  EXPECT_EQ(tripled->day, 6);
  EXPECT_EQ(tripled->timeZone, region("Asia/Tokyo").timeZone());
  // dateByAdding keeps the receiver where there is no date.
  EXPECT_DOUBLE_EQ(seconds(start.dateByAdding(6'000'000, C::year).date()), seconds(at(2024, 1, 1)));
  EXPECT_DOUBLE_EQ(seconds(start.dateByAdding(9, C::calendar).date()), seconds(at(2024, 1, 1)));
  EXPECT_DOUBLE_EQ(start - DateInRegion(at(2024, 1, 1), region("Asia/Tokyo")), 0);
}

struct RoundingCase {
  const char* name;
  const char* zone;
  Date start;
  RoundDateMode mode;
  Date expected;
};

TEST(DateArithmetic, RoundsMinutes) {
  const std::vector<RoundingCase> cases = {
      {"to5 at 10:14:30 floors", "GMT", at(2024, 5, 1, 10, 14, 30), RoundDateMode::to5Mins{},
       at(2024, 5, 1, 10, 10)},
      {"to5 at 10:15:00 ceils", "GMT", at(2024, 5, 1, 10, 15), RoundDateMode::to5Mins{},
       at(2024, 5, 1, 10, 20)},
      {"to5 at 10:17:10 ceils", "GMT", at(2024, 5, 1, 10, 17, 10), RoundDateMode::to5Mins{},
       at(2024, 5, 1, 10, 20)},
      {"toMins(30) decides by the last digit", "GMT", at(2024, 5, 1, 10, 20),
       RoundDateMode::toMins{30}, at(2024, 5, 1, 10, 0)},
      {"toCeilMins on a multiple moves a whole step", "GMT", at(2024, 5, 1, 10, 30),
       RoundDateMode::toCeilMins{30}, at(2024, 5, 1, 11, 0)},
      {"toFloor10 keeps the half second", "GMT", at(2024, 5, 1, 10, 10, 0.5),
       RoundDateMode::toFloor10Mins{}, at(2024, 5, 1, 10, 10, 0.5)},
      {"toCeil30 over the spring gap", "Europe/Rome", at(2024, 3, 31, 1, 50, 0, cet),
       RoundDateMode::toCeil30Mins{}, at(2024, 3, 31, 3, 0, 0, cest)},
      {"toCeil30 into the second occurrence", "Europe/Rome", at(2024, 10, 27, 2, 50, 0, cest),
       RoundDateMode::toCeil30Mins{}, at(2024, 10, 27, 2, 0, 0, cet)},
      {"toFloor30 within the second occurrence", "Europe/Rome", at(2024, 10, 27, 2, 10, 0, cet),
       RoundDateMode::toFloor30Mins{}, at(2024, 10, 27, 2, 0, 0, cet)},
      {"toCeil30 onto a midnight that does not exist", "America/Sao_Paulo",
       at(2018, 11, 3, 23, 50, 0, -3 * 3600), RoundDateMode::toCeil30Mins{},
       at(2018, 11, 4, 1, 0, 0, -2 * 3600)},
      {"a step of zero leaves the date", "GMT", at(2024, 5, 1, 10, 17), RoundDateMode::toMins{0},
       at(2024, 5, 1, 10, 17)},
      {"a negative step leaves the date", "GMT", at(2024, 5, 1, 10, 17),
       RoundDateMode::toCeilMins{-5}, at(2024, 5, 1, 10, 17)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DateInRegion start(c.start, region(c.zone, "en_US"));
    EXPECT_DOUBLE_EQ(seconds(start.dateRoundedAt(c.mode).date()), seconds(c.expected));
  }
}

struct RelatedCase {
  const char* name;
  const char* zone;
  const char* locale;
  Date start;
  DateRelatedType type;
  Date expected;
};

TEST(DateArithmetic, MovesToRelatedDates) {
  using T = DateRelatedType;
  // The machine's own zone and locale play no part in any of these.
  testing_dates::PinnedSettings machine{"de_DE", "America/Los_Angeles"};
  const int saoStd = -3 * 3600;
  const int saoDst = -2 * 3600;
  const int apiaBefore = -10 * 3600;
  const int apiaAfter = 14 * 3600;
  const std::vector<RelatedCase> cases = {
      {"nearest quarter hour down", "GMT", "en_US", at(2024, 5, 1, 10, 52, 20),
       T::nearestMinute{15}, at(2024, 5, 1, 10, 45, 20)},
      {"nearest quarter hour into the next hour", "GMT", "en_US", at(2024, 5, 1, 10, 53),
       T::nearestMinute{15}, at(2024, 5, 1, 11, 0)},
      {"nearest minute of zero", "GMT", "en_US", at(2024, 5, 1, 10, 53), T::nearestMinute{0},
       at(2024, 5, 1, 10, 53)},
      {"nearest six hours", "GMT", "en_US", at(2024, 5, 1, 10, 53, 5), T::nearestHour{6},
       at(2024, 5, 1, 12, 0, 5)},
      {"nearest hour of zero", "GMT", "en_US", at(2024, 5, 1, 10, 53), T::nearestHour{0},
       at(2024, 5, 1, 10, 53)},
      {"end of day at 10:00", "GMT", "en_US", at(2024, 5, 1, 10), T::endOfDay{},
       at(2024, 5, 1, 23, 59, 59)},
      {"end of February 2024", "GMT", "en_US", at(2024, 2, 15, 8), T::endOfMonth{},
       at(2024, 2, 29, 23, 59, 59.999)},
      {"start of month in the repeated hour", "Europe/Rome", "it_IT",
       at(2024, 10, 27, 2, 30, 0, cet), T::startOfMonth{}, at(2024, 10, 1, 0, 0, 0, cest)},
      {"start of week en_US", "GMT", "en_US", at(2024, 5, 1, 12), T::startOfWeek{},
       at(2024, 4, 28)},
      {"start of week it_IT", "GMT", "it_IT", at(2024, 5, 1, 12), T::startOfWeek{},
       at(2024, 4, 29)},
      {"start of week ar_EG", "GMT", "ar_EG", at(2024, 5, 1, 12), T::startOfWeek{},
       at(2024, 4, 27)},
      {"end of week it_IT", "GMT", "it_IT", at(2024, 5, 1, 12), T::endOfWeek{},
       at(2024, 5, 5, 23, 59, 59)},
      {"previous week it_IT", "GMT", "it_IT", at(2024, 5, 1, 12), T::prevWeek{}, at(2024, 4, 22)},
      {"next week en_US", "GMT", "en_US", at(2024, 5, 1, 12), T::nextWeek{}, at(2024, 5, 5)},
      {"next month", "GMT", "en_US", at(2024, 1, 31, 12), T::nextMonth{}, at(2024, 2, 1)},
      {"previous year", "GMT", "en_US", at(2024, 5, 1, 12), T::prevYear{}, at(2023, 1, 1)},
      {"Sao Paulo: start of the day without midnight", "America/Sao_Paulo", "pt_BR",
       at(2018, 11, 4, 12, 0, 0, saoDst), T::startOfDay{}, at(2018, 11, 4, 1, 0, 0, saoDst)},
      {"Sao Paulo: end of the 3rd", "America/Sao_Paulo", "pt_BR", at(2018, 11, 3, 12, 0, 0, saoStd),
       T::endOfDay{}, at(2018, 11, 3, 23, 59, 59, saoStd)},
      {"Sao Paulo: tomorrow at start", "America/Sao_Paulo", "pt_BR",
       at(2018, 11, 3, 12, 0, 0, saoStd), T::tomorrowAtStart{}, at(2018, 11, 4, 1, 0, 0, saoDst)},
      {"Sao Paulo: start of the pt_BR week", "America/Sao_Paulo", "pt_BR",
       at(2018, 11, 7, 12, 0, 0, saoDst), T::startOfWeek{}, at(2018, 11, 4, 1, 0, 0, saoDst)},
      {"Apia: tomorrow", "Pacific/Apia", "en_US", at(2011, 12, 29, 10, 0, 0, apiaBefore),
       T::tomorrow{}, at(2011, 12, 31, 10, 0, 0, apiaAfter)},
      {"Apia: yesterday", "Pacific/Apia", "en_US", at(2011, 12, 31, 10, 0, 0, apiaAfter),
       T::yesterday{}, at(2011, 12, 29, 10, 0, 0, apiaBefore)},
      {"Apia: end of December", "Pacific/Apia", "en_US", at(2011, 12, 15, 10, 0, 0, apiaBefore),
       T::endOfMonth{}, at(2011, 12, 31, 23, 59, 59.999, apiaAfter)},
      {"next daylight-saving change", "Europe/Rome", "it_IT", at(2024, 1, 15, 12, 0, 0, cet),
       T::nextDSTDate{}, at(2024, 3, 31, 1, 0)},
      {"no daylight saving in Tokyo", "Asia/Tokyo", "ja_JP", at(2024, 1, 15, 12), T::nextDSTDate{},
       at(2024, 1, 15, 12)},
      {"next Monday in Tokyo's own zone", "Asia/Tokyo", "ja_JP", at(2024, 5, 1, 10, 0, 0, 9 * 3600),
       T::nextWeekday{WeekDay::monday}, at(2024, 5, 6, 0, 0, 0, 9 * 3600)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DateInRegion start(c.start, region(c.zone, c.locale));
    EXPECT_DOUBLE_EQ(seconds(start.dateAt(c.type).date()), seconds(c.expected));
  }
  // Weeks of the Chinese calendar start in the same week, not centuries away.
  DateInRegion chinese(at(2024, 5, 1, 12, 0, 0, 8 * 3600),
                       region("Asia/Shanghai", "zh_CN", platform::Calendar::Identifier::chinese));
  EXPECT_DOUBLE_EQ(seconds(chinese.dateAt(T::startOfWeek{}).date()),
                   seconds(at(2024, 4, 29, 0, 0, 0, 8 * 3600)));
  EXPECT_DOUBLE_EQ(seconds(chinese.dateAt(T::endOfWeek{}).date()),
                   seconds(at(2024, 5, 5, 23, 59, 59, 8 * 3600)));
}

TEST(DateArithmetic, SetsAndTruncatesOnTheReceiversSide) {
  Region rome = region("Europe/Rome", "it_IT");
  DateInRegion firstPass(at(2024, 10, 27, 2, 50, 0, cest), rome);
  DateInRegion secondPass(at(2024, 10, 27, 2, 50, 0, cet), rome);
  EXPECT_DOUBLE_EQ(seconds(firstPass.dateBySet({{C::minute, 45}})),
                   seconds(at(2024, 10, 27, 2, 45, 0, cest)));
  EXPECT_DOUBLE_EQ(seconds(secondPass.dateBySet({{C::minute, 45}})),
                   seconds(at(2024, 10, 27, 2, 45, 0, cet)));
  EXPECT_DOUBLE_EQ(seconds(firstPass.dateTruncated(C::minute)),
                   seconds(at(2024, 10, 27, 2, 0, 0, cest)));
  EXPECT_DOUBLE_EQ(seconds(secondPass.dateTruncated(C::minute)),
                   seconds(at(2024, 10, 27, 2, 0, 0, cet)));
  // Built from numbers alone, a repeated time is its first occurrence.
  EXPECT_DOUBLE_EQ(seconds(DateInRegion::fromNumbers(2024, 10, 27, 2, 30, 0, 0, rome)),
                   seconds(at(2024, 10, 27, 0, 30)));

  DateInRegion morning(at(2024, 5, 1, 10, 42, 17.5), region("GMT"));
  EXPECT_DOUBLE_EQ(seconds(morning.dateTruncated(C::hour)), seconds(at(2024, 5, 1)));
  EXPECT_DOUBLE_EQ(seconds(morning.dateTruncated(C::minute)), seconds(at(2024, 5, 1, 10)));
  EXPECT_DOUBLE_EQ(seconds(morning.dateTruncated(C::quarter)), seconds(morning.date()));
  EXPECT_DOUBLE_EQ(seconds(morning.dateBySet({})), seconds(morning.date()));
  EXPECT_DOUBLE_EQ(seconds(morning.dateBySet(std::nullopt, std::nullopt, std::nullopt, 250)),
                   seconds(at(2024, 5, 1, 10, 42, 17.25)));
  EXPECT_DOUBLE_EQ(seconds(morning.dateBySet(7, 5, std::nullopt, std::nullopt)),
                   seconds(at(2024, 5, 1, 7, 5, 17)));
  // Setting an hour the day skips follows the policy; strict finds none.
  DateInRegion spring(at(2024, 3, 31, 12, 0, 0, cest), rome);
  TimeCalculationOptions strict{platform::Calendar::MatchingPolicy::strict};
  EXPECT_FALSE(spring.dateBySet(2, 30, 0, std::nullopt, strict));
  EXPECT_DOUBLE_EQ(seconds(spring.dateBySet(2, 30, 0, std::nullopt)),
                   seconds(at(2024, 3, 31, 3, 0, 0, cest)));
}

TEST(DateArithmetic, FindsWeekdaysAndDaysOfTheMonth) {
  Region rome = region("Europe/Rome", "it_IT");
  struct Case {
    const char* name;
    DateInRegion start;
    WeekDay weekday;
    Date expected;
  };
  const std::vector<Case> cases = {
      {"Sunday into the spring gap", DateInRegion(at(2024, 3, 24, 2, 30, 0, cet), rome),
       WeekDay::sunday, at(2024, 3, 31, 3, 30, 0, cest)},
      {"Sunday into the repeated hour", DateInRegion(at(2024, 10, 20, 2, 30, 0, cest), rome),
       WeekDay::sunday, at(2024, 10, 27, 2, 30, 0, cest)},
      {"Friday from a Friday is a week on", DateInRegion(at(2024, 5, 3, 15), region("GMT")),
       WeekDay::friday, at(2024, 5, 10, 15)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_DOUBLE_EQ(seconds(c.start.nextWeekday(c.weekday).date()), seconds(c.expected));
  }

  DateInRegion april(at(2024, 4, 10, 9, 30), region("GMT"));
  // April 2024 begins on a Monday, October 2024 on a Tuesday.
  EXPECT_DOUBLE_EQ(seconds(april.dateAt(1, WeekDay::monday, 4, 2024).date()),
                   seconds(at(2024, 4, 1, 9, 30)));
  EXPECT_DOUBLE_EQ(seconds(april.dateAt(1, WeekDay::monday, 10, 2024).date()),
                   seconds(at(2024, 10, 7, 9, 30)));
  EXPECT_DOUBLE_EQ(seconds(april.dateAt(3, WeekDay::friday, std::nullopt, std::nullopt).date()),
                   seconds(at(2024, 4, 19, 9, 30)));
  EXPECT_DOUBLE_EQ(seconds(april.nextDate(1, WeekDay::monday, std::nullopt).date()),
                   seconds(at(2024, 5, 6, 9, 30)));
  EXPECT_DOUBLE_EQ(seconds(april.dateAfter(2, WeekDay::wednesday).date()),
                   seconds(at(2024, 4, 24, 9, 30)));
  EXPECT_EQ(april.monthDays(), 30);

  // Days no month holds give the receiver at once.
  for (auto [day, month] : {std::pair<std::int64_t, std::optional<std::int64_t>>{0, std::nullopt},
                            {32, std::nullopt},
                            {5, 13}}) {
    EXPECT_DOUBLE_EQ(seconds(april.nextDate(day, month).date()), seconds(april.date()));
  }
  // A day the month lacks is the next day at the same time (the searches keep smaller units).
  EXPECT_DOUBLE_EQ(seconds(april.nextDate(29, 2).date()), seconds(at(2025, 3, 1, 9, 30)));
  EXPECT_DOUBLE_EQ(seconds(april.nextDate(31, std::nullopt).date()),
                   seconds(at(2024, 5, 1, 9, 30)));
  EXPECT_DOUBLE_EQ(seconds(april.nextDate(9, 4).date()), seconds(at(2025, 4, 9, 9, 30)));

  auto mondays =
      DateInRegion::datesForWeekday(WeekDay::monday, 4, 2024, region("America/New_York"));
  ASSERT_EQ(mondays.size(), 5u);
  EXPECT_DOUBLE_EQ(seconds(mondays.front().date()), seconds(at(2024, 4, 1, 0, 0, 0, -4 * 3600)));
  EXPECT_DOUBLE_EQ(seconds(mondays.back().date()), seconds(at(2024, 4, 29, 0, 0, 0, -4 * 3600)));
}

TEST(DateArithmetic, StartsAndEndsUnits) {
  DateInRegion date(at(2024, 5, 1, 10), region("GMT"));
  EXPECT_DOUBLE_EQ(seconds(date.dateAtEndOf(C::day).date()),
                   seconds(at(2024, 5, 1, 23, 59, 59.999)));
  EXPECT_DOUBLE_EQ(seconds(date.dateAtStartOf({C::month, C::hour}).date()),
                   seconds(at(2024, 5, 1)));
  EXPECT_DOUBLE_EQ(seconds(date.dateAtEndOf(std::vector<C>{}).date()), seconds(date.date()));
  // The one component that names no unit leaves the date as it is.
  EXPECT_DOUBLE_EQ(seconds(date.dateAtStartOf(C::isLeapMonth).date()), seconds(date.date()));
  EXPECT_DOUBLE_EQ(seconds(date.dateAtEndOf({C::isLeapMonth}).date()), seconds(date.date()));

  DateInRegion converted = date.converted(platform::Calendar::Identifier::buddhist,
                                          testing_dates::zone("Asia/Tokyo"), "th_TH");
  EXPECT_EQ(converted.date(), date.date());
  EXPECT_EQ(converted.region().calendar().identifier(), platform::Calendar::Identifier::buddhist);
  EXPECT_EQ(converted.year(), 2567);
  EXPECT_EQ(converted.hour(), 19);
}

}  // namespace
}  // namespace almanac
