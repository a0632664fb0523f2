#pragma once

#include <cstdint>
#include <limits>
#include <optional>

#include "platform/time/calendar.h"

namespace platform {

// Calendar components, each optional, with the calendar and time zone they may be read in.
struct DateComponents {
  // The platform's marker for "no value" inside a number.
  static constexpr std::int64_t undefined = std::numeric_limits<std::int64_t>::max();

  std::optional<Calendar> calendar;
  std::optional<TimeZone> timeZone;
  std::optional<std::int64_t> era;
  std::optional<std::int64_t> year;
  std::optional<std::int64_t> month;
  std::optional<std::int64_t> day;
  std::optional<std::int64_t> hour;
  std::optional<std::int64_t> minute;
  std::optional<std::int64_t> second;
  std::optional<std::int64_t> nanosecond;
  std::optional<std::int64_t> weekday;
  std::optional<std::int64_t> weekdayOrdinal;
  std::optional<std::int64_t> quarter;
  std::optional<std::int64_t> weekOfMonth;
  std::optional<std::int64_t> weekOfYear;
  std::optional<std::int64_t> yearForWeekOfYear;
  std::optional<bool> isLeapMonth;

  // The numeric components; `calendar`, `timeZone` and `isLeapMonth` have no number here.
  std::optional<std::int64_t> value(Calendar::Component component) const;
  void setValue(std::optional<std::int64_t> value, Calendar::Component component);

  // The date these components name in their calendar (and zone, when given); no calendar, no
  // date.
  std::optional<Date> date() const;

  // Every numeric component times `factor`, calendar and zone kept. A product that does not fit
  // gives no value rather than wrapping; undefined markers stay as they are.
  std::optional<DateComponents> multiplied(std::int64_t factor) const;

  friend bool operator==(const DateComponents&, const DateComponents&) = default;
};

}  // namespace platform
