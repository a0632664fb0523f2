#include "almanac/time_interval_text.h"

#include <cmath>

#include "almanac/almanac.h"
#include "almanac/formatter_cache.h"

namespace almanac {

using Component = platform::Calendar::Component;

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
  formatter->referenceDate.reset();
  options.apply(*formatter);
  return formatter->string(interval).value_or("");
}

std::string toString(double interval,
                     const std::function<void(ComponentsFormatterOptions&)>& configure) {
  if (!std::isfinite(interval)) return "";
  platform::DateComponentsFormatter formatter;
  ComponentsFormatterOptions options;
  if (configure) configure(options);
  options.apply(formatter);
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
