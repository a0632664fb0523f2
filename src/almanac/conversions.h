#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "almanac/locales.h"
#include "almanac/zones.h"
#include "platform/time/calendar.h"
#include "platform/time/locale.h"
#include "platform/time/time_zone.h"

namespace almanac {

// Anything a region's calendar can be made from: a calendar (copied) or a calendar identifier
// (a new calendar of that system).
class CalendarConvertible {
 public:
  CalendarConvertible(platform::Calendar calendar) : source_(std::move(calendar)) {}
  CalendarConvertible(platform::Calendar::Identifier identifier) : source_(identifier) {}

  platform::Calendar toCalendar() const;

 private:
  std::variant<platform::Calendar, platform::Calendar::Identifier> source_;
};

// Anything a region's time zone can be made from: a time zone (copied) or a `Zones` case.
class ZoneConvertible {
 public:
  ZoneConvertible(platform::TimeZone zone) : source_(std::move(zone)) {}
  ZoneConvertible(Zones zone) : source_(zone) {}

  platform::TimeZone toTimezone() const;

 private:
  std::variant<platform::TimeZone, Zones> source_;
};

// Anything a region's locale can be made from: a locale (copied), a `Locales` case, or a text
// naming a locale identifier.
class LocaleConvertible {
 public:
  LocaleConvertible(platform::Locale locale) : source_(std::move(locale)) {}
  LocaleConvertible(Locales locale) : source_(locale) {}
  LocaleConvertible(std::string identifier) : source_(std::move(identifier)) {}
  LocaleConvertible(std::string_view identifier) : source_(std::string(identifier)) {}
  LocaleConvertible(const char* identifier) : source_(std::string(identifier)) {}

  platform::Locale toLocale() const;

 private:
  std::variant<platform::Locale, Locales, std::string> source_;
};

// `current` and `autoUpdating` give the user's locale (read now, or followed); every other case
// the locale of its identifier.
platform::Locale toLocale(Locales locale);
// `current` and `autoUpdating` give the user's zone (read now, or followed); every other case
// the zone of its identifier, or GMT should the time-zone database lack it.
platform::TimeZone toTimezone(Zones zone);

// The name a calendar identifier is written under ("gregorian", "islamicCivil", ...); also its
// description.
std::string_view name(platform::Calendar::Identifier identifier);
// The identifier whose name is exactly the text. An unknown name is no error: it gives the
// default region's calendar identifier and prints a line saying so.
platform::Calendar::Identifier calendarIdentifier(std::string_view name);

}  // namespace almanac
