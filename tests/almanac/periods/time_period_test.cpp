#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "almanac/almanac.h"
#include "almanac/date_components_arithmetic.h"
#include "almanac/periods/support/period_fixtures.h"
#include "almanac/periods/time_period.h"

namespace almanac {
namespace {

using almanac_testing::region;
using period_testing::at;
using period_testing::period;
using period_testing::seconds;
using period_testing::secondsAt;
using R = TimePeriodRelation;
using C = platform::Calendar::Component;

constexpr double greatestDouble = 1.7976931348623157e308;
constexpr std::int64_t greatestInt = 9223372036854775807;

struct RelationCase {
  int h1, m1, h2, m2;  // the other period; the receiver is [10:00, 12:00]
  TimePeriodRelation forward;
  TimePeriodRelation backward;  // the other period against the receiver
};

TEST(TimePeriodRelations, NameEveryPlacementFromBothSides) {
  const std::vector<RelationCase> cases = {
      {7, 0, 9, 0, R::after, R::before},
      {8, 0, 10, 0, R::startTouching, R::endTouching},
      {9, 0, 11, 0, R::startInside, R::endInside},
      {10, 0, 13, 0, R::insideStartTouching, R::enclosingStartTouching},
      {10, 0, 11, 0, R::enclosingStartTouching, R::insideStartTouching},
      {10, 30, 11, 30, R::enclosing, R::inside},
      {11, 0, 12, 0, R::enclosingEndTouching, R::insideEndTouching},
      {10, 0, 12, 0, R::exactMatch, R::exactMatch},
      {9, 0, 13, 0, R::inside, R::enclosing},
      {9, 0, 12, 0, R::insideEndTouching, R::enclosingEndTouching},
      {11, 0, 13, 0, R::endInside, R::startInside},
      {12, 0, 13, 0, R::endTouching, R::startTouching},
      {13, 0, 14, 0, R::before, R::after},
  };
  auto s = period(10, 0, 12, 0);
  for (const auto& c : cases) {
    auto p = period(c.h1, c.m1, c.h2, c.m2);
    SCOPED_TRACE(std::to_string(c.h1) + ":" + std::to_string(c.m1));
    EXPECT_EQ(s->relationToPeriod(*p), c.forward);
    EXPECT_EQ(p->relationToPeriod(*s), c.backward);
    EXPECT_EQ(s->liesBefore(*p), c.forward == R::before);
    EXPECT_EQ(s->liesAfter(*p), c.forward == R::after);
    bool separated = c.forward == R::before || c.forward == R::after;
    EXPECT_EQ(s->isSeparatedFrom(*p), separated);
    EXPECT_EQ(s->isNotSeparatedFrom(*p), !separated);
  }
}

// Unbounded, zero-length and inverted periods relate to nothing, themselves included.
TEST(TimePeriodRelations, LeaveDegeneratePeriodsUnrelated) {
  auto s = period(10, 0, 12, 0);
  const std::vector<std::pair<const char*, std::shared_ptr<TimePeriod>>> degenerate = {
      {"no start", period(std::nullopt, at(12))},
      {"no end", period(at(10), std::nullopt)},
      {"no bounds", period(std::nullopt, std::nullopt)},
      {"zero length", period(11, 0, 11, 0)},
      {"inverted", period(12, 0, 10, 0)},
  };
  for (const auto& [name, d] : degenerate) {
    SCOPED_TRACE(name);
    EXPECT_EQ(d->relationToPeriod(*d), R::none);
    EXPECT_EQ(d->relationToPeriod(*s), R::none);
    EXPECT_EQ(s->relationToPeriod(*d), R::none);
    EXPECT_TRUE(d->isNotSeparatedFrom(*d));
    EXPECT_FALSE(d->isSeparatedFrom(*s));
    EXPECT_TRUE(s->isNotSeparatedFrom(*d));
  }
}

struct PairCase {
  const char* name;
  std::shared_ptr<TimePeriod> s, p;
  double distance;  // both directions
  bool shares;      // S shares time with P
  bool within;      // S lies within P
};

TEST(TimePeriodRelations, MeasureGapsOverlapAndContainment) {
  const std::vector<PairCase> cases = {
      {"gap of an hour", period(10, 0, 11, 0), period(8, 0, 9, 0), 3600, false, false},
      {"touching at the end", period(10, 0, 12, 0), period(12, 0, 13, 0), 0, false, false},
      {"touching at the start", period(10, 0, 12, 0), period(8, 0, 10, 0), 0, false, false},
      {"running out", period(10, 0, 12, 0), period(11, 0, 13, 0), 0, true, false},
      {"running in", period(10, 0, 12, 0), period(9, 0, 11, 0), 0, true, false},
      {"enclosed", period(10, 0, 12, 0), period(10, 30, 11, 30), 0, true, false},
      {"enclosing", period(10, 30, 11, 30), period(10, 0, 12, 0), 0, true, true},
      {"the same bounds", period(10, 0, 12, 0), period(10, 0, 12, 0), 0, true, true},
      {"within, start shared", period(10, 0, 11, 0), period(10, 0, 12, 0), 0, true, true},
      {"no end", period(at(10), std::nullopt), period(9, 0, 13, 0), greatestDouble, false, false},
      {"other without start", period(10, 0, 11, 0), period(std::nullopt, at(13)), greatestDouble,
       false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.s->distanceTo(*c.p), c.distance);
    EXPECT_EQ(c.p->distanceTo(*c.s), c.distance);
    EXPECT_EQ(c.s->sharesTimeWith(*c.p), c.shares);
    EXPECT_EQ(c.s->sharesTimeWithBounded(*c.p), c.shares);
    EXPECT_EQ(c.s->liesWithin(*c.p), c.within);
  }
  // Touching is not sharing time, yet not being separated either.
  auto s = period(10, 0, 12, 0);
  EXPECT_TRUE(s->isNotSeparatedFrom(*period(12, 0, 13, 0)));
  EXPECT_FALSE(s->sharesTimeWith(*period(12, 0, 13, 0)));
}

TEST(TimePeriodRelations, IncludeDatesOpenOrClosedAtEitherBound) {
  struct Case {
    const char* name;
    DateInRegion date;
    bool closed, open;
  };
  const std::vector<Case> cases = {
      {"the start", at(10), true, false}, {"the end", at(12), true, false},
      {"inside", at(11), true, true},     {"before", at(9, 59), false, false},
      {"after", at(12, 1), false, false},
  };
  auto s = period(10, 0, 12, 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(s->includesDate(c.date, IntervalType::closed), c.closed);
    EXPECT_EQ(s->includesDate(c.date, IntervalType::open), c.open);
  }
  EXPECT_FALSE(period(at(10), std::nullopt)->includesDate(at(11), IntervalType::closed));
}

TEST(TimePeriod, MeasuresSpansOfInvertedAndOpenPeriods) {
  auto inverted = period(12, 0, 10, 0);
  EXPECT_EQ(inverted->timeSpan(), 7200);
  EXPECT_EQ(inverted->durationInHours(), -2);
  EXPECT_EQ(inverted->durationInMinutes(), -120);
  EXPECT_EQ(period(at(10), std::nullopt)->timeSpan(), greatestDouble);
  EXPECT_EQ(period(std::nullopt, at(10))->timeSpan(), greatestDouble);
  EXPECT_EQ(period(std::nullopt, at(10))->durationInDays(), greatestInt);
  EXPECT_EQ(period(at(10), std::nullopt)->durationInSeconds(), greatestInt);

  EXPECT_TRUE(period(10, 0, 10, 1)->isInstant(60));
  EXPECT_FALSE(period(10, 0, 10, 1)->isInstant(59.9));
  EXPECT_TRUE(period(10, 1, 10, 0)->isInstant(60));
  EXPECT_FALSE(period(at(10), std::nullopt)->isInstant(1e300));

  EXPECT_TRUE(
      period(std::nullopt, std::nullopt)->hasSameBounds(*period(std::nullopt, std::nullopt)));
  EXPECT_FALSE(period(std::nullopt, at(11))->hasSameBounds(*period(10, 0, 11, 0)));
  EXPECT_FALSE(period(10, 0, 11, 0)->hasSameBounds(*period(10, 0, 11, 1)));
  // The instant decides, not the region it is read in.
  TimePeriod tokyo(DateInRegion(at(10).date(), region("Asia/Tokyo")), at(11));
  EXPECT_TRUE(TimePeriod::isSamePeriod(tokyo, *period(10, 0, 11, 0)));
}

enum class Form { extendInPlace, reduceInPlace, extendedCopy, reducedCopy };

struct LengthCase {
  Form form;
  TimePeriodAnchor anchor;
  int startMinute, endMinute;  // minutes after 10:00 of the result's bounds
  bool startKeepsFormatter, endKeepsFormatter;
};

// [10:00, 11:00] grown or shrunk by 600 seconds.
TEST(TimePeriod, LengthensAndShortensAtEachAnchor) {
  using A = TimePeriodAnchor;
  const std::vector<LengthCase> cases = {
      {Form::extendInPlace, A::beginning, 0, 70, true, true},
      {Form::extendInPlace, A::center, -5, 65, false, false},
      {Form::extendInPlace, A::end, -10, 60, true, true},
      {Form::reduceInPlace, A::beginning, 0, 50, true, true},
      {Form::reduceInPlace, A::center, 5, 55, true, true},
      {Form::reduceInPlace, A::end, 10, 60, true, true},
      {Form::extendedCopy, A::beginning, 0, 70, true, false},
      {Form::extendedCopy, A::center, -10, 70, false, false},
      {Form::extendedCopy, A::end, -10, 60, false, true},
      {Form::reducedCopy, A::beginning, 0, 50, true, false},
      {Form::reducedCopy, A::center, 5, 55, false, false},
      {Form::reducedCopy, A::end, 10, 60, false, true},
  };
  auto formatter = std::make_shared<platform::DateFormatter>();
  auto rome = region("Europe/Rome");
  auto tokyo = region("Asia/Tokyo");
  auto apply = [](Form form, const std::shared_ptr<TimePeriod>& p, A anchor) {
    switch (form) {
      case Form::extendInPlace:
        p->extend(600, anchor);
        return p;
      case Form::reduceInPlace:
        p->reduce(600, anchor);
        return p;
      case Form::extendedCopy:
        return p->extended(600, anchor);
      case Form::reducedCopy:
        return p->reduced(600, anchor);
    }
    return p;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(int(c.form)) + "/" + std::to_string(int(c.anchor)));
    DateInRegion start(at(10).date(), rome);
    DateInRegion end(at(11).date(), tokyo);
    start.setCustomFormatter(formatter);
    end.setCustomFormatter(formatter);
    auto original = period(start, end);
    auto result = apply(c.form, original, c.anchor);
    EXPECT_EQ(seconds(result->start()), secondsAt(10, c.startMinute));
    EXPECT_EQ(seconds(result->end()), secondsAt(10, c.endMinute));
    EXPECT_EQ(result->start()->region().timeZone().identifier(), "Europe/Rome");
    EXPECT_EQ(result->end()->region().timeZone().identifier(), "Asia/Tokyo");
    EXPECT_EQ(result->start()->customFormatter() == formatter, c.startKeepsFormatter);
    EXPECT_EQ(result->end()->customFormatter() == formatter, c.endKeepsFormatter);
    if (c.form == Form::extendedCopy || c.form == Form::reducedCopy) {
      EXPECT_NE(result, original);
      EXPECT_EQ(seconds(original->start()), secondsAt(10));
      EXPECT_EQ(seconds(original->end()), secondsAt(11));
    }
    // A missing bound stays missing whatever moves.
    auto noStart = apply(c.form, period(std::nullopt, at(11)), c.anchor);
    auto noEnd = apply(c.form, period(at(10), std::nullopt), c.anchor);
    EXPECT_FALSE(noStart->hasDefinedStart());
    EXPECT_FALSE(noEnd->hasDefinedEnd());
  }
}

TEST(TimePeriod, MovesByTimeAndByCalendarComponents) {
  auto formatter = std::make_shared<platform::DateFormatter>();
  DateInRegion start = at(10);
  start.setCustomFormatter(formatter);
  auto p = period(start, at(11));
  p->move(-1800);
  EXPECT_EQ(seconds(p->start()), secondsAt(9, 30));
  EXPECT_EQ(p->start()->customFormatter(), formatter);

  auto moved = p->moved(3600);
  EXPECT_EQ(seconds(moved->start()), secondsAt(10, 30));
  EXPECT_EQ(seconds(moved->end()), secondsAt(11, 30));
  EXPECT_EQ(moved->start()->customFormatter(), nullptr);
  EXPECT_EQ(seconds(p->start()), secondsAt(9, 30));

  platform::DateComponents oneDay;
  oneDay.day = 1;
  auto tomorrow = period(std::nullopt, at(11))->moved(oneDay);
  ASSERT_NE(tomorrow, nullptr);
  EXPECT_FALSE(tomorrow->hasDefinedStart());
  EXPECT_EQ(seconds(tomorrow->end()), secondsAt(11) + 86400);
}

TEST(TimePeriod, CountsCalendarLengthsInTheStartsRegion) {
  using testing_dates::at;
  struct Case {
    const char* name;
    Region startRegion;
    platform::Date start, end;
    std::int64_t hours, days;
  };
  auto rome = region("Europe/Rome");
  auto saoPaulo = region("America/Sao_Paulo");
  const std::vector<Case> cases = {
      {"spring forward", rome, at(2024, 3, 31, 0, 0, 0, 3600), at(2024, 4, 1, 0, 0, 0, 7200), 23,
       1},
      {"fall back", rome, at(2024, 10, 27, 0, 0, 0, 7200), at(2024, 10, 28, 0, 0, 0, 3600), 25, 1},
      {"a short day in the south", saoPaulo, at(2018, 11, 3, 12, 0, 0, -10800),
       at(2018, 11, 4, 12, 0, 0, -7200), 23, 1},
      // Read in GMT the same span runs from 23:00 to 22:00: no whole day.
      {"counted in the start's region", region("GMT"), at(2024, 3, 31, 0, 0, 0, 3600),
       at(2024, 4, 1, 0, 0, 0, 7200), 23, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TimePeriod p(DateInRegion(c.start, c.startRegion), DateInRegion(c.end, rome));
    EXPECT_EQ(p.durationInHours(), c.hours);
    EXPECT_EQ(p.durationInMinutes(), c.hours * 60);
    EXPECT_EQ(p.durationInSeconds(), c.hours * 3600);
    EXPECT_EQ(p.durationInDays(), c.days);
    EXPECT_EQ(p.difference(C::day), c.days);
  }

  TimePeriod weekend(DateInRegion(at(2024, 3, 30, 12, 0, 0, 3600), rome),
                     DateInRegion(at(2024, 3, 31, 13, 0, 0, 7200), rome));
  auto parts = weekend.componentsBetweenBounds({C::day, C::hour});
  ASSERT_TRUE(parts.has_value());
  EXPECT_EQ(parts->day, 1);
  EXPECT_EQ(parts->hour, 1);
  EXPECT_EQ(weekend.difference(C::hour), 24);
  EXPECT_FALSE(
      period(std::nullopt, period_testing::at(11))->componentsBetweenBounds({C::day}).has_value());
  EXPECT_FALSE(period(period_testing::at(10), std::nullopt)->difference(C::day).has_value());

  TimePeriod months(DateInRegion(at(2024, 1, 1), rome), DateInRegion(at(2024, 3, 20), rome));
  EXPECT_EQ(months.durationInMonths(), 2);
  EXPECT_EQ(months.durationInWeeks(), 11);
  EXPECT_EQ(months.durationInYears(), 0);
}

TEST(TimePeriod, WidestPeriodSpansFourThousandYearsAndIsNewEachTime) {
  auto widest = TimePeriod::widestPeriod();
  EXPECT_EQ(widest->durationInYears(), 4000);
  EXPECT_EQ(widest->durationInSeconds(), 126227980800);
  EXPECT_EQ(widest->start()->customFormatter(), nullptr);
  widest->setStart(std::nullopt);
  auto next = TimePeriod::widestPeriod();
  EXPECT_NE(next, widest);
  EXPECT_EQ(seconds(next->start()), platform::Date::distantPast().timeIntervalSince1970());
}

TEST(TimePeriod, CannotCountBoundsBeyondTheCalendar) {
  // About 32 billion years: no calendar reaches it.
  TimePeriod far(at(10),
                 DateInRegion(platform::Date::fromTimeIntervalSince1970(1e18), region("GMT")));
  EXPECT_EQ(far.durationInDays(), greatestInt);
  EXPECT_EQ(far.durationInSeconds(), greatestInt);
  EXPECT_FALSE(far.difference(C::day).has_value());
}

TEST(TimePeriod, BuildsFromOneBoundAndALength) {
  using testing_dates::at;
  auto rome = region("Europe/Rome");
  platform::DateComponents oneMonth;
  oneMonth.month = 1;
  auto leap = TimePeriod::fromStart(DateInRegion(at(2024, 1, 31, 10), region("GMT")), oneMonth);
  ASSERT_NE(leap, nullptr);
  EXPECT_EQ(seconds(leap->end()), at(2024, 2, 29, 10).timeIntervalSince1970());

  platform::DateComponents oneDay;
  oneDay.day = 1;
  auto shortDay = TimePeriod::fromEnd(DateInRegion(at(2024, 3, 31, 12, 0, 0, 7200), rome), oneDay);
  ASSERT_NE(shortDay, nullptr);
  EXPECT_EQ(seconds(shortDay->start()), at(2024, 3, 30, 12, 0, 0, 3600).timeIntervalSince1970());
  EXPECT_EQ(shortDay->timeSpan(), 23 * 3600);

  auto formatter = std::make_shared<platform::DateFormatter>();
  DateInRegion tokyo(at(2024, 5, 1, 9), region("Asia/Tokyo"));
  tokyo.setCustomFormatter(formatter);
  auto forward = TimePeriod::fromStart(tokyo, 90);
  EXPECT_EQ(forward->timeSpan(), 90);
  EXPECT_EQ(forward->start()->customFormatter(), formatter);
  EXPECT_EQ(forward->end()->customFormatter(), nullptr);
  EXPECT_EQ(forward->end()->region().timeZone().identifier(), "Asia/Tokyo");
  auto backward = TimePeriod::fromEnd(tokyo, 90);
  EXPECT_EQ(seconds(backward->start()), tokyo.timeIntervalSince1970() - 90);
  EXPECT_EQ(backward->end()->customFormatter(), formatter);
}

// A period never comes back with a bound silently missing.
TEST(TimePeriod, RefusesLengthsTheCalendarCannotApply) {
  platform::DateComponents eons;
  eons.year = 6'000'000;
  platform::DateComponents unnegatable;
  unnegatable.day = std::numeric_limits<std::int64_t>::min();
  EXPECT_EQ(TimePeriod::fromStart(at(10), eons), nullptr);
  EXPECT_EQ(TimePeriod::fromEnd(at(10), eons), nullptr);
  EXPECT_EQ(TimePeriod::fromEnd(at(10), unnegatable), nullptr);
  EXPECT_EQ(period(10, 0, 11, 0)->moved(eons), nullptr);
  EXPECT_EQ(period(std::nullopt, at(11))->moved(eons), nullptr);
}

}  // namespace
}  // namespace almanac
