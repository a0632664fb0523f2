#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "almanac/conversions.h"
#include "platform/coding/coder.h"
#include "platform/time/calendar.h"
#include "platform/time/date_components.h"
#include "platform/time/locale.h"
#include "platform/time/time_zone.h"

namespace almanac {

class DateInRegion;

// The frame in which an instant is read: a calendar together with the time zone and the locale
// the calendar carries. Every constructor sets both, so a region's calendar always has a locale.
class Region {
 public:
  enum class CodingKeys { calendar, locale, timezone };
  static std::string_view stringValue(CodingKeys key);
  // The key with that text; any other text is no key.
  static std::optional<CodingKeys> codingKey(std::string_view text);
  // Keys have no integer values.
  static std::optional<CodingKeys> codingKey(int) { return std::nullopt; }

  // The calendar from the first value, then its zone and its locale set from the other two.
  Region(const CalendarConvertible& calendar, const ZoneConvertible& zone,
         const LocaleConvertible& locale);
  // The components' zone (else the current zone), calendar (else a new Gregorian one) and that
  // calendar's locale (else the current locale).
  explicit Region(const platform::DateComponents& components);
  // The given calendar and locale, or the default region's; always the default region's zone.
  Region(const std::optional<CalendarConvertible>& calendar,
         const std::optional<LocaleConvertible>& locale);

  // The autoupdating current calendar, zone and locale.
  static Region systemSettings();
  static Region deviceSettings() { return systemSettings(); }
  // The autoupdating current calendar and locale in GMT.
  static Region universalTime();
  // A new Gregorian calendar in GMT with the locale "en_US_POSIX": the region of texts for
  // machines.
  static Region isoStandard();

  const platform::Calendar& calendar() const { return calendar_; }
  const platform::TimeZone& timeZone() const { return calendar_.timeZone(); }
  platform::Locale locale() const;
  // The current instant in this region.
  DateInRegion currentDate() const;

  // "{calendae='gregorian', timezone='GMT', locale='en_US_POSIX'}".
  std::string description() const;

  // Regions are equal when the identifiers of their calendars, zones and locales are; other
  // calendar settings (the first weekday, say) take no part.
  friend bool operator==(const Region& a, const Region& b);

  // A keyed value: "timezone", "locale" and "calendar" written in that order. The container's
  // error stops it at once.
  void encode(platform::Encoder& encoder) const;
  // Reads "calendar", "timezone" and "locale" in that order; the container's error stops it at
  // once. An unknown zone gives the default region's zone, an unknown calendar name the default
  // region's calendar system.
  static Region decode(platform::Decoder& decoder);

 private:
  explicit Region(platform::Calendar calendar) : calendar_(std::move(calendar)) {}

  platform::Calendar calendar_;
};

}  // namespace almanac

// Hashes exactly what equality compares, so that equal regions always hash alike.
template <>
struct std::hash<almanac::Region> {
  std::size_t operator()(const almanac::Region& region) const noexcept;
};
