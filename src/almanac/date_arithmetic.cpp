#include <cmath>

#include "almanac/date_components_arithmetic.h"
#include "almanac/date_in_region.h"

namespace almanac {

namespace {

using Policy = platform::Calendar::MatchingPolicy;

// The searches that keep a date's time of day: the next matching time, a time inside a gap
// moved on by the gap, the first of two repeated times.
std::optional<platform::Date> searchForward(const platform::Calendar& calendar, platform::Date date,
                                            const platform::DateComponents& matching) {
  return calendar.nextDate(date, matching, Policy::nextTimePreservingSmallerComponents,
                           platform::Calendar::RepeatedTimePolicy::first,
                           platform::Calendar::SearchDirection::forward);
}

}  // namespace

std::optional<DateInRegion> DateInRegion::adding(const platform::DateComponents& components) const {
  auto date = region_.calendar().dateByAdding(components, date_);
  if (!date) return std::nullopt;
  return DateInRegion(*date, region_);
}

DateInRegion DateInRegion::dateByAdding(std::int64_t count, Component component) const {
  platform::DateComponents components;
  switch (component) {
    case Component::calendar:
    case Component::timeZone:
    case Component::isLeapMonth:
      components.second = 0;
      break;
    default:
      components.setValue(count, component);
      break;
  }
  return adding(components).value_or(*this);
}

DateInRegion DateInRegion::addingTimeInterval(double seconds) const {
  return DateInRegion(date_ + seconds, region_);
}

DateInRegion DateInRegion::dateAtStartOf(Component component) const {
  // The day's start alone, without the length the unit search also finds.
  if (component == Component::day)
    return DateInRegion(region_.calendar().startOfDay(date_), region_);
  auto unit = region_.calendar().dateInterval(component, date_);
  if (!unit) return *this;
  return DateInRegion(unit->start, region_);
}

DateInRegion DateInRegion::dateAtEndOf(Component component) const {
  auto unit = region_.calendar().dateInterval(component, date_);
  if (!unit) return *this;
  return DateInRegion(unit->start + unit->duration - 0.001, region_);
}

DateInRegion DateInRegion::dateAtStartOf(const std::vector<Component>& components) const {
  DateInRegion result = *this;
  for (Component component : components)
    result = result.dateAtStartOf(component);
  return result;
}

DateInRegion DateInRegion::dateAtEndOf(const std::vector<Component>& components) const {
  DateInRegion result = *this;
  for (Component component : components)
    result = result.dateAtEndOf(component);
  return result;
}

std::optional<DateInRegion> DateInRegion::dateBySet(
    const std::map<Component, std::optional<std::int64_t>>& values) const {
  auto own = dateComponents();
  platform::DateComponents components;
  for (Component component : {Component::year, Component::month, Component::day, Component::hour,
                              Component::minute, Component::second, Component::nanosecond}) {
    auto found = values.find(component);
    components.setValue(found != values.end() ? found->second : own.value(component), component);
  }
  for (Component component : {Component::weekday, Component::weekOfYear, Component::weekdayOrdinal,
                              Component::yearForWeekOfYear}) {
    auto found = values.find(component);
    if (found != values.end()) components.setValue(found->second, component);
  }
  // Without its era a year would be read in the calendar's default era.
  components.era = own.era;
  auto date = region_.calendar().date(components, date_);
  if (!date) return std::nullopt;
  return DateInRegion(*date, region_);
}

std::optional<DateInRegion> DateInRegion::dateBySet(std::optional<std::int64_t> hour,
                                                    std::optional<std::int64_t> min,
                                                    std::optional<std::int64_t> secs,
                                                    std::optional<std::int64_t> ms,
                                                    const TimeCalculationOptions& options) const {
  const auto& calendar = region_.calendar();
  auto date = calendar.date(platform::bySettingHour, hour.value_or(this->hour()),
                            min.value_or(minute()), secs.value_or(second()), date_,
                            options.matchingPolicy, options.repeatedTimePolicy, options.direction);
  if (!date) return std::nullopt;
  if (ms) {
    double whole = std::floor(date->timeIntervalSince1970());
    *date = platform::Date::fromTimeIntervalSince1970(whole + static_cast<double>(*ms) / 1000.0);
  }
  return DateInRegion(*date, region_);
}

std::optional<DateInRegion> DateInRegion::dateTruncated(const std::vector<Component>& at) const {
  auto components = dateComponents();
  for (Component component : at) {
    switch (component) {
      case Component::month:
        components.month = 1;
        break;
      case Component::day:
        components.day = 1;
        break;
      case Component::hour:
      case Component::minute:
      case Component::second:
      case Component::nanosecond:
        components.setValue(0, component);
        break;
      default:
        break;
    }
  }
  auto date = region_.calendar().date(components, date_);
  if (!date) return std::nullopt;
  return DateInRegion(*date, region_);
}

std::optional<DateInRegion> DateInRegion::dateTruncated(Component from) const {
  switch (from) {
    case Component::month:
      return dateTruncated({Component::month, Component::day, Component::hour, Component::minute,
                            Component::second, Component::nanosecond});
    case Component::day:
      return dateTruncated({Component::day, Component::hour, Component::minute, Component::second,
                            Component::nanosecond});
    case Component::hour:
      return dateTruncated(
          {Component::hour, Component::minute, Component::second, Component::nanosecond});
    case Component::minute:
      return dateTruncated({Component::minute, Component::second, Component::nanosecond});
    case Component::second:
      return dateTruncated({Component::second, Component::nanosecond});
    case Component::nanosecond:
      return dateTruncated({Component::nanosecond});
    default:
      return *this;
  }
}

DateInRegion DateInRegion::dateRoundedAt(const RoundDateMode& mode) const {
  enum class Kind { nearest, ceil, floor };
  auto [kind, n] = std::visit(
      [](const auto& value) -> std::pair<Kind, std::int64_t> {
        using T = std::decay_t<decltype(value)>;
        using M = RoundDateMode;
        if constexpr (std::is_same_v<T, M::toMins>) return {Kind::nearest, value.minutes};
        if constexpr (std::is_same_v<T, M::toCeilMins>) return {Kind::ceil, value.minutes};
        if constexpr (std::is_same_v<T, M::toFloorMins>) return {Kind::floor, value.minutes};
        if constexpr (std::is_same_v<T, M::to5Mins>) return {Kind::nearest, 5};
        if constexpr (std::is_same_v<T, M::to10Mins>) return {Kind::nearest, 10};
        if constexpr (std::is_same_v<T, M::to30Mins>) return {Kind::nearest, 30};
        if constexpr (std::is_same_v<T, M::toCeil5Mins>) return {Kind::ceil, 5};
        if constexpr (std::is_same_v<T, M::toCeil10Mins>) return {Kind::ceil, 10};
        if constexpr (std::is_same_v<T, M::toCeil30Mins>) return {Kind::ceil, 30};
        if constexpr (std::is_same_v<T, M::toFloor5Mins>) return {Kind::floor, 5};
        if constexpr (std::is_same_v<T, M::toFloor10Mins>) return {Kind::floor, 10};
        return {Kind::floor, 30};
      },
      mode.value());
  // No step of zero or fewer minutes rounds anything.
  if (n <= 0) return *this;
  std::int64_t m = minute();
  std::int64_t s = second();
  std::int64_t r = m % n;
  // The choice between up and down looks at the minute's last digit, not at the step.
  if (kind == Kind::nearest) kind = m % 10 >= 5 ? Kind::ceil : Kind::floor;
  std::int64_t minuteLength = static_cast<std::int64_t>(*unitLength(Component::minute));
  std::int64_t shift = kind == Kind::ceil ? (n - r) * minuteLength - s : -(r * minuteLength + s);
  return dateByAdding(shift, Component::second);
}

DateInRegion DateInRegion::dateAt(const DateRelatedType& type) const {
  using T = DateRelatedType;
  const platform::Calendar& calendar = region_.calendar();
  auto startOf = [](const DateInRegion& date, Component unit) { return date.dateAtStartOf(unit); };
  auto nextTransition = [&] {
    auto transition = region_.timeZone().nextDaylightSavingTimeTransition(date_);
    return DateInRegion(transition.value_or(date_), region_);
  };
  return std::visit(
      [&](const auto& value) -> DateInRegion {
        using C = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<C, T::nearestMinute>) {
          std::int64_t n = value.minute;
          if (n <= 0) return *this;
          return dateBySet({{Component::minute, (minute() + n / 2) / n * n}}).value_or(*this);
        } else if constexpr (std::is_same_v<C, T::nearestHour>) {
          std::int64_t n = value.hour;
          if (n <= 0) return *this;
          return dateBySet({{Component::hour, (hour() + n / 2) / n * n}, {Component::minute, 0}})
              .value_or(*this);
        } else if constexpr (std::is_same_v<C, T::nextWeekday>) {
          // Weeks from Monday, in this date's own zone and locale.
          platform::Calendar mondayFirst = calendar;
          mondayFirst.setFirstWeekday(2);
          platform::DateComponents matching;
          matching.weekday = value.weekday.rawValue();
          auto found = searchForward(mondayFirst, date_, matching);
          return DateInRegion(found.value_or(date_), region_);
        } else if constexpr (std::is_same_v<C, T::startOfDay>) {
          return DateInRegion(calendar.startOfDay(date_), region_);
        } else if constexpr (std::is_same_v<C, T::endOfDay>) {
          return dateByAdding(1, Component::day)
              .dateAt(T::startOfDay{})
              .dateByAdding(-1, Component::second);
        } else if constexpr (std::is_same_v<C, T::startOfWeek>) {
          // The week unit's start: a date made from the week fields alone lands centuries away
          // in calendars whose week-year ICU counts apart (the Chinese one).
          return startOf(*this, Component::weekOfYear);
        } else if constexpr (std::is_same_v<C, T::endOfWeek>) {
          return dateAt(T::startOfWeek{})
              .dateByAdding(7, Component::day)
              .dateByAdding(-1, Component::second);
        } else if constexpr (std::is_same_v<C, T::startOfMonth>) {
          return dateBySet({{Component::day, 1},
                            {Component::hour, 0},
                            {Component::minute, 0},
                            {Component::second, 0},
                            {Component::nanosecond, 0}})
              .value_or(*this);
        } else if constexpr (std::is_same_v<C, T::endOfMonth>) {
          return dateByAdding(daysInMonth() - day(), Component::day).dateAtEndOf(Component::day);
        } else if constexpr (std::is_same_v<C, T::tomorrow>) {
          return dateByAdding(1, Component::day);
        } else if constexpr (std::is_same_v<C, T::tomorrowAtStart>) {
          return startOf(dateByAdding(1, Component::day), Component::day);
        } else if constexpr (std::is_same_v<C, T::yesterday>) {
          return dateByAdding(-1, Component::day);
        } else if constexpr (std::is_same_v<C, T::yesterdayAtStart>) {
          return startOf(dateByAdding(-1, Component::day), Component::day);
        } else if constexpr (std::is_same_v<C, T::nextDSTDate> ||
                             std::is_same_v<C, T::nextDSTTransition>) {
          return nextTransition();
        } else if constexpr (std::is_same_v<C, T::prevMonth> || std::is_same_v<C, T::nextMonth>) {
          std::int64_t step = std::is_same_v<C, T::nextMonth> ? 1 : -1;
          return startOf(startOf(dateByAdding(step, Component::month), Component::month),
                         Component::day);
        } else if constexpr (std::is_same_v<C, T::prevWeek> || std::is_same_v<C, T::nextWeek>) {
          std::int64_t step = std::is_same_v<C, T::nextWeek> ? 1 : -1;
          return startOf(startOf(dateByAdding(step, Component::weekOfYear), Component::weekOfYear),
                         Component::day);
        } else {
          static_assert(std::is_same_v<C, T::nextYear> || std::is_same_v<C, T::prevYear>);
          std::int64_t step = std::is_same_v<C, T::nextYear> ? 1 : -1;
          return startOf(dateByAdding(step, Component::year), Component::year);
        }
      },
      type.value());
}

