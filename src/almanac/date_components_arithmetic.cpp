#include "almanac/date_components_arithmetic.h"

#include <array>
#include <limits>

#include "almanac/almanac.h"
#include "almanac/date_representable.h"

namespace almanac {

namespace {

// The fields that hold numbers, in the order sums and negations walk them.
constexpr std::array<Component, 14> numericComponents = {
    Component::era,        Component::year,
    Component::month,      Component::day,
    Component::hour,       Component::minute,
    Component::second,     Component::nanosecond,
    Component::weekday,    Component::weekdayOrdinal,
    Component::quarter,    Component::weekOfMonth,
    Component::weekOfYear, Component::yearForWeekOfYear,
};

}  // namespace

const std::vector<Component>& componentUnitList() {
  static const std::vector<Component> list = {
      Component::nanosecond,  Component::second,  Component::minute,  Component::hour,
      Component::day,         Component::month,   Component::year,    Component::yearForWeekOfYear,
      Component::weekOfYear,  Component::weekday, Component::quarter, Component::weekdayOrdinal,
      Component::weekOfMonth,
  };
  return list;
}

platform::Calendar::ComponentSet allCalendarComponents() {
  return {Component::era,
          Component::year,
          Component::month,
          Component::day,
          Component::hour,
          Component::minute,
          Component::second,
          Component::weekday,
          Component::weekdayOrdinal,
          Component::quarter,
          Component::weekOfMonth,
          Component::weekOfYear,
          Component::yearForWeekOfYear,
          Component::nanosecond,
          Component::calendar,
          Component::timeZone};
}

std::optional<double> unitLength(Component component) {
  switch (component) {
    case Component::nanosecond:
      return 1e-9;
    case Component::second:
      return 1;
    case Component::minute:
      return 60;
    case Component::hour:
      return 3600;
    case Component::day:
      return 86400;
    case Component::weekOfMonth:
    case Component::weekOfYear:
      return 604800;
    case Component::month:
      return 2628000;
    case Component::quarter:
      return 7884000;
    case Component::year:
      return 31536000;
    default:
      return std::nullopt;
  }
}

platform::DateComponents single(Component component, std::int64_t value) {
  platform::DateComponents components;
  for (Component unit : componentUnitList())
    components.setValue(0, unit);
  components.setValue(value, component);
  components.era = 0;
  return components;
}

platform::DateComponents nanoseconds(std::int64_t n) {
  return single(Component::nanosecond, n);
}
platform::DateComponents seconds(std::int64_t n) {
  return single(Component::second, n);
}
platform::DateComponents minutes(std::int64_t n) {
  return single(Component::minute, n);
}
platform::DateComponents hours(std::int64_t n) {
  return single(Component::hour, n);
}
platform::DateComponents days(std::int64_t n) {
  return single(Component::day, n);
}
platform::DateComponents weeks(std::int64_t n) {
  return single(Component::weekOfYear, n);
}
platform::DateComponents months(std::int64_t n) {
  return single(Component::month, n);
}
platform::DateComponents quarters(std::int64_t n) {
  return single(Component::quarter, n);
}
platform::DateComponents years(std::int64_t n) {
  return single(Component::year, n);
}

std::optional<platform::DateComponents> operator+(const platform::DateComponents& left,
                                                  const platform::DateComponents& right) {
  platform::DateComponents result;
  for (Component component : numericComponents) {
    auto a = left.value(component);
    auto b = right.value(component);
    if (!a && !b) continue;
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a.value_or(0), b.value_or(0), &sum)) return std::nullopt;
    result.setValue(sum, component);
  }
  return result;
}

std::optional<platform::DateComponents> negated(const platform::DateComponents& components) {
  platform::DateComponents result;
  for (Component component : numericComponents) {
    auto value = components.value(component);
    if (!value) continue;
    if (*value == std::numeric_limits<std::int64_t>::min()) return std::nullopt;
    result.setValue(-*value, component);
  }
  return result;
}

std::optional<platform::DateComponents> operator-(const platform::DateComponents& components) {
  return negated(components);
}

std::optional<platform::DateComponents> operator-(const platform::DateComponents& left,
                                                  const platform::DateComponents& right) {
  auto negative = negated(right);
  if (!negative) return std::nullopt;
  return left + *negative;
}

double timeInterval(const platform::DateComponents& components) {
  double total = 0;
  for (Component component : componentUnitList()) {
    auto value = components.value(component);
    auto length = unitLength(component);
    if (!value || !length || *value == platform::DateComponents::undefined) continue;
    total += static_cast<double>(*value) * *length;
  }
  return total;
}

bool isZero(const platform::DateComponents& components) {
  for (Component component : componentUnitList()) {
    if (components.value(component).value_or(0) != 0) return false;
  }
  return true;
}

platform::DateComponents make(const std::function<void(platform::DateComponents&)>& step) {
  platform::DateComponents components;
  if (step) step(components);
  return components;
}

std::optional<platform::Date> fromNow(const platform::DateComponents& components) {
  return Almanac::defaultRegion().calendar().dateByAdding(components, platform::Date::now());
}

std::optional<platform::Date> ago(const platform::DateComponents& components) {
  auto negative = negated(components);
  if (!negative) return std::nullopt;
  return fromNow(*negative);
}

std::optional<platform::Date> from(const platform::DateComponents& components,
                                   const DateRepresentable& date) {
  return date.calendar().dateByAdding(components, date.date());
}

namespace {

// Now, and now plus the components in the default region's calendar, with the calendar to count
// in.
struct Span {
  platform::Date start;
  platform::Date end;
  platform::Calendar calendar;
};

std::optional<Span> spanFromNow(const platform::DateComponents& components,
                                const std::optional<CalendarConvertible>& calendar) {
  platform::Date now = platform::Date::now();
  platform::Calendar defaultCalendar = Almanac::defaultRegion().calendar();
  auto end = defaultCalendar.dateByAdding(components, now);
  if (!end) return std::nullopt;
  return Span{now, *end, calendar ? calendar->toCalendar() : defaultCalendar};
}

}  // namespace

std::optional<std::int64_t> in(const platform::DateComponents& components, Component component,
                               const std::optional<CalendarConvertible>& calendar) {
  auto span = spanFromNow(components, calendar);
  if (!span) return std::nullopt;
  return span->calendar.dateComponents({component}, span->start, span->end).value(component);
}

std::map<Component, std::int64_t> in(const platform::DateComponents& components,
                                     const platform::Calendar::ComponentSet& set,
                                     const std::optional<CalendarConvertible>& calendar) {
  std::map<Component, std::int64_t> result;
  auto span = spanFromNow(components, calendar);
  if (!span) return result;
  auto difference = span->calendar.dateComponents(set, span->start, span->end);
  for (Component component : componentUnitList()) {
    auto value = difference.value(component);
    if (value && *value != platform::DateComponents::undefined) result[component] = *value;
  }
  return result;
}

}  // namespace almanac
