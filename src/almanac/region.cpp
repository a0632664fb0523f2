#include "almanac/region.h"

#include "almanac/almanac.h"
#include "almanac/date_in_region.h"

namespace almanac {

std::string_view Region::stringValue(CodingKeys key) {
  switch (key) {
    case CodingKeys::calendar:
      return "calendar";
    case CodingKeys::locale:
      return "locale";
    case CodingKeys::timezone:
      return "timezone";
  }
  return "";
}

std::optional<Region::CodingKeys> Region::codingKey(std::string_view text) {
  for (auto key : {CodingKeys::calendar, CodingKeys::locale, CodingKeys::timezone}) {
    if (stringValue(key) == text) return key;
  }
  return std::nullopt;
}

Region::Region(const CalendarConvertible& calendar, const ZoneConvertible& zone,
               const LocaleConvertible& locale)
    : calendar_(calendar.toCalendar()) {
  calendar_.setTimeZone(zone.toTimezone());
  calendar_.setLocale(locale.toLocale());
}

namespace {

Region fromComponents(const platform::DateComponents& components) {
  platform::TimeZone zone = components.timeZone.value_or(platform::TimeZone::current());
  platform::Calendar calendar =
      components.calendar.value_or(platform::Calendar(platform::Calendar::Identifier::gregorian));
  platform::Locale locale = calendar.locale().value_or(platform::Locale::current());
  return Region(calendar, zone, locale);
}

Region fromCalendarAndLocale(const std::optional<CalendarConvertible>& calendar,
                             const std::optional<LocaleConvertible>& locale) {
  Region fallback = Almanac::defaultRegion();
  return Region(calendar ? calendar->toCalendar() : fallback.calendar(), fallback.timeZone(),
                locale ? locale->toLocale() : fallback.locale());
}

}  // namespace

Region::Region(const platform::DateComponents& components) : Region(fromComponents(components)) {}

Region::Region(const std::optional<CalendarConvertible>& calendar,
               const std::optional<LocaleConvertible>& locale)
    : Region(fromCalendarAndLocale(calendar, locale)) {}

Region Region::systemSettings() {
  return Region(platform::Calendar::autoupdatingCurrent(),
                platform::TimeZone::autoupdatingCurrent(), platform::Locale::autoupdatingCurrent());
}

Region Region::universalTime() {
  return Region(platform::Calendar::autoupdatingCurrent(),
                platform::TimeZone::withIdentifier("GMT").value_or(platform::TimeZone::gmt()),
                platform::Locale::autoupdatingCurrent());
}

Region Region::isoStandard() {
  return Region(platform::Calendar(platform::Calendar::Identifier::gregorian),
                platform::TimeZone::withIdentifier("GMT").value_or(platform::TimeZone::gmt()),
                Locales::englishUnitedStatesComputer);
}

platform::Locale Region::locale() const {
  // Every constructor gives the calendar a locale; the fallback only guards against a calendar
  // that lost it.
  return calendar_.locale().value_or(platform::Locale::current());
}

DateInRegion Region::currentDate() const {
  return DateInRegion(platform::Date::now(), *this);
}

std::string Region::description() const {
  return "{calendae='" + std::string(name(calendar_.identifier())) + "', timezone='" +
         timeZone().identifier() + "', locale='" + locale().identifier() + "'}";
}

bool operator==(const Region& a, const Region& b) {
  return a.calendar_.identifier() == b.calendar_.identifier() &&
         a.timeZone().identifier() == b.timeZone().identifier() &&
         a.locale().identifier() == b.locale().identifier();
}

void Region::encode(platform::Encoder& encoder) const {
  auto container = encoder.container();
  container->encodeString(timeZone().identifier(), stringValue(CodingKeys::timezone));
  container->encodeString(locale().identifier(), stringValue(CodingKeys::locale));
  container->encodeString(name(calendar_.identifier()), stringValue(CodingKeys::calendar));
}

Region Region::decode(platform::Decoder& decoder) {
  auto container = decoder.container();
  auto identifier = calendarIdentifier(container->decodeString(stringValue(CodingKeys::calendar)));
  std::string zone = container->decodeString(stringValue(CodingKeys::timezone));
  std::string locale = container->decodeString(stringValue(CodingKeys::locale));

  platform::Calendar calendar(identifier);
  auto timeZone = platform::TimeZone::withIdentifier(zone);
  calendar.setTimeZone(timeZone ? *timeZone : Almanac::defaultRegion().timeZone());
  calendar.setLocale(platform::Locale(std::move(locale)));
  return Region(std::move(calendar));
}

}  // namespace almanac

std::size_t std::hash<almanac::Region>::operator()(const almanac::Region& region) const noexcept {
  std::hash<std::string> text;
  std::size_t h = std::hash<int>{}(static_cast<int>(region.calendar().identifier()));
  h = h * 1000003 ^ text(region.timeZone().identifier());
  h = h * 1000003 ^ text(region.locale().identifier());
  return h;
}
