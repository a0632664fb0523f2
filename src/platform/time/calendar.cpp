#include "platform/time/calendar.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

#include "platform/time/calendar_internal.h"
#include "platform/time/date_components.h"
#include "platform/time/icu_support.h"
#include "platform/time/wall_clock.h"

namespace platform {

namespace calendar_detail {

std::optional<UCalendarDateFields> icuField(Component component) {
  switch (component) {
    case Component::era:
      return UCAL_ERA;
    case Component::year:
      return UCAL_YEAR;
    case Component::month:
      return UCAL_MONTH;
    case Component::day:
      return UCAL_DATE;
    case Component::hour:
      return UCAL_HOUR_OF_DAY;
    case Component::minute:
      return UCAL_MINUTE;
    case Component::second:
      return UCAL_SECOND;
    case Component::weekday:
      return UCAL_DAY_OF_WEEK;
    case Component::weekdayOrdinal:
      return UCAL_DAY_OF_WEEK_IN_MONTH;
    case Component::weekOfMonth:
      return UCAL_WEEK_OF_MONTH;
    case Component::weekOfYear:
      return UCAL_WEEK_OF_YEAR;
    case Component::yearForWeekOfYear:
      return UCAL_YEAR_WOY;
    case Component::isLeapMonth:
      return UCAL_IS_LEAP_MONTH;
    case Component::quarter:
    case Component::nanosecond:
    case Component::calendar:
    case Component::timeZone:
      return std::nullopt;
  }
  return std::nullopt;
}

// Quarters split the months of the year in four, so that calendars of thirteen months still
// have four quarters.
std::int64_t quarterOf(icu::Calendar& cal) {
  int32_t months = cal.getMaximum(UCAL_MONTH) + 1;
  int32_t index = get(cal, UCAL_MONTH);
  return std::min<std::int64_t>(4, std::int64_t(index) * 4 / std::max(months, 1) + 1);
}

std::int64_t valueOf(icu::Calendar& cal, Component component, Date date) {
  switch (component) {
    case Component::month:
      return get(cal, UCAL_MONTH) + 1;
    case Component::quarter:
      return quarterOf(cal);
    case Component::nanosecond:
      return nanosecondOf(date);
    case Component::calendar:
    case Component::timeZone:
      return 0;
    default:
      return get(cal, *icuField(component));
  }
}

// Midnight at the start of the first week of the week-based year the calendar is in. The
// week-year is set again: ICU prefers the calendar year over a week-year of equal age.
void moveToStartOfWeekYear(icu::Calendar& cal) {
  cal.set(UCAL_YEAR_WOY, get(cal, UCAL_YEAR_WOY));
  cal.set(UCAL_WEEK_OF_YEAR, 1);
  cal.set(UCAL_DAY_OF_WEEK, cal.getFirstDayOfWeek());
  zeroTimeOfDay(cal);
}

// Size of a unit, for deciding which of two units holds the other.
int rank(Component component) {
  switch (component) {
    case Component::nanosecond:
      return 0;
    case Component::second:
      return 1;
    case Component::minute:
      return 2;
    case Component::hour:
      return 3;
    case Component::day:
    case Component::weekday:
    case Component::weekdayOrdinal:
      return 4;
    case Component::weekOfMonth:
    case Component::weekOfYear:
      return 5;
    case Component::month:
      return 6;
    case Component::quarter:
      return 7;
    case Component::year:
    case Component::yearForWeekOfYear:
      return 8;
    case Component::era:
      return 9;
    default:
      return -1;
  }
}

}  // namespace calendar_detail

using namespace calendar_detail;

Calendar::Calendar(Identifier identifier)
    : identifier_(identifier), timeZone_(TimeZone::current()) {}

Calendar Calendar::current() {
  Locale locale = Locale::current();
  Calendar calendar(
      icu_support::identifierForType(locale.calendarKeyword()).value_or(Identifier::gregorian));
  calendar.setLocale(std::move(locale));
  return calendar;
}

Calendar Calendar::autoupdatingCurrent() {
  Calendar calendar = current();
  calendar.setTimeZone(TimeZone::autoupdatingCurrent());
  calendar.setLocale(Locale::autoupdatingCurrent());
  return calendar;
}

int Calendar::firstWeekday() const {
  if (auto weekday = CalendarAccess::firstWeekday(*this)) return *weekday;
  return CalendarAccess::bare(*this, TimeZone::gmt())->getFirstDayOfWeek();
}

void Calendar::setFirstWeekday(int weekday) {
  firstWeekday_ = std::clamp(weekday, 1, 7);
}

int Calendar::minimumDaysInFirstWeek() const {
  if (auto days = CalendarAccess::minimumDays(*this)) return *days;
  return CalendarAccess::bare(*this, TimeZone::gmt())->getMinimalDaysInFirstWeek();
}

void Calendar::setMinimumDaysInFirstWeek(int days) {
  minimumDaysInFirstWeek_ = std::clamp(days, 1, 7);
}

std::int64_t Calendar::component(Component component, Date date) const {
  auto cal = icu_support::makeCalendar(*this);
  setTime(*cal, icu_support::toUDate(date));
  return valueOf(*cal, component, date);
}

DateComponents Calendar::dateComponents(const ComponentSet& components, Date date) const {
  return dateComponents(components, date, timeZone_);
}

DateComponents Calendar::dateComponents(const ComponentSet& components, Date date,
                                        const TimeZone& zone) const {
  Calendar inZone = *this;
  inZone.setTimeZone(zone);
  auto cal = icu_support::makeCalendar(inZone);
  setTime(*cal, icu_support::toUDate(date));
  DateComponents result;
  for (Component component : components) {
    switch (component) {
      case Component::calendar:
        result.calendar = inZone;
        break;
      case Component::timeZone:
        result.timeZone = zone;
        break;
      case Component::isLeapMonth:
        result.isLeapMonth = get(*cal, UCAL_IS_LEAP_MONTH) != 0;
        break;
      default:
        result.setValue(valueOf(*cal, component, date), component);
        break;
    }
  }
  return result;
}

Date Calendar::startOfDay(Date date) const {
  auto shared = icu_support::sharedZone(timeZone_);
  UDate instant = std::floor(icu_support::toUDate(date));
  if (!wall_clock::inRange(instant)) return date;
  UDate wall = instant + wall_clock::offsetAt(*shared, instant);
  UDate midnight = wall - std::fmod(wall, kMillisecondsPerDay);
  if (midnight > wall) midnight -= kMillisecondsPerDay;
  return icu_support::fromUDate(wall_clock::resolve(*shared, midnight, std::nullopt));
}

bool Calendar::isDateInToday(Date date) const {
  return isDateInSameDay(date, Date::now());
}

// A day lasts far longer than a second, so one second before today's start lies in yesterday
// and one second after its end in tomorrow, however long either day is.
bool Calendar::isDateInYesterday(Date date) const {
  auto today = dateInterval(Component::day, Date::now());
  return today && isDateInSameDay(date, today->start - 1);
}

bool Calendar::isDateInTomorrow(Date date) const {
  auto today = dateInterval(Component::day, Date::now());
  return today && isDateInSameDay(date, today->end() + 1);
}

bool Calendar::isDateInWeekend(Date date) const {
  auto cal = icu_support::makeCalendar(*this);
  UErrorCode status = U_ZERO_ERROR;
  UBool weekend = cal->isWeekend(icu_support::toUDate(date), status);
  return U_SUCCESS(status) && weekend;
}

ComparisonResult Calendar::compare(Date a, Date b, Component granularity) const {
  auto order = [](auto x, auto y) {
    if (x < y) return ComparisonResult::orderedAscending;
    if (y < x) return ComparisonResult::orderedDescending;
    return ComparisonResult::orderedSame;
  };
  if (granularity == Component::nanosecond) return order(a, b);
  if (granularity == Component::era) {
    return order(component(Component::era, a), component(Component::era, b));
  }
  // Units shorter than a day, each within its instant's own offset.
  auto within = [&](double length) {
    auto shared = icu_support::sharedZone(timeZone_);
    auto start = [&](Date date) {
      UDate instant = std::floor(icu_support::toUDate(date));
      UDate wall = instant + wall_clock::offsetAt(*shared, instant);
      double into = std::fmod(wall, length);
      return instant - (into < 0 ? into + length : into);
    };
    return order(start(a), start(b));
  };
  switch (granularity) {
    case Component::second:
      return within(1000.0);
    case Component::minute:
      return within(60000.0);
    case Component::hour:
      return within(3600000.0);
    case Component::day: {
      // Every calendar's day runs from midnight to midnight on the wall clock: the wall dates.
      auto shared = icu_support::sharedZone(timeZone_);
      auto day = [&](Date date) {
        UDate instant = std::floor(icu_support::toUDate(date));
        return std::floor((instant + wall_clock::offsetAt(*shared, instant)) / kMillisecondsPerDay);
      };
      return order(day(a), day(b));
    }
    case Component::month:
    case Component::year: {
      // Days, months and years through the fields of the two instants: the local day number, or
      // the running year (with the era where eras start within a year) and the month.
      auto cal = icu_support::makeCalendar(*this);
      bool eraStartsYears = identifier_ == Identifier::japanese;
      auto key = [&](Date date) {
        std::array<std::int64_t, 4> fields{};
        setTime(*cal, std::floor(icu_support::toUDate(date)));
        fields[0] = get(*cal, UCAL_EXTENDED_YEAR);
        fields[1] = eraStartsYears ? get(*cal, UCAL_ERA) : 0;
        if (granularity == Component::month) {
          fields[2] = get(*cal, UCAL_MONTH);
          fields[3] = get(*cal, UCAL_IS_LEAP_MONTH);
        }
        return fields;
      };
      return order(key(a), key(b));
    }
    default:
      break;
  }
  auto first = dateInterval(granularity, a);
  auto second = dateInterval(granularity, b);
  if (!first || !second) return order(a, b);
  return order(first->start, second->start);
}

bool operator==(const Calendar& a, const Calendar& b) {
  if (a.identifier_ != b.identifier_ || !(a.timeZone_ == b.timeZone_) || a.locale_ != b.locale_) {
    return false;
  }
  // Same system and locale with the same explicit settings have the same week rules; only a
  // setting on one side that may equal the locale's default needs ICU's answer.
  if (a.firstWeekday_ == b.firstWeekday_ &&
      a.minimumDaysInFirstWeek_ == b.minimumDaysInFirstWeek_) {
    return true;
  }
  return a.firstWeekday() == b.firstWeekday() &&
         a.minimumDaysInFirstWeek() == b.minimumDaysInFirstWeek();
}

}  // namespace platform
