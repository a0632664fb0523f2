#include "almanac/time_interval_text.h"

#include <cmath>

#include "almanac/almanac.h"
#include "almanac/formatter_cache.h"

namespace almanac {

using Component = platform::Calendar::Component;

namespace {

// Whether the calendar can place both ends of the interval: beyond its range it clamps the
// date, and the text or count would silently describe another interval.
bool calendarReaches(const platform::Calendar& calendar, platform::Date start, double interval) {
  if (!std::isfinite(interval)) return false;
  const platform::Date end =
      platform::Date::fromTimeIntervalSince1970(start.timeIntervalSince1970() + interval);
  return calendar.dateInterval(Component::second, start).has_value() &&
         calendar.dateInterval(Component::second, end).has_value();
}

}  // namespace

void ComponentsFormatterOptions::setLocale(const std::optional<LocaleConvertible>& locale) {
  calendar.setLocale(locale ? std::optional(locale->toLocale()) : std::nullopt);
}

void ComponentsFormatterOptions::apply(platform::DateComponentsFormatter& f) const {
  f.calendar = calendar;
  if (allowsFractionalUnits) f.allowsFractionalUnits = *allowsFractionalUnits;
  if (allowedUnits) f.allowedUnits = *allowedUnits;
  if (collapsesLargestUnit) f.collapsesLargestUnit = *collapsesLargestUnit;
  if (maximumUnitCount) f.maximumUnitCount = *maximumUnitCount;
  if (zeroFormattingBehavior) f.zeroFormattingBehavior = *zeroFormattingBehavior;
  if (unitsStyle) f.unitsStyle = *unitsStyle;
}

std::string toString(double interval, const ComponentsFormatterOptions& options) {
  if (!std::isfinite(interval)) return "";
  auto formatter = sharedDateComponentsFormatter();
  formatter->allowedUnits = platform::CalendarUnit::none;
  formatter->allowsFractionalUnits = false;
  formatter->collapsesLargestUnit = false;
  formatter->maximumUnitCount = 0;
  formatter->zeroFormattingBehavior = platform::ZeroFormattingBehavior::default_;
  formatter->unitsStyle = platform::DateComponentsFormatter::UnitsStyle::positional;
  // Counted from now, which is also where the calendar must reach from.
  const platform::Date now = platform::Date::now();
  formatter->referenceDate = now;
  options.apply(*formatter);
  if (!calendarReaches(options.calendar, now, interval)) return "";
  return formatter->string(interval).value_or("");
}

std::string toString(double interval,
                     const std::function<void(ComponentsFormatterOptions&)>& configure) {
  if (!std::isfinite(interval)) return "";
  platform::DateComponentsFormatter formatter;
  ComponentsFormatterOptions options;
  if (configure) configure(options);
  options.apply(formatter);
  const platform::Date now = platform::Date::now();
  formatter.referenceDate = now;
  if (!calendarReaches(options.calendar, now, interval)) return "";
  return withLeadingZero(formatter.string(interval).value_or(""), options.zeroFormattingBehavior);
}

std::string withLeadingZero(std::string text,
                            const std::optional<platform::ZeroFormattingBehavior>& zero) {
  if (!zero || !platform::contains(*zero, platform::ZeroFormattingBehavior::pad)) return text;
  auto colon = text.find(':');
  // Positions count UTF-16 units: one character before the colon is at most four bytes.
  if (colon == std::string::npos) return text;
  std::size_t units = 0;
  for (std::size_t i = 0; i < colon; ++i) {
    auto byte = static_cast<unsigned char>(text[i]);
    if ((byte & 0xC0) != 0x80) units += byte >= 0xF0 ? 2 : 1;
  }
  if (units <= 1) text.insert(0, "0");
  return text;
}

std::string toClock(double interval, platform::ZeroFormattingBehavior zero) {
  return toString(interval, [zero](ComponentsFormatterOptions& o) {
    o.collapsesLargestUnit = true;
    o.maximumUnitCount = 0;
    o.unitsStyle = platform::DateComponentsFormatter::UnitsStyle::positional;
    o.setLocale(LocaleConvertible(Locales::englishUnitedStatesComputer));
    o.zeroFormattingBehavior = zero;
  });
}

std::map<Component, std::int64_t> toUnits(double interval,
                                          const platform::Calendar::ComponentSet& units,
                                          const std::optional<DateInRegion>& reference) {
  std::map<Component, std::int64_t> result;
  if (!std::isfinite(interval)) return result;
  DateInRegion end =
      reference ? *reference : DateInRegion(platform::Date::now(), Almanac::defaultRegion());
  if (!calendarReaches(end.region().calendar(), end.date(), -interval)) return result;
  platform::Date start =
      platform::Date::fromTimeIntervalSince1970(end.timeIntervalSince1970() - interval);
  auto difference = end.region().calendar().dateComponents(units, start, end.date());
  static constexpr Component order[] = {
      Component::nanosecond, Component::second,  Component::minute,  Component::hour,
      Component::day,        Component::month,   Component::year,    Component::yearForWeekOfYear,
      Component::weekOfYear, Component::weekday, Component::quarter, Component::weekdayOrdinal,
      Component::weekOfMonth};
  for (Component unit : order) {
    auto value = difference.value(unit);
    if (value && *value != platform::DateComponents::undefined) result[unit] = *value;
  }
  return result;
}

std::optional<std::int64_t> toUnit(double interval, Component unit,
                                   const std::optional<DateInRegion>& reference) {
  auto units = toUnits(interval, {unit}, reference);
  auto it = units.find(unit);
  if (it == units.end()) return std::nullopt;
  return it->second;
}

}  // namespace almanac
