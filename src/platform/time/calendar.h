#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string_view>

#include "platform/foundation/date.h"
#include "platform/time/date_interval.h"
#include "platform/time/locale.h"
#include "platform/time/time_zone.h"

namespace platform {

struct DateComponents;

// The platform's calendar-unit bits, as option sets of units are written.
enum class CalendarUnit : std::uint64_t {
  none = 0,
  era = 2,
  year = 4,
  month = 8,
  day = 16,
  hour = 32,
  minute = 64,
  second = 128,
  weekday = 512,
  weekdayOrdinal = 1024,
  quarter = 2048,
  weekOfMonth = 4096,
  weekOfYear = 8192,
  yearForWeekOfYear = 16384,
  nanosecond = 32768,
  calendar = 1048576,
  timeZone = 2097152,
};

constexpr CalendarUnit operator|(CalendarUnit a, CalendarUnit b) {
  return CalendarUnit(std::uint64_t(a) | std::uint64_t(b));
}
constexpr CalendarUnit operator&(CalendarUnit a, CalendarUnit b) {
  return CalendarUnit(std::uint64_t(a) & std::uint64_t(b));
}
constexpr CalendarUnit& operator|=(CalendarUnit& a, CalendarUnit b) {
  return a = a | b;
}
constexpr bool contains(CalendarUnit set, CalendarUnit unit) {
  return unit != CalendarUnit::none && (set & unit) == unit;
}

// Selects the setting form of `Calendar::date`.
struct bySettingHour_t {
  explicit bySettingHour_t() = default;
};
inline constexpr bySettingHour_t bySettingHour{};

enum class ComparisonResult { orderedAscending = -1, orderedSame = 0, orderedDescending = 1 };

// A calendar system with the zone and locale its answers are given in. A value: setters change
// only this copy. Questions are answered by ICU calendars kept per thread for these settings.
class Calendar {
 public:
  // In the order in which calendar names are searched.
  enum class Identifier {
    gregorian,
    buddhist,
    chinese,
    coptic,
    ethiopicAmeteMihret,
    ethiopicAmeteAlem,
    hebrew,
    iso8601,
    indian,
    islamic,
    islamicCivil,
    japanese,
    persian,
    republicOfChina,
    islamicTabular,
    islamicUmmAlQura,
  };
  static constexpr std::size_t identifierCount = 16;

  enum class Component {
    era,
    year,
    month,
    day,
    hour,
    minute,
    second,
    weekday,
    weekdayOrdinal,
    quarter,
    weekOfMonth,
    weekOfYear,
    yearForWeekOfYear,
    nanosecond,
    calendar,
    timeZone,
    isLeapMonth,
  };
  using ComponentSet = std::set<Component>;

  enum class MatchingPolicy {
    nextTime,
    nextTimePreservingSmallerComponents,
    previousTimePreservingSmallerComponents,
    strict,
  };
  enum class RepeatedTimePolicy { first, last };
  enum class SearchDirection { forward, backward };

  // A half-open range of component values, lowerBound ..< upperBound.
  struct Range {
    std::int64_t lowerBound = 0;
    std::int64_t upperBound = 0;
    std::int64_t count() const { return upperBound - lowerBound; }
    bool contains(std::int64_t value) const { return lowerBound <= value && value < upperBound; }
    friend bool operator==(const Range&, const Range&) = default;
  };

  // A calendar of that system in the current time zone, without a locale (week rules then
  // start weeks on Sunday with one day in the first week).
  explicit Calendar(Identifier identifier);

  // The user's calendar: the system the current locale names (Gregorian unless its identifier
  // carries a calendar keyword), in the current zone and locale.
  static Calendar current();
  // The same, with the autoupdating zone and locale.
  static Calendar autoupdatingCurrent();

  // The stored identifier. ICU reports some systems under another name (an ISO 8601 calendar
  // says it is Gregorian), so this is never read back from ICU.
  Identifier identifier() const { return identifier_; }

  const TimeZone& timeZone() const { return timeZone_; }
  void setTimeZone(TimeZone zone) { timeZone_ = std::move(zone); }
  const std::optional<Locale>& locale() const { return locale_; }
  void setLocale(std::optional<Locale> locale) { locale_ = std::move(locale); }

  // 1 is Sunday. Unless set, it follows the locale's week rules (ISO 8601: Monday).
  int firstWeekday() const;
  void setFirstWeekday(int weekday);
  // Unless set, it follows the locale's week rules (ISO 8601: 4).
  int minimumDaysInFirstWeek() const;
  void setMinimumDaysInFirstWeek(int days);