DateInRegion DateInRegion::nextWeekday(WeekDay weekday) const {
  platform::DateComponents matching;
  matching.weekday = weekday.rawValue();
  matching.hour = hour();
  matching.minute = minute();
  matching.second = second();
  auto found = searchForward(region_.calendar(), date_, matching);
  return DateInRegion(found.value_or(date_), region_);
}

DateInRegion DateInRegion::nextDate(std::int64_t day, std::optional<std::int64_t> month) const {
  platform::DateComponents matching;
  matching.day = day;
  matching.month = month;
  matching.hour = hour();
  matching.minute = minute();
  matching.second = second();
  auto found = searchForward(region_.calendar(), date_, matching);
  return DateInRegion(found.value_or(date_), region_);
}

DateInRegion DateInRegion::dateAt(std::int64_t dayOfMonth, std::optional<std::int64_t> monthNumber,
                                  std::optional<std::int64_t> yearNumber) const {
  auto date = fromNumbers(yearNumber.value_or(year()), monthNumber.value_or(month()), dayOfMonth,
                          hour(), minute(), second(), nanosecond(), region_);
  return date.value_or(*this);
}

DateInRegion DateInRegion::dateAt(std::int64_t weekdayOrdinal, WeekDay weekday,
                                  std::optional<std::int64_t> monthNumber,
                                  std::optional<std::int64_t> yearNumber) const {
  DateInRegion date = dateAt(1, monthNumber, yearNumber);
  std::int64_t steps = weekdayOrdinal;
  if (date.weekday() == weekday.rawValue()) --steps;
  for (std::int64_t i = 0; i < steps; ++i)
    date = date.nextWeekday(weekday);
  return date;
}

