#pragma once

#include <cstdint>
#include <optional>
#include <variant>

#include "almanac/calendar_values.h"
#include "platform/time/calendar.h"

namespace almanac {

// How a calendar search matches, treats repeated times and moves.
struct TimeCalculationOptions {
  platform::Calendar::MatchingPolicy matchingPolicy = platform::Calendar::MatchingPolicy::nextTime;
  platform::Calendar::RepeatedTimePolicy repeatedTimePolicy =
      platform::Calendar::RepeatedTimePolicy::first;
  platform::Calendar::SearchDirection direction = platform::Calendar::SearchDirection::forward;
};

// How a date is rounded: to a number of minutes (nearest, up or down) or to 5, 10 or 30.
class RoundDateMode {
 public:
  struct toMins {
    std::int64_t minutes;
  };
  struct toCeilMins {
    std::int64_t minutes;
  };
  struct toFloorMins {
    std::int64_t minutes;
  };
  struct to5Mins {};
  struct to10Mins {};
  struct to30Mins {};
  struct toCeil5Mins {};
  struct toCeil10Mins {};
  struct toCeil30Mins {};
  struct toFloor5Mins {};
  struct toFloor10Mins {};
  struct toFloor30Mins {};

  using Case =
      std::variant<toMins, toCeilMins, toFloorMins, to5Mins, to10Mins, to30Mins, toCeil5Mins,
                   toCeil10Mins, toCeil30Mins, toFloor5Mins, toFloor10Mins, toFloor30Mins>;

  template <class C>
  requires std::is_constructible_v<Case, C> RoundDateMode(C value) : case_(std::move(value)) {}

  const Case& value() const { return case_; }
  template <class C>
  const C* as() const {
    return std::get_if<C>(&case_);
  }

 private:
  Case case_;
};

// The kinds of dates related to a date: nearest minute or hour, the next given weekday, starts
// and ends of units, neighbouring days, months, weeks and years, daylight-saving changes.
class DateRelatedType {
 public:
  struct nearestMinute {
    std::int64_t minute;
  };
  struct nearestHour {
    std::int64_t hour;
  };
  struct nextWeekday {
    WeekDay weekday;
  };
  struct startOfDay {};
  struct endOfDay {};
  struct startOfWeek {};
  struct endOfWeek {};
  struct startOfMonth {};
  struct endOfMonth {};
  struct tomorrow {};
  struct tomorrowAtStart {};
  struct yesterday {};
  struct yesterdayAtStart {};
  struct nextDSTDate {};
  struct prevMonth {};
  struct nextMonth {};
  struct prevWeek {};
  struct nextWeek {};
  struct nextYear {};
  struct prevYear {};
  struct nextDSTTransition {};

  using Case = std::variant<nearestMinute, nearestHour, nextWeekday, startOfDay, endOfDay,
                            startOfWeek, endOfWeek, startOfMonth, endOfMonth, tomorrow,
                            tomorrowAtStart, yesterday, yesterdayAtStart, nextDSTDate, prevMonth,
                            nextMonth, prevWeek, nextWeek, nextYear, prevYear, nextDSTTransition>;

  template <class C>
  requires std::is_constructible_v<Case, C> DateRelatedType(C value) : case_(std::move(value)) {}

  const Case& value() const { return case_; }
  template <class C>
  const C* as() const {
    return std::get_if<C>(&case_);
  }

 private:
  Case case_;
};

// The platform's calendar-unit bit of a component. `isLeapMonth` has none.
std::optional<platform::CalendarUnit> unit(platform::Calendar::Component component);
// The bits of every component of the set that has one.
platform::CalendarUnit units(const platform::Calendar::ComponentSet& components);

}  // namespace almanac
