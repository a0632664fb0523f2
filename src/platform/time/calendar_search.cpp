// Calendar searches: the next instant that matches a set of components, and a time of day set on
// a date's own day. ICU has neither, so they are written here over ICU's fields: days are walked
// on a calendar without clock changes and each wall time found is resolved in the zone by the
// matching and repeated-time policies.

#include <unicode/basictz.h>
#include <unicode/tztrans.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/time/calendar.h"
#include "platform/time/calendar_internal.h"
#include "platform/time/date_components.h"
#include "platform/time/icu_support.h"
#include "platform/time/wall_clock.h"

namespace platform {

namespace {

using calendar_detail::kMillisecondsPerDay;

// Beyond this a search for a date the calendar never makes (30 February, say) gives up.
constexpr double searchLimitDays = 400 * 366.0;

using MatchingPolicy = Calendar::MatchingPolicy;
using RepeatedTimePolicy = Calendar::RepeatedTimePolicy;

bool given(const std::optional<std::int64_t>& value) {
  return value && *value != DateComponents::undefined;
}

int32_t field(icu::Calendar& cal, UCalendarDateFields which) {
  UErrorCode status = U_ZERO_ERROR;
  int32_t value = cal.get(which, status);
  return U_SUCCESS(status) ? value : 0;
}

// The instant where the clocks jump over the gap that `occurrences` fell into.
UDate gapEnd(const icu::TimeZone& zone, const wall_clock::Occurrences& at) {
  if (const auto* basic = dynamic_cast<const icu::BasicTimeZone*>(&zone)) {
    icu::TimeZoneTransition transition;
    if (basic->getNextTransition(at.latter, false, transition) &&
        transition.getTime() <= at.former) {
      return transition.getTime();
    }
  }
  return at.former;
}

// The instant of a wall time by the policies; none when `strict` meets a time that does not
// exist.
std::optional<UDate> resolveWall(const icu::TimeZone& zone, UDate wall, MatchingPolicy matching,
                                 RepeatedTimePolicy repeated) {
  auto at = wall_clock::occurrences(zone, wall);
  if (at.exists) {
    bool formerReads = at.former + wall_clock::offsetAt(zone, at.former) == wall;
    bool latterReads = at.latter + wall_clock::offsetAt(zone, at.latter) == wall;
    if (formerReads && latterReads) {
      UDate first = std::min(at.former, at.latter);
      UDate last = std::max(at.former, at.latter);
      return repeated == RepeatedTimePolicy::first ? first : last;
    }
    return formerReads ? at.former : at.latter;
  }
  switch (matching) {
    case MatchingPolicy::strict:
      return std::nullopt;
    case MatchingPolicy::nextTime:
      return gapEnd(zone, at);
    case MatchingPolicy::nextTimePreservingSmallerComponents:
      return at.former;  // the offset before the change reads a gap's length later
    case MatchingPolicy::previousTimePreservingSmallerComponents:
      return at.latter;
  }
  return std::nullopt;
}

// Whether a value lies in the values some date of the calendar gives the component.
bool holdable(const Calendar& calendar, Calendar::Component component,
              const std::optional<std::int64_t>& value) {
  if (!given(value)) return true;
  auto range = calendar.maximumRange(component);
  return range && range->contains(*value);
}

}  // namespace

std::optional<Date> Calendar::date(const DateComponents& components,
                                   std::optional<Date> keepingSideOf) const {
  auto made = date(components);
  if (!made || !keepingSideOf) return made;
  auto shared = icu_support::sharedZone(components.timeZone ? *components.timeZone : timeZone());
  const icu::TimeZone& zone = *shared;
  UDate instant = std::floor(icu_support::toUDate(*made));
  double fraction = icu_support::toUDate(*made) - instant;
  std::int32_t side = wall_clock::offsetAt(zone, icu_support::toUDate(*keepingSideOf));
  UDate wall = instant + wall_clock::offsetAt(zone, instant);
  UDate other = wall - side;
  if (other != instant && wall_clock::offsetAt(zone, other) == side) {
    return icu_support::fromUDate(other + fraction);
  }
  return made;
}

std::optional<Date> Calendar::nextDate(Date date, const DateComponents& matching,
                                       MatchingPolicy matchingPolicy,
                                       RepeatedTimePolicy repeatedTimePolicy,
                                       SearchDirection direction) const {
  for (Component component :
       {Component::era, Component::year, Component::month, Component::day, Component::hour,
        Component::minute, Component::second, Component::nanosecond, Component::weekday,
        Component::weekdayOrdinal}) {
    if (!holdable(*this, component, matching.value(component))) return std::nullopt;
  }
  bool backward = direction == SearchDirection::backward;
  auto shared = icu_support::sharedZone(timeZone());
  const icu::TimeZone& zone = *shared;
  UDate from = icu_support::toUDate(date);
  if (!wall_clock::inRange(from)) return std::nullopt;
  UDate fromWall = std::floor(from) + wall_clock::offsetAt(zone, std::floor(from));

  // The times of day to try, in the order of the search: the given hour, minute and second; a
  // unit not given below a given one is 0, one not given above every given one takes each value.
  std::vector<double> hours;
  std::vector<double> minutes;
  if (given(matching.hour)) {
    hours = {double(*matching.hour)};
  } else if (given(matching.minute) || given(matching.second)) {
    for (int h = 0; h < 24; ++h)
      hours.push_back(h);
  } else {
    hours = {0};
  }
  if (given(matching.minute)) {
    minutes = {double(*matching.minute)};
  } else if (!given(matching.hour) && given(matching.second)) {
    for (int m = 0; m < 60; ++m)
      minutes.push_back(m);
  } else {
    minutes = {0};
  }
  double second = given(matching.second) ? double(*matching.second) : 0;
  double nanosecond = given(matching.nanosecond) ? double(*matching.nanosecond) : 0;
  std::vector<double> times;  // milliseconds into the day
  for (double h : hours) {
    for (double m : minutes)
      times.push_back(((h * 60 + m) * 60 + second) * 1000);
  }
  if (backward) std::reverse(times.begin(), times.end());

  auto cal = icu_support::makeCalendar(*this, TimeZone::gmt());
  UDate day = fromWall - std::fmod(fromWall, kMillisecondsPerDay);
  if (std::fmod(fromWall, kMillisecondsPerDay) < 0) day -= kMillisecondsPerDay;
  const UDate firstDay = day;
  auto setDay = [&](UDate at) {
    UErrorCode status = U_ZERO_ERROR;
    cal->setTime(at, status);
    return U_SUCCESS(status);
  };
  auto after = [&](UDate instant) {
    double ms = instant + nanosecond / 1e6;
    return backward ? ms < from : ms > from;
  };
  auto tryTimes = [&](UDate dayStart) -> std::optional<UDate> {
    for (double time : times) {
      auto instant = resolveWall(zone, dayStart + time, matchingPolicy, repeatedTimePolicy);
      if (instant && after(*instant)) return *instant;
    }
    return std::nullopt;
  };
  auto finish = [&](UDate instant) {
    return std::optional<Date>(icu_support::fromUDate(instant + nanosecond / 1e6));
  };

  while (std::abs(day - firstDay) <= searchLimitDays * kMillisecondsPerDay) {
    if (!setDay(day)) return std::nullopt;
    int32_t era = field(*cal, UCAL_ERA);
    int32_t year = field(*cal, UCAL_YEAR);
    int32_t month = field(*cal, UCAL_MONTH) + 1;
    int32_t dayOfMonth = field(*cal, UCAL_DATE);
    UErrorCode status = U_ZERO_ERROR;
    int32_t monthLength = cal->getActualMaximum(UCAL_DATE, status);
    bool monthMatches =
        (!given(matching.era) || *matching.era == era) &&
        (!given(matching.year) || *matching.year == year) &&
        (!given(matching.month) || *matching.month == month) &&
        (!matching.isLeapMonth || *matching.isLeapMonth == (field(*cal, UCAL_IS_LEAP_MONTH) != 0));
    if (!monthMatches) {
      // Skip the rest of the month at once.
      UDate next = backward ? day - dayOfMonth * kMillisecondsPerDay
                            : day + (monthLength - dayOfMonth + 1) * kMillisecondsPerDay;
      day = next;
      continue;
    }
    bool dayMatches =
        (!given(matching.day) || *matching.day == dayOfMonth) &&
        (!given(matching.weekday) || *matching.weekday == field(*cal, UCAL_DAY_OF_WEEK)) &&
        (!given(matching.weekdayOrdinal) ||
         *matching.weekdayOrdinal == field(*cal, UCAL_DAY_OF_WEEK_IN_MONTH));
    if (dayMatches) {
      if (auto found = tryTimes(day)) return finish(*found);
    } else if (given(matching.day) && *matching.day > monthLength && dayOfMonth == monthLength &&
               matchingPolicy != MatchingPolicy::strict && !given(matching.weekday) &&
               !given(matching.weekdayOrdinal)) {
      // The month lacks the wanted day: the policy names a neighbouring time instead.
      std::optional<UDate> instant;
      switch (matchingPolicy) {
        case MatchingPolicy::nextTime:
          instant =
              resolveWall(zone, day + kMillisecondsPerDay, matchingPolicy, repeatedTimePolicy);
          break;
        case MatchingPolicy::nextTimePreservingSmallerComponents:
          if (auto found = tryTimes(day + kMillisecondsPerDay)) instant = found;
          break;
        case MatchingPolicy::previousTimePreservingSmallerComponents:
          if (auto found = tryTimes(day)) instant = found;
          break;
        case MatchingPolicy::strict:
          break;
      }
      if (instant && after(*instant)) return finish(*instant);
    }
    day += backward ? -kMillisecondsPerDay : kMillisecondsPerDay;
  }
  return std::nullopt;
}

std::optional<Date> Calendar::date(bySettingHour_t, std::int64_t hour, std::int64_t minute,
                                   std::int64_t second, Date of, MatchingPolicy matchingPolicy,
                                   RepeatedTimePolicy repeatedTimePolicy, SearchDirection) const {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) {
    return std::nullopt;
  }
  auto shared = icu_support::sharedZone(timeZone());
  const icu::TimeZone& zone = *shared;
  UDate instant = std::floor(icu_support::toUDate(of));
  if (!wall_clock::inRange(instant)) return std::nullopt;
  UDate wall = instant + wall_clock::offsetAt(zone, instant);
  double into = std::fmod(wall, kMillisecondsPerDay);
  if (into < 0) into += kMillisecondsPerDay;
  UDate target = wall - into + double((hour * 60 + minute) * 60 + second) * 1000;
  auto resolved = resolveWall(zone, target, matchingPolicy, repeatedTimePolicy);
  if (!resolved) return std::nullopt;
  return icu_support::fromUDate(*resolved);
}

}  // namespace platform