DateInRegion DateInRegion::nextDate(std::int64_t weekdayOrdinal, WeekDay weekday,
                                    std::optional<std::int64_t> monthNumber) const {
  DateInRegion date = dateAt(weekdayOrdinal, weekday, monthNumber, std::nullopt);
  if (date > *this) return date;
  if (!monthNumber) return dateAt(weekdayOrdinal, weekday, month() + 1, std::nullopt);
  return dateAt(weekdayOrdinal, weekday, monthNumber, year() + 1);
}

DateInRegion DateInRegion::dateAfter(std::int64_t weeks, WeekDay on) const {
  DateInRegion date = dateByAdding(weeks, Component::weekOfMonth);
  if (date.weekday() == on.rawValue()) return date;
  if (on.rawValue() < date.weekday()) date = date.dateByAdding(-1, Component::weekOfMonth);
  return date.nextWeekday(on);
}

std::vector<DateInRegion> DateInRegion::datesForWeekday(WeekDay weekday, std::int64_t inMonth,
                                                        std::int64_t ofYear, const Region& region) {
  auto first = fromNumbers(ofYear, inMonth, 1, 0, 0, 0, 0, region);
  if (!first) return {};
  return datesForWeekday(weekday, *first, first->dateAt(DateRelatedType::endOfMonth{}), region);
}

