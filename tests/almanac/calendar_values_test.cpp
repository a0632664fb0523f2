#include "almanac/calendar_values.h"

#include <gtest/gtest.h>

#include "almanac/almanac.h"
#include "almanac/calculation_options.h"

namespace almanac {
namespace {

TEST(WeekDay, ComesFromOneToSeven) {
  EXPECT_FALSE(WeekDay::fromRawValue(0));
  EXPECT_FALSE(WeekDay::fromRawValue(8));
  EXPECT_EQ(WeekDay::fromRawValue(1), WeekDay::sunday);
  EXPECT_EQ(WeekDay::fromRawValue(7), WeekDay::saturday);
  EXPECT_EQ(WeekDay(WeekDay::monday).rawValue(), 2);
}

TEST(WeekDay, CountsRoundTheWeek) {
  EXPECT_EQ(WeekDay(WeekDay::sunday).subtract(1), WeekDay::saturday);
  EXPECT_EQ(WeekDay(WeekDay::saturday).add(8), WeekDay::sunday);
  EXPECT_EQ(WeekDay(WeekDay::wednesday).add(-10), WeekDay::sunday);
  EXPECT_EQ(WeekDay(WeekDay::monday).subtract(-6), WeekDay::sunday);
  // The extreme counts neither overflow nor leave the week: -2^63 is one day short of a whole
  // number of weeks.
  EXPECT_EQ(WeekDay(WeekDay::monday).add(std::numeric_limits<std::int64_t>::min()),
            WeekDay::sunday);
  EXPECT_EQ(WeekDay(WeekDay::friday).subtract(std::numeric_limits<std::int64_t>::min()),
            WeekDay::saturday);
}

TEST(Month, ComesFromZeroToEleven) {
  EXPECT_EQ(Month::fromRawValue(0), Month::january);
  EXPECT_EQ(Month::fromRawValue(11), Month::december);
  EXPECT_FALSE(Month::fromRawValue(12));
  EXPECT_FALSE(Month::fromRawValue(-1));
}

TEST(Month, CountsRoundTheYearAndKnowsItsDays) {
  EXPECT_EQ(Month(Month::january).add(-13), Month::december);
  EXPECT_EQ(Month(Month::november).add(14), Month::january);
  EXPECT_EQ(Month(Month::march).subtract(15), Month::december);
  EXPECT_EQ(Month(Month::february).numberOfDays(1900), 28);
  EXPECT_EQ(Month(Month::february).numberOfDays(2000), 29);
  EXPECT_EQ(Month(Month::february).numberOfDays(2024), 29);
  EXPECT_EQ(Month(Month::april).numberOfDays(2024), 30);
  EXPECT_EQ(Month(Month::august).numberOfDays(2023), 31);
}

TEST(Year, FollowsTheGregorianLeapRule) {
  EXPECT_FALSE(Year{2100}.isLeap());
  EXPECT_TRUE(Year{2000}.isLeap());
  EXPECT_TRUE(Year{2024}.isLeap());
  EXPECT_FALSE(Year{2023}.isLeap());
  EXPECT_TRUE(Year{-4}.isLeap());
  EXPECT_EQ(Year{2024}.numberOfDays(), 366);
  EXPECT_EQ(Year{1900}.numberOfDays(), 365);
  EXPECT_EQ(Year{-42}.description(), "-42");
  EXPECT_EQ(Year{7}, Year{7});
}

TEST(CalendarNames, ComeFromTheDefaultCalendarInTheGivenLocale) {
  Region saved = Almanac::defaultRegion();
  Almanac::setDefaultRegion(
      Region(platform::Calendar::Identifier::gregorian, Zones::gmt, Locales::englishUnitedStates));
  EXPECT_EQ(
      WeekDay(WeekDay::monday).name(SymbolFormatStyle::default_, Locales::englishUnitedStates),
      "Monday");
  EXPECT_EQ(WeekDay(WeekDay::sunday).name(SymbolFormatStyle::short_, "en_US"), "Sun");
  EXPECT_EQ(WeekDay(WeekDay::saturday).name(SymbolFormatStyle::veryShort, "en_US"), "S");
  EXPECT_EQ(WeekDay(WeekDay::monday).name(SymbolFormatStyle::defaultStandalone, "fr_FR"), "lundi");
  EXPECT_EQ(Month(Month::march).name(SymbolFormatStyle::short_, "en_US"), "Mar");
  EXPECT_EQ(Month(Month::january).name(SymbolFormatStyle::default_, "de_DE"), "Januar");
  EXPECT_EQ(Month(Month::december).name(SymbolFormatStyle::standaloneVeryShort, "en_US"), "D");
  EXPECT_EQ(Month(Month::october).description(), "October");
  Almanac::setDefaultRegion(saved);
}

TEST(CalendarNames, LookupsOutsideAListAnswerNothing) {
  std::vector<std::string> quarters = {"Q1", "Q2", "Q3", "Q4"};
  EXPECT_EQ(symbolAt(quarters, 3), "Q4");
  EXPECT_EQ(symbolAt(quarters, 4), "");
  EXPECT_EQ(symbolAt(quarters, -1), "");
  EXPECT_EQ(symbolAt({}, 0), "");
  EXPECT_EQ(symbolAt(quarters, std::numeric_limits<std::int64_t>::min()), "");
}

TEST(CalculationOptions, MapComponentsToUnitBits) {
  using C = platform::Calendar::Component;
  using U = platform::CalendarUnit;
  EXPECT_EQ(unit(C::nanosecond), U::nanosecond);
  EXPECT_EQ(static_cast<std::uint64_t>(*unit(C::nanosecond)), 32768u);
  EXPECT_EQ(static_cast<std::uint64_t>(*unit(C::timeZone)), 2097152u);
  EXPECT_EQ(static_cast<std::uint64_t>(*unit(C::era)), 2u);
  EXPECT_EQ(static_cast<std::uint64_t>(*unit(C::weekday)), 512u);
  EXPECT_FALSE(unit(C::isLeapMonth));
  EXPECT_EQ(static_cast<std::uint64_t>(units({C::year, C::month, C::day, C::isLeapMonth})),
            4u | 8u | 16u);
  EXPECT_TRUE(platform::contains(units({C::hour, C::minute}), U::minute));
  EXPECT_FALSE(platform::contains(units({C::hour}), U::minute));
}

TEST(CalculationOptions, CarryTheirPayloads) {
  DateRelatedType next = DateRelatedType::nextWeekday{WeekDay::monday};
  ASSERT_TRUE(next.as<DateRelatedType::nextWeekday>());
  EXPECT_EQ(next.as<DateRelatedType::nextWeekday>()->weekday, WeekDay::monday);
  DateRelatedType nearest = DateRelatedType::nearestMinute{15};
  EXPECT_EQ(nearest.as<DateRelatedType::nearestMinute>()->minute, 15);
  EXPECT_FALSE(nearest.as<DateRelatedType::nearestHour>());
  EXPECT_EQ(DateRelatedType(DateRelatedType::nextDSTTransition{}).value().index(), 20u);

  RoundDateMode round = RoundDateMode::toCeilMins{7};
  EXPECT_EQ(round.as<RoundDateMode::toCeilMins>()->minutes, 7);
  EXPECT_FALSE(round.as<RoundDateMode::toMins>());
  EXPECT_EQ(RoundDateMode(RoundDateMode::toFloor30Mins{}).value().index(), 11u);

  TimeCalculationOptions options{platform::Calendar::MatchingPolicy::strict,
                                 platform::Calendar::RepeatedTimePolicy::last,
                                 platform::Calendar::SearchDirection::backward};
  EXPECT_EQ(options.matchingPolicy, platform::Calendar::MatchingPolicy::strict);
  options.direction = platform::Calendar::SearchDirection::forward;
  EXPECT_EQ(options.direction, platform::Calendar::SearchDirection::forward);
  EXPECT_EQ(options.repeatedTimePolicy, platform::Calendar::RepeatedTimePolicy::last);
}

}  // namespace
}  // namespace almanac