  // --- Breaking a date into components ---
  // The value of one component at the instant. The quarter is computed from the month; the
  // nanosecond comes from the fraction of the second. `calendar`, `timeZone` give 0.
  std::int64_t component(Component component, Date date) const;
  DateComponents dateComponents(const ComponentSet& components, Date date) const;
  DateComponents dateComponents(const ComponentSet& components, Date date,
                                const TimeZone& zone) const;

  // --- Making a date from components ---
  // Components left out take the platform's defaults (era of year 1, year 1, month 1, day 1,
  // midnight), not ICU's 1970. When year, month or day are given, they decide the day over any
  // week fields given beside them. A value beyond what the calendar can hold gives no date.
  std::optional<Date> date(const DateComponents& components) const;
  // The same; a wall time that exists twice is the occurrence on `keepingSideOf`'s side of the
  // change (its offset from GMT) when one is, otherwise the first.
  std::optional<Date> date(const DateComponents& components,
                           std::optional<Date> keepingSideOf) const;

  // --- Searches ---
  // The first instant strictly after `date` (strictly before it, searching backward) at which
  // every given component matches. Components below the largest given one that are not given
  // take their smallest value (matching a weekday alone gives that day's midnight). A value no
  // unit of the calendar holds gives no date at once; a search gives up after 400 years.
  std::optional<Date> nextDate(Date date, const DateComponents& matching,
                               MatchingPolicy matchingPolicy,
                               RepeatedTimePolicy repeatedTimePolicy = RepeatedTimePolicy::first,
                               SearchDirection direction = SearchDirection::forward) const;
  // That time of day on the date's own day; a time the day skips gives none under `strict`.
  std::optional<Date> date(bySettingHour_t, std::int64_t hour, std::int64_t minute,
                           std::int64_t second, Date of, MatchingPolicy matchingPolicy,
                           RepeatedTimePolicy repeatedTimePolicy = RepeatedTimePolicy::first,
                           SearchDirection direction = SearchDirection::forward) const;

  // --- Arithmetic ---
  // Adds the components, largest unit first. With `wrapping`, each unit rolls within its
  // larger unit instead of carrying.
  std::optional<Date> dateByAdding(const DateComponents& components, Date date,
                                   bool wrapping = false) const;
  std::optional<Date> dateByAdding(Component component, std::int64_t value, Date date,
                                   bool wrapping = false) const;
  // The difference from `start` to `end` in the given components, largest first; each smaller
  // component holds what remains after the larger ones.
  DateComponents dateComponents(const ComponentSet& components, Date start, Date end) const;

  // --- Ranges and ordinality ---
  std::optional<Range> minimumRange(Component component) const;
  std::optional<Range> maximumRange(Component component) const;
  // The values `smaller` takes within the `larger` unit that holds the date.
  std::optional<Range> range(Component smaller, Component larger, Date date) const;
  // The 1-based position of the date's `smaller` unit within its `larger` unit. Within an era,
  // months, days (and weekdays), seven-day runs of weekday ordinals and weeks are counted from
  // the era's first day, so that the difference of two ordinals is the number of boundaries
  // crossed between two dates of the era.
  std::optional<std::int64_t> ordinality(Component smaller, Component larger, Date date) const;

  // --- Units containing a date ---
  std::optional<DateInterval> dateInterval(Component component, Date date) const;
  Date startOfDay(Date date) const;
  ComparisonResult compare(Date a, Date b, Component granularity) const;
  bool isDate(Date a, Date b, Component granularity) const {
    return compare(a, b, granularity) == ComparisonResult::orderedSame;
  }
  bool isDateInSameDay(Date a, Date b) const { return isDate(a, b, Component::day); }
  // Whether the date lies in the calendar day of the current instant, of the day before it or
  // of the day after it (days of this calendar's zone).
  bool isDateInToday(Date date) const;
  bool isDateInYesterday(Date date) const;
  bool isDateInTomorrow(Date date) const;
  // Whether the date's day is a weekend day by the week data of the locale's region.
  bool isDateInWeekend(Date date) const;

  // Equal calendars have the same system, zone, locale and week rules.
  friend bool operator==(const Calendar& a, const Calendar& b);

 private:
  Identifier identifier_;
  TimeZone timeZone_;
  std::optional<Locale> locale_;
  std::optional<int> firstWeekday_;
  std::optional<int> minimumDaysInFirstWeek_;

  friend struct CalendarAccess;
};

}  // namespace platform

template <>
struct std::hash<platform::Calendar> {
  std::size_t operator()(const platform::Calendar& calendar) const noexcept {
    std::size_t h = std::hash<int>{}(static_cast<int>(calendar.identifier()));
    h = h * 31 + std::hash<platform::TimeZone>{}(calendar.timeZone());
    if (calendar.locale()) h = h * 31 + std::hash<platform::Locale>{}(*calendar.locale());
    return h;
  }
};
