#include "almanac/conversions.h"

#include <array>

#include <fmt/format.h>

#include "almanac/almanac.h"
#include "platform/foundation/log.h"

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

// The text between double quotes, with quotes, backslashes and control characters escaped, so
// that a name with a line break in it still prints as one line.
std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (u < 0x20 || u == 0x7f) {
          platform::appendCodePointEscape(out, u);
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

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
  platform::print(quoted(fmt::format("Calendar Identifier '{}' not recognized. Using default ({})",
                                     text, name(fallback))));
  return fallback;
}

}  // namespace almanac
