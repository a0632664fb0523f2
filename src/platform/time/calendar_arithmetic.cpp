// Calendar arithmetic: dates from components, adding components to a date, and the components
// between two dates.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#include "platform/time/calendar.h"
#include "platform/time/calendar_internal.h"
#include "platform/time/date_components.h"
#include "platform/time/icu_support.h"
#include "platform/time/wall_clock.h"

namespace platform {

using namespace calendar_detail;

namespace {

// Rolls each unit within its larger unit, as ICU rolls fields.
std::optional<Date> rolled(const Calendar& calendar, const DateComponents& components, Date date) {
  constexpr bool wrapping = true;
  auto cal = icu_support::makeCalendar(calendar);
  SplitTime start = split(date);
  if (!setTime(*cal, start.wholeMilliseconds)) return std::nullopt;

  bool ok = true;
  auto apply = [&](UCalendarDateFields field, const std::optional<std::int64_t>& value,
                   std::int64_t factor = 1) {
    if (!ok || !value || *value == 0 || *value == DateComponents::undefined) return;
    std::int64_t amount = 0;
    if (__builtin_mul_overflow(*value, factor, &amount)) {
      ok = false;
      return;
    }
    auto narrowed = narrow(amount);
    if (!narrowed) {
      ok = false;
      return;
    }
    UErrorCode status = U_ZERO_ERROR;
    if (wrapping) {
      cal->roll(field, *narrowed, status);
    } else {
      cal->add(field, *narrowed, status);
    }
    if (U_FAILURE(status)) ok = false;
  };

  // Largest first, so that adding a month and a day to 31 January lands in March only when it
  // should.
  apply(UCAL_ERA, components.era);
  apply(UCAL_YEAR, components.year);
  apply(UCAL_YEAR_WOY, components.yearForWeekOfYear);
  apply(UCAL_MONTH, components.quarter, 3);
  apply(UCAL_MONTH, components.month);
  apply(UCAL_WEEK_OF_YEAR, components.weekOfYear);
  apply(UCAL_WEEK_OF_MONTH, components.weekOfMonth);
  apply(UCAL_DAY_OF_WEEK_IN_MONTH, components.weekdayOrdinal);
  apply(UCAL_DAY_OF_WEEK, components.weekday);
  apply(UCAL_DATE, components.day);
  apply(UCAL_HOUR_OF_DAY, components.hour);
  apply(UCAL_MINUTE, components.minute);
  apply(UCAL_SECOND, components.second);
  if (!ok) return std::nullopt;

  auto ms = timeOf(*cal);
  if (!ms) return std::nullopt;
  Date result = icu_support::fromUDate(*ms + start.fraction);
  if (components.nanosecond && *components.nanosecond != DateComponents::undefined &&
      *components.nanosecond != 0) {
    std::int64_t ns = *components.nanosecond;
    if (wrapping) {
      std::int64_t current = nanosecondOf(result);
      std::int64_t rolled =
          ((current + ns % 1'000'000'000) % 1'000'000'000 + 1'000'000'000) % 1'000'000'000;
      result += static_cast<double>(rolled - current) / 1e9;
    } else {
      result += static_cast<double>(ns) / 1e9;
    }
  }
  return result;
}

}  // namespace

std::optional<Date> Calendar::date(const DateComponents& components) const {
  Calendar inZone = *this;
  if (components.timeZone) inZone.setTimeZone(*components.timeZone);
  auto cal = icu_support::makeCalendar(inZone);
  cal->clear();
  // The platform's defaults: the first day of year 1 at midnight.
  cal->set(UCAL_YEAR, 1);
  cal->set(UCAL_MONTH, 0);
  cal->set(UCAL_IS_LEAP_MONTH, 0);
  cal->set(UCAL_DATE, 1);
  zeroTimeOfDay(*cal);

  bool ok = true;
  auto setField = [&](UCalendarDateFields field, const std::optional<std::int64_t>& value,
                      int32_t offset = 0) {
    if (!ok || !value || *value == DateComponents::undefined) return;
    auto narrowed = narrow(*value);
    if (!narrowed || (offset < 0 && *narrowed == std::numeric_limits<int32_t>::min())) {
      ok = false;
      return;
    }
    cal->set(field, *narrowed + offset);
  };

  // Week fields first, so that year, month and day given beside them (as a full breakdown of a
  // date carries them) are the newer fields and decide the day.
  setField(UCAL_DAY_OF_WEEK, components.weekday);
  setField(UCAL_DAY_OF_WEEK_IN_MONTH, components.weekdayOrdinal);
  setField(UCAL_WEEK_OF_MONTH, components.weekOfMonth);
  setField(UCAL_WEEK_OF_YEAR, components.weekOfYear);
  setField(UCAL_YEAR_WOY, components.yearForWeekOfYear);
  setField(UCAL_ERA, components.era);
  setField(UCAL_YEAR, components.year);
  setField(UCAL_MONTH, components.month, -1);
  if (components.isLeapMonth) cal->set(UCAL_IS_LEAP_MONTH, *components.isLeapMonth ? 1 : 0);
  setField(UCAL_DATE, components.day);
  setField(UCAL_HOUR_OF_DAY, components.hour);
  setField(UCAL_MINUTE, components.minute);
  setField(UCAL_SECOND, components.second);
  if (!ok) return std::nullopt;

  auto ms = timeOf(*cal);
  if (!ms || !wall_clock::inRange(*ms)) return std::nullopt;
  // Near the end of its range ICU wraps a year silently: a year must land near itself.
  if (components.year && *components.year != DateComponents::undefined &&
      std::abs(*components.year) > 1'000'000) {
    double years = std::abs(*ms / 31556952000.0 + 1970);
    if (std::abs(years - std::abs(double(*components.year))) > 10000) return std::nullopt;
  }
  Date result = icu_support::fromUDate(*ms);
  if (components.nanosecond && *components.nanosecond != DateComponents::undefined) {
    result += static_cast<double>(*components.nanosecond) / 1e9;
  }
  return result;
}

std::optional<Date> Calendar::dateByAdding(const DateComponents& components, Date date,
                                           bool wrapping) const {
  if (wrapping) return rolled(*this, components, date);
  auto shared = icu_support::sharedZone(timeZone_);
  const icu::TimeZone& zone = *shared;
  SplitTime start = split(date);
  if (!wall_clock::inRange(start.wholeMilliseconds)) return std::nullopt;
  std::int32_t offset = wall_clock::offsetAt(zone, start.wholeMilliseconds);
  UDate wall = start.wholeMilliseconds + offset;

  // Calendar units move the wall-clock date on a calendar that has no clock changes; the time
  // reached is resolved in the zone afterwards.
  struct Step {
    UCalendarDateFields field;
    std::optional<std::int64_t> value;
    std::int64_t factor;
    double approximateDays;  // for refusing results beyond ICU's range before ICU clamps them
  };
  const std::array<Step, 10> steps = {{
      {UCAL_ERA, components.era, 1, 0},
      {UCAL_YEAR, components.year, 1, 365.2425},
      {UCAL_YEAR_WOY, components.yearForWeekOfYear, 1, 365.2425},
      {UCAL_MONTH, components.quarter, 3, 30.436875},
      {UCAL_MONTH, components.month, 1, 30.436875},
      {UCAL_WEEK_OF_YEAR, components.weekOfYear, 1, 7},
      {UCAL_WEEK_OF_MONTH, components.weekOfMonth, 1, 7},
      {UCAL_DAY_OF_WEEK_IN_MONTH, components.weekdayOrdinal, 1, 7},
      {UCAL_DAY_OF_WEEK, components.weekday, 1, 1},
      {UCAL_DATE, components.day, 1, 1},
  }};
  auto present = [](const std::optional<std::int64_t>& value) {
    return value && *value != 0 && *value != DateComponents::undefined;
  };
  double expectedDays = 0;
  double toleranceDays = 3;
  bool movesDate = false;
  for (const Step& step : steps) {
    if (!present(step.value)) continue;
    movesDate = true;
    std::int64_t amount = 0;
    if (__builtin_mul_overflow(*step.value, step.factor, &amount)) return std::nullopt;
    if (step.field == UCAL_ERA && !narrow(amount)) return std::nullopt;
    expectedDays += static_cast<double>(amount) * step.approximateDays;
    // Lunar and lunisolar years and months vary by up to a tenth around their mean.
    toleranceDays += std::abs(static_cast<double>(amount)) * step.approximateDays * 0.15;
  }
  UDate instant = start.wholeMilliseconds;
  if (movesDate) {
    if (!wall_clock::inRange(wall + expectedDays * kMillisecondsPerDay)) return std::nullopt;
    // Days and weeks are the same length on every calendar's wall clock; only eras, years and
    // months need the calendar.
    std::optional<UDate> reached = wall;
    double days = 0;
    icu_support::CalendarPtr cal;
    for (const Step& step : steps) {
      if (!present(step.value)) continue;
      std::int64_t amount = *step.value * step.factor;
      if (step.approximateDays == 1 || step.approximateDays == 7) {
        days += static_cast<double>(amount) * step.approximateDays;
        continue;
      }
      if (!cal) {
        cal = icu_support::makeCalendar(*this, TimeZone::gmt());
        if (!setTime(*cal, wall)) return std::nullopt;
      }
      // ICU adds 32-bit amounts; larger counts go in pieces.
      while (amount != 0) {
        std::int64_t piece = std::clamp<std::int64_t>(amount, -(1 << 30), 1 << 30);
        UErrorCode status = U_ZERO_ERROR;
        cal->add(step.field, static_cast<int32_t>(piece), status);
        if (U_FAILURE(status)) return std::nullopt;
        amount -= piece;
      }
    }
    if (cal) reached = timeOf(*cal);
    if (reached) *reached += days * kMillisecondsPerDay;
    if (!reached || !wall_clock::inRange(*reached)) return std::nullopt;
    // A clamped or wrapped answer lies far from where the counts lead.
    // (Eras have no length to expect.)
    if (!present(components.era) &&
        std::abs((*reached - wall) / kMillisecondsPerDay - expectedDays) > toleranceDays) {
      return std::nullopt;
    }
    auto travel = *reached < wall ? wall_clock::Travel::backward : wall_clock::Travel::forward;
    instant = wall_clock::resolve(zone, *reached, offset, travel);
  }

  // Hours, minutes and seconds are elapsed time.
  std::int64_t elapsed = 0;
  const std::array<std::pair<std::optional<std::int64_t>, std::int64_t>, 3> times = {{
      {components.hour, 3600},
      {components.minute, 60},
      {components.second, 1},
  }};
  for (const auto& [value, length] : times) {
    if (!present(value)) continue;
    std::int64_t seconds = 0;
    if (__builtin_mul_overflow(*value, length, &seconds) ||
        __builtin_add_overflow(elapsed, seconds, &elapsed)) {
      return std::nullopt;
    }
  }
  double milliseconds = instant + static_cast<double>(elapsed) * 1000.0 + start.fraction;
  if (present(components.nanosecond)) {
    milliseconds += static_cast<double>(*components.nanosecond) / 1e6;
  }
  if (!wall_clock::inRange(milliseconds)) return std::nullopt;
  return icu_support::fromUDate(milliseconds);
}

std::optional<Date> Calendar::dateByAdding(Component component, std::int64_t value, Date date,
                                           bool wrapping) const {
  DateComponents components;
  switch (component) {
    case Component::calendar:
    case Component::timeZone:
    case Component::isLeapMonth:
      return std::nullopt;
    default:
      components.setValue(value, component);
      break;
  }
  return dateByAdding(components, date, wrapping);
}

DateComponents Calendar::dateComponents(const ComponentSet& components, Date start,
                                        Date end) const {
  DateComponents result;
  auto cal = icu_support::makeCalendar(*this);
  SplitTime from = split(start);
  setTime(*cal, from.wholeMilliseconds);
  // Both ends move by the same fraction, so whole units are counted between whole milliseconds.
  UDate target = icu_support::toUDate(end) - from.fraction;

  auto difference = [&](Component component, UCalendarDateFields field) {
    if (!components.contains(component)) return;
    UErrorCode status = U_ZERO_ERROR;
    int32_t count = cal->fieldDifference(target, field, status);
    if (U_SUCCESS(status)) result.setValue(count, component);
  };

  if (components.contains(Component::era)) {
    // ICU cannot step a calendar by eras within one era (the era stays pinned and its search
    // never ends), so a span inside one era is answered here: no era elapsed.
    auto other = icu_support::makeCalendar(*this);
    if (setTime(*other, target) && get(*other, UCAL_ERA) == get(*cal, UCAL_ERA)) {
      result.era = 0;
    } else {
      difference(Component::era, UCAL_ERA);
    }
  }
  difference(Component::year, UCAL_YEAR);
  difference(Component::yearForWeekOfYear, UCAL_YEAR_WOY);
  if (components.contains(Component::quarter)) {
    UErrorCode status = U_ZERO_ERROR;
    UDate before = cal->getTime(status);
    int32_t months = cal->fieldDifference(target, UCAL_MONTH, status);
    // Quarters count months without using them up: the months stay for the month component.
    setTime(*cal, before);
    if (U_SUCCESS(status)) result.quarter = months / 3;
  }
  difference(Component::month, UCAL_MONTH);
  difference(Component::weekOfYear, UCAL_WEEK_OF_YEAR);
  difference(Component::weekOfMonth, UCAL_WEEK_OF_MONTH);
  // Weekdays and weekday ordinals are counts beside the days, not units that use them up.
  auto uncounted = [&](Component component, UCalendarDateFields field) {
    UErrorCode status = U_ZERO_ERROR;
    UDate before = cal->getTime(status);
    difference(component, field);
    setTime(*cal, before);
  };
  uncounted(Component::weekdayOrdinal, UCAL_DAY_OF_WEEK_IN_MONTH);
  uncounted(Component::weekday, UCAL_DAY_OF_WEEK);
  difference(Component::day, UCAL_DATE);

  // Below a day, units are elapsed time: counted here in 64 bits, as ICU's 32-bit differences
  // cannot hold the seconds of long spans.
  UErrorCode status = U_ZERO_ERROR;
  UDate reached = cal->getTime(status);
  if (U_FAILURE(status)) return result;
  double remaining = std::trunc(target - reached);  // whole milliseconds
  double fraction = (target - reached) - remaining;
  for (auto [component, length] :
       {std::pair{Component::hour, 3600000.0}, std::pair{Component::minute, 60000.0},
        std::pair{Component::second, 1000.0}}) {
    if (!components.contains(component)) continue;
    double count = std::trunc(remaining / length);
    if (std::abs(count) > 9.2e18) continue;
    result.setValue(static_cast<std::int64_t>(count), component);
    remaining -= count * length;
  }
  if (components.contains(Component::nanosecond)) {
    double nanoseconds = std::round((remaining + fraction) * 1e6);
    // Beyond 64 bits (spans of some 292 years) there is no count rather than a wrapped one.
    if (std::abs(nanoseconds) < 9.2e18) result.nanosecond = static_cast<std::int64_t>(nanoseconds);
  }
  if (components.contains(Component::calendar)) result.calendar = *this;
  if (components.contains(Component::timeZone)) result.timeZone = timeZone_;
  return result;
}

}  // namespace platform
