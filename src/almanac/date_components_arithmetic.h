#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "almanac/conversions.h"
#include "platform/foundation/date.h"
#include "platform/time/calendar.h"
#include "platform/time/date_components.h"

namespace almanac {

class DateRepresentable;

using Component = platform::Calendar::Component;

// The thirteen components that measure a length, smallest first: nanosecond, second, minute,
// hour, day, month, year, yearForWeekOfYear, weekOfYear, weekday, quarter, weekdayOrdinal,
// weekOfMonth. Made once, on first use.
const std::vector<Component>& componentUnitList();
// All sixteen components a date breaks into: era, year, month, day, hour, minute, second,
// weekday, weekdayOrdinal, quarter, weekOfMonth, weekOfYear, yearForWeekOfYear, nanosecond,
// calendar, timeZone.
platform::Calendar::ComponentSet allCalendarComponents();

// Seconds in one unit of the component, with the library's fixed lengths (a month is 43,800
// minutes, a quarter 91.25 days, a year 365 days); none for era, weekday, weekdayOrdinal,
// yearForWeekOfYear, calendar and time zone.
std::optional<double> unitLength(Component component);

// Components without calendar or zone in which every component of the unit list is 0, the given
// component holds the value and era is 0: a duration of one kind of unit.
platform::DateComponents single(Component component, std::int64_t value);
// Durations of n units; `weeks` counts weeks of the year.
platform::DateComponents nanoseconds(std::int64_t n);
platform::DateComponents seconds(std::int64_t n);
platform::DateComponents minutes(std::int64_t n);
platform::DateComponents hours(std::int64_t n);
platform::DateComponents days(std::int64_t n);
platform::DateComponents weeks(std::int64_t n);
platform::DateComponents months(std::int64_t n);
platform::DateComponents quarters(std::int64_t n);
platform::DateComponents years(std::int64_t n);

// Field by field over the fourteen numeric fields: unset where both sides are unset, else the
// sum with an unset side counted as 0. Calendar and zone are dropped. The arithmetic is checked:
// a sum outside the 64-bit range, or negating the smallest 64-bit value, gives no value instead
// of wrapping.
std::optional<platform::DateComponents> operator+(const platform::DateComponents& left,
                                                  const platform::DateComponents& right);
std::optional<platform::DateComponents> operator-(const platform::DateComponents& left,
                                                  const platform::DateComponents& right);
// Every set numeric field negated, unset ones left unset; no calendar, no zone.
std::optional<platform::DateComponents> negated(const platform::DateComponents& components);
std::optional<platform::DateComponents> operator-(const platform::DateComponents& components);

// The sum of value × unit length over the unit list, skipping unset fields, fields without a
// length and fields holding the undefined marker.
double timeInterval(const platform::DateComponents& components);
// Whether no field of the unit list holds anything but 0 (unset counts as 0).
bool isZero(const platform::DateComponents& components);

// Empty components (no calendar, no zone, no field) filled by the step.
platform::DateComponents make(const std::function<void(platform::DateComponents&)>& step);

// The current instant plus the components (or minus them, for `ago`) in the default region's
// calendar, without wrapping; none when the calendar gives no date or the components cannot be
// negated.
std::optional<platform::Date> fromNow(const platform::DateComponents& components);
std::optional<platform::Date> ago(const platform::DateComponents& components);
// The date's instant plus the components in the date's calendar, without wrapping.
std::optional<platform::Date> from(const platform::DateComponents& components,
                                   const DateRepresentable& date);

// The duration measured in one unit: the whole units of `component` from now to now plus the
// components (added in the default region's calendar), counted in `calendar` (the default
// region's when none is given). Following the calendar, two days across a daylight-saving
// change are not always 48 hours.
std::optional<std::int64_t> in(const platform::DateComponents& components, Component component,
                               const std::optional<CalendarConvertible>& calendar = std::nullopt);
// The same in a set of components; every component of the unit list that the calendar answers
// appears in the result.
std::map<Component, std::int64_t> in(
    const platform::DateComponents& components, const platform::Calendar::ComponentSet& set,
    const std::optional<CalendarConvertible>& calendar = std::nullopt);

}  // namespace almanac
