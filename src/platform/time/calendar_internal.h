#pragma once

// What the calendar's sources share: reading and setting ICU fields, and the week rules a
// calendar carries. Only the calendar's own sources include this.

#include <unicode/calendar.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>

#include "platform/foundation/date.h"
#include "platform/time/calendar.h"
#include "platform/time/icu_support.h"

namespace platform {

// The week rules set on a calendar, or the ones its system imposes; otherwise the locale decides.
struct CalendarAccess {
  static std::optional<int> firstWeekday(const Calendar& calendar) {
    if (calendar.firstWeekday_) return calendar.firstWeekday_;
    if (calendar.identifier_ == Calendar::Identifier::iso8601) return 2;
    return std::nullopt;
  }
  static std::optional<int> minimumDays(const Calendar& calendar) {
    if (calendar.minimumDaysInFirstWeek_) return calendar.minimumDaysInFirstWeek_;
    if (calendar.identifier_ == Calendar::Identifier::iso8601) return 4;
    return std::nullopt;
  }
  static std::unique_ptr<icu::Calendar> bare(const Calendar& calendar, const TimeZone& zone);
};

namespace calendar_detail {

using Component = Calendar::Component;
using Identifier = Calendar::Identifier;

// A day on a wall clock, or on a calendar without clock changes; never a day in a zone, which
// may be an hour longer or shorter.
constexpr double kMillisecondsPerDay = 86400000.0;

// The ICU field of a component; none for the components ICU has no field for.
std::optional<UCalendarDateFields> icuField(Component component);

inline std::optional<int32_t> narrow(std::int64_t value) {
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<int32_t>(value);
}

// A date split into what ICU can hold (whole milliseconds) and the rest, so that calendar work
// on fields does not lose the sub-millisecond part.
struct SplitTime {
  UDate wholeMilliseconds;
  double fraction;  // milliseconds, 0 <= fraction < 1
};

inline SplitTime split(Date date) {
  UDate ms = icu_support::toUDate(date);
  UDate whole = std::floor(ms);
  return {whole, ms - whole};
}

inline std::int64_t nanosecondOf(Date date) {
  double seconds = date.timeIntervalSinceReferenceDate();
  double fraction = seconds - std::floor(seconds);
  auto ns = static_cast<std::int64_t>(std::llround(fraction * 1e9));
  return std::min<std::int64_t>(ns, 999'999'999);
}

inline int32_t get(icu::Calendar& cal, UCalendarDateFields field) {
  UErrorCode status = U_ZERO_ERROR;
  int32_t value = cal.get(field, status);
  return U_SUCCESS(status) ? value : 0;
}

// The quarter the calendar's month lies in, 1 to 4.
std::int64_t quarterOf(icu::Calendar& cal);
// The value of a component at the calendar's time (`date` gives the part below ICU's
// milliseconds).
std::int64_t valueOf(icu::Calendar& cal, Component component, Date date);

inline bool setTime(icu::Calendar& cal, UDate ms) {
  UErrorCode status = U_ZERO_ERROR;
  cal.setTime(ms, status);
  return U_SUCCESS(status);
}

inline std::optional<UDate> timeOf(icu::Calendar& cal) {
  UErrorCode status = U_ZERO_ERROR;
  UDate ms = cal.getTime(status);
  if (U_FAILURE(status)) return std::nullopt;
  return ms;
}

inline void zeroTimeOfDay(icu::Calendar& cal) {
  cal.set(UCAL_HOUR_OF_DAY, 0);
  cal.set(UCAL_MINUTE, 0);
  cal.set(UCAL_SECOND, 0);
  cal.set(UCAL_MILLISECOND, 0);
}

// Days since the start of the week, by the calendar's first weekday: 0 to 6.
inline int32_t daysIntoWeek(icu::Calendar& cal) {
  return (get(cal, UCAL_DAY_OF_WEEK) - cal.getFirstDayOfWeek() + 7) % 7;
}

// Midnight at the start of the first week of the week-based year the calendar is in.
void moveToStartOfWeekYear(icu::Calendar& cal);

// Size of a unit, for deciding which of two units holds the other: -1 for what is no unit.
int rank(Component component);

}  // namespace calendar_detail
}  // namespace platform
