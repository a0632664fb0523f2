#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <optional>
#include <vector>

#include "platform/time/calendar.h"
#include "platform/time/date_components.h"
#include "platform/time/support/dates.h"

namespace platform {
namespace {

using testing_dates::at;
using testing_dates::zone;
using C = Calendar::Component;
using Policy = Calendar::MatchingPolicy;
using Repeated = Calendar::RepeatedTimePolicy;
using Direction = Calendar::SearchDirection;

constexpr int cet = 3600;
constexpr int cest = 7200;

Calendar calendar(const char* zoneId, const char* locale = "en_US",
                  Calendar::Identifier identifier = Calendar::Identifier::gregorian) {
  Calendar result(identifier);
  result.setTimeZone(zone(zoneId));
  result.setLocale(Locale(locale));
  return result;
}

DateComponents matching(std::initializer_list<std::pair<C, std::int64_t>> values) {
  DateComponents result;
  for (auto [component, value] : values)
    result.setValue(value, component);
  return result;
}

struct SearchCase {
  const char* name;
  Date after;
  DateComponents matching;
  Policy policy;
  Repeated repeated;
  Direction direction;
  std::optional<Date> expected;
};

TEST(CalendarSearch, FindsTheNextMatchByThePolicies) {
  Calendar rome = calendar("Europe/Rome", "it_IT");
  const auto gapTime = matching({{C::hour, 2}, {C::minute, 30}});
  const auto leapDay = matching({{C::month, 2}, {C::day, 29}, {C::hour, 10}});
  const Date march = at(2024, 3, 30, 12, 0, 0, cet);
  const Date october = at(2024, 10, 26, 12, 0, 0, cest);
  const Date january2025 = at(2025, 1, 10, 12, 0, 0, cet);
  const Repeated first = Repeated::first;
  const Direction forward = Direction::forward;
  const std::vector<SearchCase> cases = {
      {"strict skips the gap to the next day", march, gapTime, Policy::strict, first, forward,
       at(2024, 4, 1, 2, 30, 0, cest)},
      {"next time is the end of the gap", march, gapTime, Policy::nextTime, first, forward,
       at(2024, 3, 31, 3, 0, 0, cest)},
      {"preserving smaller components moves on by the gap", march, gapTime,
       Policy::nextTimePreservingSmallerComponents, first, forward,
       at(2024, 3, 31, 3, 30, 0, cest)},
      {"previous time keeps the minutes before the gap", march, gapTime,
       Policy::previousTimePreservingSmallerComponents, first, forward,
       at(2024, 3, 31, 1, 30, 0, cet)},
      {"the first of a repeated time", october, gapTime, Policy::strict, Repeated::first, forward,
       at(2024, 10, 27, 2, 30, 0, cest)},
      {"the last of a repeated time", october, gapTime, Policy::strict, Repeated::last, forward,
       at(2024, 10, 27, 2, 30, 0, cet)},
      {"strict finds the next leap day", january2025, leapDay, Policy::strict, first, forward,
       at(2028, 2, 29, 10, 0, 0, cet)},
      {"next time after a missing day", january2025, leapDay, Policy::nextTime, first, forward,
       at(2025, 3, 1, 0, 0, 0, cet)},
      {"the next day at the wanted time", january2025, leapDay,
       Policy::nextTimePreservingSmallerComponents, first, forward, at(2025, 3, 1, 10, 0, 0, cet)},
      {"the last day of the month at the wanted time", january2025, leapDay,
       Policy::previousTimePreservingSmallerComponents, first, forward,
       at(2025, 2, 28, 10, 0, 0, cet)},
      {"a weekday alone is its midnight", at(2024, 5, 1, 12, 0, 0, cest),
       matching({{C::weekday, 2}}), Policy::strict, first, forward, at(2024, 5, 6, 0, 0, 0, cest)},
      {"strictly after: the same time a day later", at(2024, 5, 1, 2, 30, 0, cest), gapTime,
       Policy::strict, first, forward, at(2024, 5, 2, 2, 30, 0, cest)},
      {"backward", at(2024, 5, 1, 12, 0, 0, cest), matching({{C::day, 31}}), Policy::strict, first,
       Direction::backward, at(2024, 3, 31, 0, 0, 0, cet)},
      {"a minute alone in every hour", at(2024, 5, 1, 12, 40, 0, cest), matching({{C::minute, 15}}),
       Policy::strict, first, forward, at(2024, 5, 1, 13, 15, 0, cest)},
      {"day 0", march, matching({{C::day, 0}}), Policy::strict, first, forward, std::nullopt},
      {"day 32", march, matching({{C::day, 32}}), Policy::nextTime, first, forward, std::nullopt},
      {"month 13", march, matching({{C::month, 13}}), Policy::nextTime, first, forward,
       std::nullopt},
      {"hour 24", march, matching({{C::hour, 24}}), Policy::nextTime, first, forward, std::nullopt},
      {"weekday 8", march, matching({{C::weekday, 8}}), Policy::nextTime, first, forward,
       std::nullopt},
      {"30 February", march, matching({{C::month, 2}, {C::day, 30}}), Policy::strict, first,
       forward, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto started = std::chrono::steady_clock::now();
    auto found = rome.nextDate(c.after, c.matching, c.policy, c.repeated, c.direction);
    // Even the searches that find nothing give up well within a test's patience.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    ASSERT_EQ(found.has_value(), c.expected.has_value());
    if (found) {
      EXPECT_EQ(found->timeIntervalSince1970(), c.expected->timeIntervalSince1970());
    }
  }
}

TEST(CalendarSearch, SetsATimeOnTheDatesOwnDay) {
  Calendar rome = calendar("Europe/Rome", "it_IT");
  Date spring = at(2024, 3, 31, 12, 0, 0, cest);
  Date autumn = at(2024, 10, 27, 12, 0, 0, cet);
  EXPECT_FALSE(rome.date(bySettingHour, 2, 30, 0, spring, Policy::strict));
  EXPECT_EQ(rome.date(bySettingHour, 2, 30, 0, spring, Policy::nextTime),
            at(2024, 3, 31, 3, 0, 0, cest));
  EXPECT_EQ(rome.date(bySettingHour, 2, 30, 0, autumn, Policy::strict, Repeated::last),
            at(2024, 10, 27, 2, 30, 0, cet));
  EXPECT_EQ(rome.date(bySettingHour, 23, 59, 59, autumn, Policy::strict),
            at(2024, 10, 27, 23, 59, 59, cet));
  EXPECT_FALSE(rome.date(bySettingHour, 24, 0, 0, autumn, Policy::nextTime));
}

TEST(CalendarUnits, EndWhereTheNextStarts) {
  struct Case {
    const char* name;
    Calendar calendar;
    Date instant;
    C unit;
    Date start;
    double length;
  };
  const int sao = -3 * 3600;
  const int saoDst = -2 * 3600;
  const std::vector<Case> cases = {
      {"a day that starts at 01:00", calendar("America/Sao_Paulo", "pt_BR"),
       at(2018, 11, 4, 12, 0, 0, saoDst), C::day, at(2018, 11, 4, 1, 0, 0, saoDst), 23 * 3600.0},
      {"the day before it", calendar("America/Sao_Paulo", "pt_BR"), at(2018, 11, 3, 12, 0, 0, sao),
       C::day, at(2018, 11, 3, 0, 0, 0, sao), 24 * 3600.0},
      {"the Sunday-first week holding it", calendar("America/Sao_Paulo", "pt_BR"),
       at(2018, 11, 7, 12, 0, 0, saoDst), C::weekOfYear, at(2018, 11, 4, 1, 0, 0, saoDst),
       (7 * 24 - 1) * 3600.0},
      {"a day whose midnight repeats", calendar("America/Havana"),
       at(2024, 11, 3, 12, 0, 0, -5 * 3600), C::day, at(2024, 11, 3, 0, 0, 0, -4 * 3600),
       25 * 3600.0},
      {"the hour of the first pass", calendar("Europe/Rome", "it_IT"),
       at(2024, 10, 27, 2, 30, 15, cest), C::hour, at(2024, 10, 27, 2, 0, 0, cest), 3600},
      {"the minute of the second pass", calendar("Europe/Rome", "it_IT"),
       at(2024, 10, 27, 2, 30, 15, cet), C::minute, at(2024, 10, 27, 2, 30, 0, cet), 60},
      {"an hour at a half-hour offset", calendar("Asia/Kolkata"), at(2024, 5, 1, 10, 45, 0, 19800),
       C::hour, at(2024, 5, 1, 10, 0, 0, 19800), 3600},
      {"Reiwa 1", calendar("Asia/Tokyo", "ja_JP", Calendar::Identifier::japanese),
       at(2019, 6, 1, 12, 0, 0, 9 * 3600), C::year, at(2019, 5, 1, 0, 0, 0, 9 * 3600),
       245 * 86400.0},
      {"Heisei 31, ended by Reiwa", calendar("Asia/Tokyo", "ja_JP", Calendar::Identifier::japanese),
       at(2019, 3, 1, 12, 0, 0, 9 * 3600), C::year, at(2019, 1, 1, 0, 0, 0, 9 * 3600),
       120 * 86400.0},
      {"Apia's short December", calendar("Pacific/Apia"), at(2011, 12, 15, 12, 0, 0, -10 * 3600),
       C::month, at(2011, 12, 1, 0, 0, 0, -10 * 3600), 30 * 86400.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto unit = c.calendar.dateInterval(c.unit, c.instant);
    ASSERT_TRUE(unit);
    EXPECT_EQ(unit->start.timeIntervalSince1970(), c.start.timeIntervalSince1970());
    EXPECT_EQ(unit->duration, c.length);
    EXPECT_TRUE(unit->contains(c.instant));
  }
}

TEST(CalendarDifferences, CountTimeInSixtyFourBits) {
  Calendar gmt = calendar("GMT");
  auto span = gmt.dateComponents({C::second}, Date::distantPast(), Date::distantFuture());
  EXPECT_EQ(span.second, 126'227'980'800);
  auto hours = gmt.dateComponents({C::hour, C::minute}, at(1900, 1, 1), at(2200, 1, 1, 0, 30));
  EXPECT_EQ(hours.hour, 2'629'752);
  EXPECT_EQ(hours.minute, 30);
  EXPECT_FALSE(gmt.dateComponents({C::nanosecond}, at(1700, 1, 1), at(2000, 1, 1)).nanosecond);
  EXPECT_EQ(
      gmt.dateComponents({C::nanosecond}, at(2000, 1, 1), at(2000, 1, 1, 0, 0, 2.5)).nanosecond,
      2'500'000'000);

  // Weekdays, their ordinals and quarters count beside the days and months, not out of them.
  Calendar::ComponentSet all = {C::era,
                                C::year,
                                C::month,
                                C::day,
                                C::hour,
                                C::minute,
                                C::second,
                                C::weekday,
                                C::weekdayOrdinal,
                                C::quarter,
                                C::weekOfMonth,
                                C::weekOfYear,
                                C::yearForWeekOfYear,
                                C::nanosecond};
  auto may = gmt.dateComponents(all, at(2024, 5, 1), at(2024, 5, 4));
  EXPECT_EQ(may.day, 3);
  EXPECT_EQ(may.weekday, 3);
  auto summer = gmt.dateComponents(all, at(2024, 1, 10), at(2024, 8, 25));
  EXPECT_EQ(summer.quarter, 2);
  EXPECT_EQ(summer.month, 7);
  // Weeks are units of days: the two weeks from 10 to 24 August leave one day.
  EXPECT_EQ(summer.weekOfYear, 2);
  EXPECT_EQ(summer.day, 1);
}

TEST(CalendarFields, BuildRepeatedTimesOnTheAskedSide) {
  Calendar rome = calendar("Europe/Rome", "it_IT");
  auto components =
      matching({{C::year, 2024}, {C::month, 10}, {C::day, 27}, {C::hour, 2}, {C::minute, 45}});
  EXPECT_EQ(rome.date(components), at(2024, 10, 27, 2, 45, 0, cest));
  EXPECT_EQ(rome.date(components, at(2024, 10, 27, 2, 50, 0, cet)),
            at(2024, 10, 27, 2, 45, 0, cet));
  EXPECT_EQ(rome.date(components, at(2024, 10, 27, 2, 50, 0, cest)),
            at(2024, 10, 27, 2, 45, 0, cest));
  // Far from the change the hint plays no part.
  EXPECT_EQ(rome.date(components, at(2024, 7, 1)), at(2024, 10, 27, 2, 45, 0, cest));
  EXPECT_FALSE(calendar("GMT").date(matching({{C::year, 6'000'000}, {C::month, 1}, {C::day, 1}})));
  EXPECT_TRUE(calendar("GMT").date(matching({{C::year, 2'000'000}, {C::month, 1}, {C::day, 1}})));
}

}  // namespace
}  // namespace platform
