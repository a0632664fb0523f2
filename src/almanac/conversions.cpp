#include "almanac/conversions.h"

#include <array>

#include <fmt/format.h>

#include "almanac/almanac.h"
#include "platform/foundation/log.h"
#include "platform/foundation/quoting_style.h"

namespace almanac {

namespace {

using Identifier = platform::Calendar::Identifier;

// In the order names are searched.
constexpr std::array<std::pair<Identifier, std::string_view>, platform::Calendar::identifierCount>
    identifierNames = {{
        {Identifier::gregorian, "gregorian"},
        {Identifier::buddhist, "buddhist"},
        {Identifier::chinese, "chinese"},
        {Identifier::coptic, "coptic"},
        {Identifier::ethiopicAmeteMihret, "ethiopicAmeteMihret"},
        {Identifier::ethiopicAmeteAlem, "ethiopicAmeteAlem"},
        {Identifier::hebrew, "hebrew"},
        {Identifier::iso8601, "iso8601"},
        {Identifier::indian, "indian"},
        {Identifier::islamic, "islamic"},
        {Identifier::islamicCivil, "islamicCivil"},
        {Identifier::japanese, "japanese"},
        {Identifier::persian, "persian"},
        {Identifier::republicOfChina, "republicOfChina"},
        {Identifier::islamicTabular, "islamicTabular"},
        {Identifier::islamicUmmAlQura, "islamicUmmAlQura"},
    }};

}  // namespace

platform::Calendar CalendarConvertible::toCalendar() const {
  if (auto* calendar = std::get_if<platform::Calendar>(&source_)) return *calendar;
  return platform::Calendar(std::get<Identifier>(source_));
}

platform::TimeZone ZoneConvertible::toTimezone() const {
  if (auto* zone = std::get_if<platform::TimeZone>(&source_)) return *zone;
  return almanac::toTimezone(std::get<Zones>(source_));
}

platform::Locale LocaleConvertible::toLocale() const {
  if (auto* locale = std::get_if<platform::Locale>(&source_)) return *locale;
  if (auto* locale = std::get_if<Locales>(&source_)) return almanac::toLocale(*locale);
  return platform::Locale(std::get<std::string>(source_));
}

platform::Locale toLocale(Locales locale) {
  switch (locale) {
    case Locales::autoUpdating:
      return platform::Locale::autoupdatingCurrent();
    case Locales::current:
      return platform::Locale::current();
    default:
      return platform::Locale(std::string(rawValue(locale)));
  }
}

platform::TimeZone toTimezone(Zones zone) {
  switch (zone) {
    case Zones::autoUpdating:
      return platform::TimeZone::autoupdatingCurrent();
    case Zones::current:
      return platform::TimeZone::current();
    default:
      return platform::TimeZone::withIdentifier(rawValue(zone)).value_or(platform::TimeZone::gmt());
  }
}

std::string_view name(Identifier identifier) {
  for (const auto& [id, text] : identifierNames) {
    if (id == identifier) return text;
  }
  return "";
}

Identifier calendarIdentifier(std::string_view text) {
  for (const auto& [id, candidate] : identifierNames) {
    if (candidate == text) return id;
  }
  Identifier fallback = Almanac::defaultRegion().calendar().identifier();
  // Quoted, so that a name with a line break in it still prints as one line.
  platform::print(
      platform::quoted(fmt::format("Calendar Identifier '{}' not recognized. Using default ({})",
                                   text, name(fallback)),
                       {.nulAsZero = true}));
  return fallback;
}

}  // namespace almanac
