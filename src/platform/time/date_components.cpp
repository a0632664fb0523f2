#include "platform/time/date_components.h"

namespace platform {

namespace {

std::optional<std::int64_t> DateComponents::*fieldFor(Calendar::Component component) {
  using C = Calendar::Component;
  switch (component) {
    case C::era:
      return &DateComponents::era;
    case C::year:
      return &DateComponents::year;
    case C::month:
      return &DateComponents::month;
    case C::day:
      return &DateComponents::day;
    case C::hour:
      return &DateComponents::hour;
    case C::minute:
      return &DateComponents::minute;
    case C::second:
      return &DateComponents::second;
    case C::nanosecond:
      return &DateComponents::nanosecond;
    case C::weekday:
      return &DateComponents::weekday;
    case C::weekdayOrdinal:
      return &DateComponents::weekdayOrdinal;
    case C::quarter:
      return &DateComponents::quarter;
    case C::weekOfMonth:
      return &DateComponents::weekOfMonth;
    case C::weekOfYear:
      return &DateComponents::weekOfYear;
    case C::yearForWeekOfYear:
      return &DateComponents::yearForWeekOfYear;
    case C::calendar:
    case C::timeZone:
    case C::isLeapMonth:
      return nullptr;
  }
  return nullptr;
}

constexpr Calendar::Component numericComponents[] = {
    Calendar::Component::era,        Calendar::Component::year,
    Calendar::Component::month,      Calendar::Component::day,
    Calendar::Component::hour,       Calendar::Component::minute,
    Calendar::Component::second,     Calendar::Component::nanosecond,
    Calendar::Component::weekday,    Calendar::Component::weekdayOrdinal,
    Calendar::Component::quarter,    Calendar::Component::weekOfMonth,
    Calendar::Component::weekOfYear, Calendar::Component::yearForWeekOfYear,
};

}  // namespace

std::optional<std::int64_t> DateComponents::value(Calendar::Component component) const {
  auto field = fieldFor(component);
  if (!field) return std::nullopt;
  return this->*field;
}

void DateComponents::setValue(std::optional<std::int64_t> value, Calendar::Component component) {
  if (component == Calendar::Component::isLeapMonth) {
    if (value) {
      isLeapMonth = *value != 0;
    } else {
      isLeapMonth.reset();
    }
    return;
  }
  if (auto field = fieldFor(component)) this->*field = value;
}

std::optional<Date> DateComponents::date() const {
  if (!calendar) return std::nullopt;
  return calendar->date(*this);
}

std::optional<DateComponents> DateComponents::multiplied(std::int64_t factor) const {
  DateComponents result = *this;
  for (auto component : numericComponents) {
    auto field = fieldFor(component);
    auto& slot = result.*field;
    if (!slot || *slot == undefined) continue;
    std::int64_t product = 0;
    if (__builtin_mul_overflow(*slot, factor, &product) || product == undefined) {
      return std::nullopt;
    }
    slot = product;
  }
  return result;
}

}  // namespace platform
