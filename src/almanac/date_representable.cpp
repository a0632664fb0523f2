#include "almanac/date_representable.h"

#include "almanac/date_components_arithmetic.h"
#include "almanac/date_in_region.h"
#include "almanac/formatter_cache.h"

namespace almanac {

namespace {

// The calendar week that holds the date, as the calendar finds the unit: a date made from the
// week fields alone lands in another year in calendars whose week-year ICU counts apart (the
// Chinese one).
std::optional<platform::DateInterval> weekOf(const platform::Calendar& calendar,
                                             platform::Date date) {
  return calendar.dateInterval(Component::weekOfYear, date);
}

}  // namespace

platform::DateComponents DateRepresentable::allComponents() const {
  return calendar().dateComponents(allCalendarComponents(), date());
}

platform::Calendar DateRepresentable::calendar() const {
  return region().calendar();
}

std::int64_t DateRepresentable::component(Component component) const {
  return calendar().component(component, date());
}

std::int64_t DateRepresentable::era() const {
  return component(Component::era);
}
std::int64_t DateRepresentable::year() const {
  return component(Component::year);
}
std::int64_t DateRepresentable::month() const {
  return component(Component::month);
}
std::int64_t DateRepresentable::day() const {
  return component(Component::day);
}
std::int64_t DateRepresentable::hour() const {
  return component(Component::hour);
}
std::int64_t DateRepresentable::minute() const {
  return component(Component::minute);
}
std::int64_t DateRepresentable::second() const {
  return component(Component::second);
}
std::int64_t DateRepresentable::nanosecond() const {
  return component(Component::nanosecond);
}
std::int64_t DateRepresentable::weekday() const {
  return component(Component::weekday);
}
std::int64_t DateRepresentable::weekdayOrdinal() const {
  return component(Component::weekdayOrdinal);
}
std::int64_t DateRepresentable::weekOfYear() const {
  return component(Component::weekOfYear);
}
std::int64_t DateRepresentable::weekOfMonth() const {
  return component(Component::weekOfMonth);
}
std::int64_t DateRepresentable::yearForWeekOfYear() const {
  return component(Component::yearForWeekOfYear);
}

std::int64_t DateRepresentable::daysInMonth() const {
  auto range = calendar().range(Component::day, Component::month, date());
  return range ? range->count() : 0;
}

std::int64_t DateRepresentable::dayNumberInYear() const {
  return calendar().ordinality(Component::day, Component::year, date()).value_or(0);
}

std::int64_t DateRepresentable::millisecondsInDay() const {
  platform::Calendar cal = calendar();
  platform::Date instant = date();
  auto elapsed = cal.dateComponents({Component::second}, cal.startOfDay(instant), instant);
  return elapsed.second.value_or(0) * 1000;
}

std::int64_t DateRepresentable::roundedHour() const {
  platform::Calendar cal = calendar();
  platform::Date instant = date();
  std::int64_t minutes = cal.component(Component::minute, instant);
  std::int64_t shift = minutes > 29 ? 60 - minutes : -minutes;
  platform::Date shifted = cal.dateByAdding(Component::minute, shift, instant).value_or(instant);
  return cal.component(Component::hour, shifted);
}

std::int64_t DateRepresentable::weekStartDay() const {
  platform::Calendar cal = calendar();
  auto week = weekOf(cal, date());
  return cal.component(Component::day, week ? week->start : date());
}

std::int64_t DateRepresentable::weekEndDay() const {
  platform::Calendar cal = calendar();
  auto week = weekOf(cal, date());
  return cal.component(Component::day, week ? week->end() - 0.001 : date());
}

std::int64_t DateRepresentable::quarter() const {
  // The calendar's own rule, so that this and the components' quarter never disagree.
  return component(Component::quarter);
}

double DateRepresentable::daylightSavingOffset() const {
  return region().timeZone().daylightSavingTimeOffset(date());
}

bool DateRepresentable::fallsInToday() const {
  return calendar().isDateInToday(date());
}
bool DateRepresentable::fallsInYesterday() const {
  return calendar().isDateInYesterday(date());
}
bool DateRepresentable::fallsInTomorrow() const {
  return calendar().isDateInTomorrow(date());
}
bool DateRepresentable::fallsInWeekend() const {
  return calendar().isDateInWeekend(date());
}
bool DateRepresentable::fallsBeforeNow() const {
  return date() < platform::Date::now();
}
bool DateRepresentable::fallsAfterNow() const {
  return date() > platform::Date::now();
}

std::shared_ptr<platform::DateFormatter> DateRepresentable::configured(
    const std::optional<std::string>& pattern, bool intoRegion, const Adjust& adjust) const {
  auto formatter = customFormatter();
  if (!formatter) formatter = sharedFormatter();
  if (pattern) formatter->setDateFormat(*pattern);
  if (intoRegion) {
    Region own = region();
    formatter->setTimeZone(own.timeZone());
    formatter->setCalendar(own.calendar());
    formatter->setLocale(own.locale());
  }
  if (adjust) adjust(*formatter);
  return formatter;
}

std::shared_ptr<platform::DateFormatter> DateRepresentable::formatter(
    const std::optional<std::string>& pattern, const Adjust& adjust) const {
  return configured(pattern, false, adjust);
}

std::shared_ptr<platform::DateFormatter> DateRepresentable::regionFormatter(
    const std::optional<std::string>& pattern, const Adjust& adjust) const {
  return configured(pattern, true, adjust);
}

std::shared_ptr<platform::DateFormatter> DateRepresentable::sharedFormatter() const {
  return sharedDateFormatter(region(), std::nullopt);
}

DateInRegion DateRepresentable::inRegion(const Region& region) const {
  return DateInRegion(date(), region);
}

std::string DateRepresentable::relativeText(
    const std::optional<DateInRegion>& since,
    platform::RelativeDateTimeFormatter::DateTimeStyle dateTimeStyle,
    platform::RelativeDateTimeFormatter::UnitsStyle unitsStyle) const {
  platform::RelativeDateTimeFormatter formatter;
  formatter.setDateTimeStyle(dateTimeStyle);
  formatter.setUnitsStyle(unitsStyle);
  return formatter.localizedString(date(), since ? since->date() : platform::Date::now());
}

std::map<Component, std::int64_t> DateRepresentable::componentDifferences(
    const platform::Calendar::ComponentSet& components, const DateRepresentable& other) const {
  auto difference = calendar().dateComponents(components, date(), other.date());
  std::map<Component, std::int64_t> result;
  for (Component unit : componentUnitList()) {
    auto value = difference.value(unit);
    if (value && *value != platform::DateComponents::undefined) result[unit] = *value;
  }
  return result;
}

std::optional<std::int64_t> DateRepresentable::componentDifference(
    Component component, const DateRepresentable& other) const {
  return calendar().dateComponents({component}, date(), other.date()).value(component);
}

}  // namespace almanac
