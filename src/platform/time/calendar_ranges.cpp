// Calendar ranges: the values a component takes, the position of a unit within a larger one,
// and the interval of the unit that holds a date.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>

#include "platform/time/calendar.h"
#include "platform/time/calendar_internal.h"
#include "platform/time/date_components.h"
#include "platform/time/icu_support.h"
#include "platform/time/wall_clock.h"

namespace platform {

using namespace calendar_detail;

namespace {

std::int64_t floorDivide(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// The Julian day number of the first day of the era that holds the calendar's time.
int32_t eraStartJulianDay(const Calendar& calendar, icu::Calendar& at) {
  int32_t era = get(at, UCAL_ERA);
  auto probe = icu_support::makeCalendar(calendar);
  probe->clear();
  probe->set(UCAL_ERA, era);
  probe->set(UCAL_YEAR, 1);
  probe->set(UCAL_MONTH, 0);
  probe->set(UCAL_DATE, 1);
  int32_t low = get(*probe, UCAL_JULIAN_DAY);
  if (get(*probe, UCAL_ERA) == era) return low;
  // An era that begins within a year (as Japanese eras do) does not hold the first day of its
  // year 1; eras only ever follow each other, so the first day it holds lies between that day
  // and the date.
  int32_t high = get(at, UCAL_JULIAN_DAY);
  auto eraOf = [&](int32_t day) {
    probe->clear();
    probe->set(UCAL_JULIAN_DAY, day);
    return get(*probe, UCAL_ERA);
  };
  while (high - low > 1) {
    int32_t middle = low + (high - low) / 2;
    if (eraOf(middle) == era) {
      high = middle;
    } else {
      low = middle;
    }
  }
  return high;
}

std::optional<std::int64_t> ordinalityInEra(const Calendar& calendar, icu::Calendar& at,
                                            Component smaller, Date date) {
  int32_t start = eraStartJulianDay(calendar, at);
  std::int64_t days = std::int64_t(get(at, UCAL_JULIAN_DAY)) - start;
  auto probe = icu_support::makeCalendar(calendar);
  probe->clear();
  probe->set(UCAL_JULIAN_DAY, start);
  // Resolve every field from that day now, so that fields set later build on it.
  get(*probe, UCAL_ERA);
  switch (smaller) {
    case Component::day:
    case Component::weekday:
      return days + 1;
    case Component::weekdayOrdinal:
      return floorDivide(days, 7) + 1;
    case Component::weekOfYear:
    case Component::weekOfMonth: {
      // Weeks are counted from the one that holds the era's first day.
      std::int64_t offset = daysIntoWeek(*probe);
      return floorDivide(days + offset, 7) + 1;
    }
    case Component::month: {
      // From the first day of the month that holds the era's first day, so that every month
      // boundary counts.
      probe->set(UCAL_DATE, 1);
      zeroTimeOfDay(*probe);
      auto from = timeOf(*probe);
      if (!from || !setTime(*probe, *from)) return std::nullopt;
      UErrorCode status = U_ZERO_ERROR;
      int32_t months = probe->fieldDifference(icu_support::toUDate(date), UCAL_MONTH, status);
      if (U_FAILURE(status)) return std::nullopt;
      return std::int64_t(months) + 1;
    }
    default:
      return std::nullopt;
  }
}

// The values a component takes in any date (or in some date), from `low` and `high`: the
// limits ICU gives for the field.
std::optional<Calendar::Range> fieldRange(const Calendar& calendar, Component component,
                                          int32_t (icu::Calendar::*low)(UCalendarDateFields) const,
                                          int32_t (icu::Calendar::*high)(UCalendarDateFields)
                                              const) {
  switch (component) {
    case Component::quarter:
      return Calendar::Range{1, 5};
    case Component::nanosecond:
      return Calendar::Range{0, 1'000'000'000};
    case Component::calendar:
    case Component::timeZone:
      return std::nullopt;
    default:
      break;
  }
  auto field = *icuField(component);
  auto cal = icu_support::makeCalendar(calendar);
  std::int64_t shift = component == Component::month ? 1 : 0;
  return Calendar::Range{((*cal).*low)(field) + shift, ((*cal).*high)(field) + 1 + shift};
}

// An instant being placed in the unit that holds it, and where it reads on the zone's wall clock.
struct WallInstant {
  const icu::TimeZone& zone;
  UDate instant;  // whole milliseconds
  UDate wall;
};

// From one wall time to another, each resolved in the zone: a unit ends where the next one
// starts, wherever the zone puts that start.
DateInterval wallInterval(const icu::TimeZone& zone, UDate startWall, UDate endWall) {
  UDate start = wall_clock::resolve(zone, startWall, std::nullopt);
  UDate end = wall_clock::resolve(zone, endWall, std::nullopt);
  return DateInterval{icu_support::fromUDate(start), (end - start) / 1000.0};
}

// Seconds, minutes and hours start within the instant's own offset, so that in an hour that
// repeats each occurrence holds its own seconds, minutes and hour.
DateInterval clockUnitInterval(const WallInstant& at, double seconds) {
  double into = std::fmod(at.wall, seconds * 1000.0);
  if (into < 0) into += seconds * 1000.0;
  return DateInterval{icu_support::fromUDate(at.instant - into), seconds};
}

// Every calendar's day runs from midnight to midnight on the wall clock.
DateInterval dayInterval(const WallInstant& at) {
  UDate midnight = at.wall - std::fmod(at.wall, kMillisecondsPerDay);
  if (midnight > at.wall) midnight -= kMillisecondsPerDay;
  return wallInterval(at.zone, midnight, midnight + kMillisecondsPerDay);
}

// From the calendar's time (the start of the unit it was moved to) to `amount` of `step` later;
// `realign`, if given, moves that end to the start of its own unit. `status` carries a failure
// of the move to the start.
std::optional<DateInterval> steppedInterval(const WallInstant& at, icu::Calendar& cal,
                                            UCalendarDateFields step, int32_t amount,
                                            UErrorCode& status,
                                            void (*realign)(icu::Calendar&) = nullptr) {
  auto start = timeOf(cal);
  if (!start) return std::nullopt;
  // Recompute from the start, so that the fields resolved above do not linger in the addition.
  setTime(cal, *start);
  cal.add(step, amount, status);
  if (realign) realign(cal);
  auto end = timeOf(cal);
  if (U_FAILURE(status) || !end) return std::nullopt;
  return wallInterval(at.zone, *start, *end);
}

std::optional<DateInterval> weekInterval(const WallInstant& at, icu::Calendar& cal) {
  UErrorCode status = U_ZERO_ERROR;
  cal.add(UCAL_DATE, -daysIntoWeek(cal), status);
  zeroTimeOfDay(cal);
  return steppedInterval(at, cal, UCAL_DATE, 7, status);
}

std::optional<DateInterval> monthInterval(const WallInstant& at, icu::Calendar& cal) {
  UErrorCode status = U_ZERO_ERROR;
  cal.set(UCAL_DATE, 1);
  zeroTimeOfDay(cal);
  return steppedInterval(at, cal, UCAL_MONTH, 1, status);
}

std::optional<DateInterval> weekYearInterval(const WallInstant& at, icu::Calendar& cal) {
  UErrorCode status = U_ZERO_ERROR;
  moveToStartOfWeekYear(cal);
  return steppedInterval(at, cal, UCAL_YEAR_WOY, 1, status, moveToStartOfWeekYear);
}

std::optional<DateInterval> quarterInterval(const Calendar& calendar, const WallInstant& at,
                                            icu::Calendar& cal) {
  int32_t months = cal.getMaximum(UCAL_MONTH) + 1;
  std::int64_t q = quarterOf(cal);
  auto firstIndex = static_cast<int32_t>(((q - 1) * months + 3) / 4);
  cal.set(UCAL_MONTH, firstIndex);
  cal.set(UCAL_DATE, 1);
  zeroTimeOfDay(cal);
  auto start = timeOf(cal);
  if (!start) return std::nullopt;
  // The next quarter starts where the quarter number changes (or the next year starts).
  auto next = icu_support::makeCalendar(calendar, TimeZone::gmt());
  setTime(*next, *start);
  UErrorCode status = U_ZERO_ERROR;
  do {
    next->add(UCAL_MONTH, 1, status);
  } while (U_SUCCESS(status) && quarterOf(*next) == q && get(*next, UCAL_MONTH) != 0);
  auto end = timeOf(*next);
  if (!end) return std::nullopt;
  return wallInterval(at.zone, *start, *end);
}

std::optional<DateInterval> yearInterval(const Calendar& calendar, const WallInstant& at,
                                         icu::Calendar& cal) {
  int32_t era = get(cal, UCAL_ERA);
  cal.set(UCAL_DAY_OF_YEAR, 1);
  zeroTimeOfDay(cal);
  auto start = timeOf(cal);
  if (!start) return std::nullopt;
  setTime(cal, *start);
  UErrorCode status = U_ZERO_ERROR;
  cal.add(UCAL_YEAR, 1, status);
  auto end = timeOf(cal);
  if (U_FAILURE(status) || !end) return std::nullopt;
  // An era that begins within a calendar year (as Japanese eras do) begins a year of its own:
  // year 1 of the new era starts on the era's first day, and the year before it ends there.
  auto probe = icu_support::makeCalendar(calendar, TimeZone::gmt());
  auto eraAt = [&](UDate wall) {
    setTime(*probe, wall);
    return get(*probe, UCAL_ERA);
  };
  auto eraBoundary = [&](UDate low, UDate high) {
    // The first day of `high`'s era, knowing `low` lies in an earlier one.
    int32_t target = eraAt(high);
    while (high - low > kMillisecondsPerDay) {
      UDate middle = low + std::floor((high - low) / 2 / kMillisecondsPerDay) * kMillisecondsPerDay;
      if (eraAt(middle) == target) {
        high = middle;
      } else {
        low = middle;
      }
    }
    return high;
  };
  if (eraAt(*start) != era) {
    start = eraBoundary(*start, at.wall - std::fmod(at.wall, kMillisecondsPerDay));
  }
  if (eraAt(*end - kMillisecondsPerDay) != era) {
    end = eraBoundary(*start, *end - kMillisecondsPerDay);
  }
  return wallInterval(at.zone, *start, *end);
}

}  // namespace

std::optional<Calendar::Range> Calendar::minimumRange(Component component) const {
  return fieldRange(*this, component, &icu::Calendar::getGreatestMinimum,
                    &icu::Calendar::getLeastMaximum);
}

std::optional<Calendar::Range> Calendar::maximumRange(Component component) const {
  return fieldRange(*this, component, &icu::Calendar::getMinimum, &icu::Calendar::getMaximum);
}

std::optional<Calendar::Range> Calendar::range(Component smaller, Component larger,
                                               Date date) const {
  if (rank(smaller) < 0 || rank(larger) < 0 || rank(smaller) >= rank(larger)) {
    // A week holds the days of the week, which share its rank only by position.
    bool dayInWeek = (smaller == Component::weekday || smaller == Component::day) &&
                     (larger == Component::weekOfMonth || larger == Component::weekOfYear);
    if (!dayInWeek) return std::nullopt;
  }
  auto cal = icu_support::makeCalendar(*this);
  if (!setTime(*cal, icu_support::toUDate(date))) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  auto actualMax = [&](UCalendarDateFields field) { return cal->getActualMaximum(field, status); };
  auto actualMin = [&](UCalendarDateFields field) { return cal->getActualMinimum(field, status); };

  switch (smaller) {
    case Component::nanosecond:
      return Range{0, 1'000'000'000};
    case Component::second:
    case Component::minute:
      return Range{0, 60};
    case Component::hour:
      return Range{0, 24};
    case Component::weekday:
      return Range{1, 8};
    case Component::quarter:
      return Range{1, 5};
    case Component::weekdayOrdinal:
      if (larger != Component::month) return std::nullopt;
      return Range{1, actualMax(UCAL_DAY_OF_WEEK_IN_MONTH) + 1};
    case Component::weekOfMonth:
      if (larger != Component::month) return std::nullopt;
      return Range{actualMin(UCAL_WEEK_OF_MONTH), actualMax(UCAL_WEEK_OF_MONTH) + 1};
    case Component::weekOfYear: {
      if (larger == Component::year || larger == Component::yearForWeekOfYear) {
        return Range{actualMin(UCAL_WEEK_OF_YEAR), actualMax(UCAL_WEEK_OF_YEAR) + 1};
      }
      if (larger != Component::month) return std::nullopt;
      int32_t lastDay = actualMax(UCAL_DATE);
      cal->set(UCAL_DATE, 1);
      int32_t first = get(*cal, UCAL_WEEK_OF_YEAR);
      int32_t offset = daysIntoWeek(*cal);
      // Counted from the first week, so that a December running into next year's week 1 still
      // gives one range.
      int32_t weeks = (offset + lastDay - 1) / 7 + 1;
      return Range{first, first + weeks};
    }
    case Component::day: {
      if (larger == Component::month) return Range{1, actualMax(UCAL_DATE) + 1};
      if (larger == Component::weekOfMonth || larger == Component::weekOfYear) {
        int32_t day = get(*cal, UCAL_DATE);
        int32_t offset = daysIntoWeek(*cal);
        int32_t monthEnd = actualMax(UCAL_DATE);
        int32_t first = std::max(1, day - offset);
        int32_t last = std::min(monthEnd, day - offset + 6);
        return Range{first, last + 1};
      }
      // Within a quarter or a year: the days of its longest month.
      int32_t months = larger == Component::quarter ? 3 : actualMax(UCAL_MONTH) + 1;
      if (larger == Component::quarter) {
        int32_t index = get(*cal, UCAL_MONTH);
        cal->set(UCAL_MONTH, index - index % 3);
      } else {
        cal->set(UCAL_MONTH, 0);
      }
      cal->set(UCAL_DATE, 1);
      int32_t longest = 0;
      for (int32_t i = 0; i < months; ++i) {
        longest = std::max(longest, actualMax(UCAL_DATE));
        cal->add(UCAL_MONTH, 1, status);
      }
      return Range{1, longest + 1};
    }
    case Component::month:
      if (larger == Component::quarter) {
        std::int64_t q = quarterOf(*cal);
        return Range{q * 3 - 2, q * 3 + 1};
      }
      if (larger == Component::year) return Range{1, actualMax(UCAL_MONTH) + 2};
      return Range{1, cal->getMaximum(UCAL_MONTH) + 2};
    case Component::year:
      if (larger != Component::era) return std::nullopt;
      return Range{actualMin(UCAL_YEAR), actualMax(UCAL_YEAR) + 1};
    default:
      return std::nullopt;
  }
}

std::optional<std::int64_t> Calendar::ordinality(Component smaller, Component larger,
                                                 Date date) const {
  auto cal = icu_support::makeCalendar(*this);
  if (!setTime(*cal, icu_support::toUDate(date))) return std::nullopt;
  auto isWeek = [](Component c) {
    return c == Component::weekOfMonth || c == Component::weekOfYear;
  };
  auto isDay = [](Component c) { return c == Component::day || c == Component::weekday; };

  if (isDay(smaller) && isWeek(larger)) {
    return daysIntoWeek(*cal) + 1;
  }
  if (isDay(smaller) && larger == Component::month) return get(*cal, UCAL_DATE);
  if (isDay(smaller) && larger == Component::year) return get(*cal, UCAL_DAY_OF_YEAR);
  if (isWeek(smaller) && larger == Component::month) return get(*cal, UCAL_WEEK_OF_MONTH);
  if (isWeek(smaller) && (larger == Component::year || larger == Component::yearForWeekOfYear)) {
    return get(*cal, UCAL_WEEK_OF_YEAR);
  }
  if (smaller == Component::weekdayOrdinal && larger == Component::month) {
    return get(*cal, UCAL_DAY_OF_WEEK_IN_MONTH);
  }
  if (smaller == Component::quarter && larger == Component::year) return quarterOf(*cal);
  if (smaller == Component::year && larger == Component::era) return get(*cal, UCAL_YEAR);
  if (larger == Component::era) return ordinalityInEra(*this, *cal, smaller, date);
  if (smaller == Component::nanosecond && larger == Component::second) {
    return nanosecondOf(date) + 1;
  }
  if (rank(smaller) < 0 || rank(larger) < 0 || rank(smaller) >= rank(larger)) return std::nullopt;
  if (larger == Component::era) return std::nullopt;

  // Otherwise: whole units of the smaller kind since the start of the larger unit, plus one.
  auto interval = dateInterval(larger, date);
  if (!interval) return std::nullopt;
  Component counted = isDay(smaller) ? Component::day : smaller;
  if (counted == Component::weekdayOrdinal || isWeek(counted) || counted == Component::quarter ||
      counted == Component::nanosecond) {
    return std::nullopt;
  }
  auto difference = dateComponents({counted}, interval->start, date).value(counted);
  if (!difference) return std::nullopt;
  return *difference + 1;
}

std::optional<DateInterval> Calendar::dateInterval(Component component, Date date) const {
  auto shared = icu_support::sharedZone(timeZone_);
  const icu::TimeZone& zone = *shared;
  UDate instant = std::floor(icu_support::toUDate(date));
  if (!wall_clock::inRange(instant)) return std::nullopt;
  const WallInstant at{zone, instant, instant + wall_clock::offsetAt(zone, instant)};
  switch (component) {
    case Component::second:
      return clockUnitInterval(at, 1);
    case Component::minute:
      return clockUnitInterval(at, 60);
    case Component::hour:
      return clockUnitInterval(at, 3600);
    case Component::day:
    case Component::weekday:
    case Component::weekdayOrdinal:
      return dayInterval(at);
    default:
      break;
  }

  // Longer units are found on the wall clock, on a calendar without clock changes.
  auto cal = icu_support::makeCalendar(*this, TimeZone::gmt());
  if (!setTime(*cal, at.wall)) return std::nullopt;
  switch (component) {
    case Component::weekOfMonth:
    case Component::weekOfYear:
      return weekInterval(at, *cal);
    case Component::month:
      return monthInterval(at, *cal);
    case Component::quarter:
      return quarterInterval(*this, at, *cal);
    case Component::year:
      return yearInterval(*this, at, *cal);
    case Component::yearForWeekOfYear:
      return weekYearInterval(at, *cal);
    default:
      return std::nullopt;
  }
}

}  // namespace platform