std::int64_t DateInRegion::monthDays() const {
  auto days = region_.calendar().range(Component::day, Component::month, date_);
  return days ? days->count() : 0;
}

DateInRegion DateInRegion::convertTo(const std::optional<CalendarConvertible>& calendar,
                                     const std::optional<ZoneConvertible>& timezone,
                                     const std::optional<LocaleConvertible>& locale) const {
  platform::Calendar base = calendar ? calendar->toCalendar() : region_.calendar();
  platform::TimeZone zone = timezone ? timezone->toTimezone() : base.timeZone();
  // A calendar given without a locale takes this date's.
  platform::Locale chosen = locale ? locale->toLocale() : base.locale().value_or(region_.locale());
  return DateInRegion(date_, Region(base, zone, chosen));
}

std::optional<DateInRegion> operator+(const DateInRegion& date,
                                      const platform::DateComponents& components) {
  return date.adding(components);
}

std::optional<DateInRegion> operator-(const DateInRegion& date,
                                      const platform::DateComponents& components) {
  auto negative = negated(components);
  if (!negative) return std::nullopt;
  return date.adding(*negative);
}

std::optional<DateInRegion> operator+(const DateInRegion& date, const ComponentValues& values) {
  auto components = dateComponents(values);
  if (!components) return std::nullopt;
  return date.adding(*components);
}

std::optional<DateInRegion> operator-(const DateInRegion& date, const ComponentValues& values) {
  auto negative = negated(values);
  if (!negative) return std::nullopt;
  return date + *negative;
}

}  // namespace almanac
