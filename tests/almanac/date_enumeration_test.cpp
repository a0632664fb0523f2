#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <vector>

#include "almanac/date_in_region.h"
#include "almanac/plain_date.h"
#include "almanac/support/date_fixtures.h"
#include "platform/foundation/log.h"

namespace almanac {
namespace {

using almanac_testing::FrozenClock;
using almanac_testing::region;
using platform::Date;
using testing_dates::at;
using C = platform::Calendar::Component;
using Id = platform::Calendar::Identifier;

std::vector<double> instants(const std::vector<DateInRegion>& dates) {
  std::vector<double> result;
  for (const auto& date : dates)
    result.push_back(date.timeIntervalSince1970());
  return result;
}

std::vector<double> instants(std::initializer_list<Date> dates) {
  std::vector<double> result;
  for (const auto& date : dates)
    result.push_back(date.timeIntervalSince1970());
  return result;
}

platform::DateComponents components(std::initializer_list<std::pair<C, std::int64_t>> values) {
  platform::DateComponents result;
  for (auto [component, value] : values)
    result.setValue(value, component);
  return result;
}

struct FixedCase {
  const char* name;
  const char* zone;
  Date from;
  Date to;
  platform::DateComponents increment;
  std::vector<double> expected;
};

// Every list ends, repeats no date and does not drift.
TEST(DateEnumeration, CountsEachFixedStepFromTheStart) {
  const int sao = -3 * 3600;
  const int saoDst = -2 * 3600;
  const int apia = -10 * 3600;
  const int apiaAfter = 14 * 3600;
  const std::vector<FixedCase> cases = {
      {"monthly from 31 January", "GMT", at(2024, 1, 31), at(2024, 5, 1),
       components({{C::month, 1}}),
       instants({at(2024, 1, 31), at(2024, 2, 29), at(2024, 3, 31), at(2024, 4, 30)})},
      {"daily over a missing midnight", "America/Sao_Paulo", at(2018, 11, 3, 0, 0, 0, sao),
       at(2018, 11, 5, 0, 0, 0, saoDst), components({{C::day, 1}}),
       instants({at(2018, 11, 3, 0, 0, 0, sao), at(2018, 11, 4, 1, 0, 0, saoDst),
                 at(2018, 11, 5, 0, 0, 0, saoDst)})},
      {"daily over a missing day", "Pacific/Apia", at(2011, 12, 28, 10, 0, 0, apia),
       at(2012, 1, 2, 10, 0, 0, apiaAfter), components({{C::day, 1}}),
       instants({at(2011, 12, 28, 10, 0, 0, apia), at(2011, 12, 29, 10, 0, 0, apia),
                 at(2011, 12, 31, 10, 0, 0, apiaAfter), at(2012, 1, 1, 10, 0, 0, apiaAfter),
                 at(2012, 1, 2, 10, 0, 0, apiaAfter)})},
      {"to equal to from", "GMT", at(2024, 1, 1), at(2024, 1, 1), components({{C::day, 1}}),
       instants({at(2024, 1, 1)})},
      {"to before from", "GMT", at(2024, 1, 2), at(2024, 1, 1), components({{C::day, 1}}), {}},
      {"a zero increment", "GMT", at(2024, 1, 1), at(2024, 2, 1), components({{C::day, 0}}),
       instants({at(2024, 1, 1)})},
      {"an empty increment", "GMT", at(2024, 1, 1), at(2024, 2, 1), components({}),
       instants({at(2024, 1, 1)})},
      {"a negative increment", "GMT", at(2024, 1, 1), at(2024, 2, 1), components({{C::day, -1}}),
       instants({at(2024, 1, 1)})},
      {"a nanosecond, below what a date resolves", "GMT", at(2024, 1, 1), at(2024, 2, 1),
       components({{C::nanosecond, 1}}), instants({at(2024, 1, 1)})},
      {"a day less 24 hours over a 23-hour day", "America/Sao_Paulo", at(2018, 11, 3, 0, 0, 0, sao),
       at(2018, 11, 6, 0, 0, 0, saoDst), components({{C::day, 1}, {C::hour, -24}}),
       instants({at(2018, 11, 3, 0, 0, 0, sao)})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Region here = region(c.zone, "en_US");
    platform::LogCapture capture;
    auto dates = DateInRegion::enumerateDates(DateInRegion(c.from, here), DateInRegion(c.to, here),
                                              c.increment);
    EXPECT_EQ(instants(dates), c.expected);
    EXPECT_EQ(capture.text(), "");
  }
}

TEST(DateEnumeration, StepsTheClosureFromEachDate) {
  Region gmt = region("GMT");
  auto monthly = [](const DateInRegion&) { return components({{C::month, 1}}); };
  EXPECT_EQ(instants(DateInRegion::enumerateDates(DateInRegion(at(2024, 1, 31), gmt),
                                                  DateInRegion(at(2024, 5, 1), gmt), monthly)),
            instants({at(2024, 1, 31), at(2024, 2, 29), at(2024, 3, 29), at(2024, 4, 29)}));
  // Three days, then a step that goes nowhere ends the list.
  int calls = 0;
  auto tiring = [&](const DateInRegion&) { return components({{C::day, ++calls <= 3 ? 1 : 0}}); };
  EXPECT_EQ(instants(DateInRegion::enumerateDates(DateInRegion(at(2024, 1, 1), gmt),
                                                  DateInRegion(at(2024, 2, 1), gmt), tiring)),
            instants({at(2024, 1, 1), at(2024, 1, 2), at(2024, 1, 3), at(2024, 1, 4)}));
  EXPECT_EQ(calls, 4);
  auto backwards = [](const DateInRegion&) { return components({{C::hour, -1}}); };
  EXPECT_EQ(DateInRegion::enumerateDates(DateInRegion(at(2024, 1, 1), gmt),
                                         DateInRegion(at(2024, 2, 1), gmt), backwards)
                .size(),
            1u);
}

TEST(DateEnumeration, RefusesRegionsWhoseCalendarsDiffer) {
  Region gregorian = region("GMT", "en_US");
  struct Case {
    const char* name;
    Region other;
  };
  const std::vector<Case> cases = {
      {"another calendar", region("GMT", "en_US", Id::buddhist)},
      {"another zone", region("Asia/Tokyo", "en_US")},
      {"another locale", region("GMT", "it_IT")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::LogCapture capture;
    auto dates = DateInRegion::enumerateDates(DateInRegion(at(2024, 1, 1), gregorian),
                                              DateInRegion(at(2024, 1, 3), c.other),
                                              components({{C::day, 1}}));
    EXPECT_TRUE(dates.empty());
    EXPECT_EQ(capture.text(),
              "\"Cannot enumerate dates between two different region's calendars. Return empty "
              "array.\"\n");
  }
}

TEST(DateEnumeration, ListsTheStartsOfWeekdays) {
  Region sao = region("America/Sao_Paulo", "pt_BR");
  auto sundays =
      DateInRegion::datesForWeekday(WeekDay::sunday, DateInRegion(at(2018, 10, 27, 15), sao),
                                    DateInRegion(at(2018, 11, 12), sao), sao);
  EXPECT_EQ(instants(sundays),
            instants({at(2018, 10, 28, 0, 0, 0, -3 * 3600), at(2018, 11, 4, 1, 0, 0, -2 * 3600),
                      at(2018, 11, 11, 0, 0, 0, -2 * 3600)}));

  Region gmt = region("GMT");
  // From a Friday afternoon: that Friday's start; an end at a later Friday's start leaves it out.
  auto fridays =
      DateInRegion::datesForWeekday(WeekDay::friday, DateInRegion(at(2024, 5, 3, 15), gmt),
                                    DateInRegion(at(2024, 5, 17), gmt), gmt);
  EXPECT_EQ(instants(fridays), instants({at(2024, 5, 3), at(2024, 5, 10)}));
  EXPECT_TRUE(DateInRegion::datesForWeekday(WeekDay::friday, DateInRegion(at(2024, 5, 3, 15), gmt),
                                            DateInRegion(at(2024, 5, 3), gmt), gmt)
                  .empty());

  // The month is found in the region it is asked for, not in GMT first.
  Region newYork = region("America/New_York", "en_US");
  auto plain = PlainDate::datesForWeekday(WeekDay::sunday, 6, 2024, newYork);
  ASSERT_EQ(plain.size(), 5u);
  EXPECT_EQ(plain.front().date(), at(2024, 6, 2, 0, 0, 0, -4 * 3600));
}

TEST(DateEnumeration, DrawsRandomDatesUniformlyBelowTheUpperBound) {
  Region gmt = region("GMT");
  DateInRegion lower(at(2024, 1, 1), gmt);
  DateInRegion upper(at(2024, 1, 1, 0, 0, 10), gmt);
  std::set<double> seen;
  for (const auto& date : DateInRegion::randomDates(2000, lower, upper)) {
    double offset = date.timeIntervalSince(lower);
    EXPECT_GE(offset, 0);
    EXPECT_LT(offset, 10);
    EXPECT_EQ(offset, std::floor(offset));
    seen.insert(offset);
  }
  EXPECT_EQ(seen.size(), 10u);

  // Spans far beyond 32 bits of seconds are drawn too.
  DateInRegion far(at(2400, 1, 1), gmt);
  std::set<bool> halves;
  for (int i = 0; i < 200; ++i) {
    auto date = DateInRegion::randomDate(lower, far);
    EXPECT_TRUE(date >= lower && date < far);
    halves.insert(date.timeIntervalSince(lower) > far.timeIntervalSince(lower) / 2);
  }
  EXPECT_EQ(halves.size(), 2u);

  struct Case {
    const char* name;
    DateInRegion from;
    DateInRegion to;
  };
  for (const auto& c :
       std::vector<Case>{{"half a second apart", lower, lower.addingTimeInterval(0.5)},
                         {"the wrong way round", upper, lower},
                         {"equal", lower, lower}}) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(DateInRegion::randomDate(c.from, c.to).date(), c.from.date());
  }
  EXPECT_TRUE(DateInRegion::randomDates(-3, lower, upper).empty());
  EXPECT_TRUE(DateInRegion::randomDates(0, lower, upper).empty());

  FrozenClock clock(at(2024, 6, 1, 12));
  EXPECT_EQ(DateInRegion::randomDate(-2, gmt).date(), at(2024, 6, 1, 12));
  auto recent = DateInRegion::randomDate(3, gmt);
  EXPECT_TRUE(recent.date() >= at(2024, 5, 29, 12) && recent.date() < at(2024, 6, 1, 12));
  auto any = DateInRegion::randomDate(gmt);
  EXPECT_TRUE(any.timeIntervalSince1970() >= 0 && any.timeIntervalSince1970() < 4294967295.0);
}

TEST(DateEnumeration, SortsAndPicksByInstant) {
  Region gmt = region("GMT");
  Region tokyo = region("Asia/Tokyo");
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<DateInRegion> dates = {
      DateInRegion::fromSeconds(nan, gmt),  DateInRegion::fromSeconds(30, gmt),
      DateInRegion::fromSeconds(10, gmt),   DateInRegion::fromSeconds(nan, tokyo),
      DateInRegion::fromSeconds(10, tokyo), DateInRegion::fromSeconds(20, gmt),
  };
  auto regionsAndInstants = [](const std::vector<DateInRegion>& list) {
    std::vector<std::pair<std::string, double>> result;
    for (const auto& date : list) {
      result.emplace_back(date.region().timeZone().identifier(), date.timeIntervalSince1970());
    }
    return result;
  };
  auto oldest = DateInRegion::sortedByOldest(dates);
  ASSERT_EQ(oldest.size(), 6u);
  EXPECT_EQ(instants(std::vector(oldest.begin(), oldest.begin() + 4)),
            (std::vector<double>{10, 10, 20, 30}));
  EXPECT_EQ(oldest[0].region(), gmt);  // stable: equal instants keep their order
  EXPECT_EQ(oldest[1].region(), tokyo);
  EXPECT_TRUE(std::isnan(oldest[4].timeIntervalSince1970()));
  EXPECT_EQ(oldest[4].region(), gmt);
  EXPECT_EQ(oldest[5].region(), tokyo);
  auto newest = regionsAndInstants(DateInRegion::sortedByNewest(dates));
  EXPECT_EQ(newest[0].second, 30);
  EXPECT_EQ(newest[2], (std::pair<std::string, double>{"GMT", 10}));
  EXPECT_EQ(newest[3], (std::pair<std::string, double>{"Asia/Tokyo", 10}));
  EXPECT_TRUE(std::isnan(newest[5].second));

  EXPECT_EQ(DateInRegion::oldestIn(dates)->region(), gmt);
  EXPECT_EQ(DateInRegion::oldestIn(dates)->timeIntervalSince1970(), 10);
  EXPECT_EQ(DateInRegion::newestIn(dates)->timeIntervalSince1970(), 30);
  EXPECT_FALSE(DateInRegion::oldestIn({}));
  EXPECT_EQ(DateInRegion::newestIn({dates[2]})->timeIntervalSince1970(), 10);
  EXPECT_EQ(PlainDate::oldestIn({PlainDate(at(2024, 1, 2)), PlainDate(at(2024, 1, 1))})->date(),
            at(2024, 1, 1));
}

}  // namespace
}  // namespace almanac
