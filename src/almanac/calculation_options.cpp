#include "almanac/calculation_options.h"

namespace almanac {

std::optional<platform::CalendarUnit> unit(platform::Calendar::Component component) {
  using C = platform::Calendar::Component;
  using U = platform::CalendarUnit;
  switch (component) {
    case C::era:
      return U::era;
    case C::year:
      return U::year;
    case C::month:
      return U::month;
    case C::day:
      return U::day;
    case C::hour:
      return U::hour;
    case C::minute:
      return U::minute;
    case C::second:
      return U::second;
    case C::weekday:
      return U::weekday;
    case C::weekdayOrdinal:
      return U::weekdayOrdinal;
    case C::quarter:
      return U::quarter;
    case C::weekOfMonth:
      return U::weekOfMonth;
    case C::weekOfYear:
      return U::weekOfYear;
    case C::yearForWeekOfYear:
      return U::yearForWeekOfYear;
    case C::nanosecond:
      return U::nanosecond;
    case C::calendar:
      return U::calendar;
    case C::timeZone:
      return U::timeZone;
    case C::isLeapMonth:
      return std::nullopt;
  }
  return std::nullopt;
}

platform::CalendarUnit units(const platform::Calendar::ComponentSet& components) {
  platform::CalendarUnit result = platform::CalendarUnit::none;
  for (auto component : components) {
    if (auto bit = unit(component)) result |= *bit;
  }
  return result;
}

}  // namespace almanac
