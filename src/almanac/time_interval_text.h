#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "almanac/conversions.h"
#include "almanac/date_in_region.h"
#include "platform/time/calendar.h"
#include "platform/time/date_components_formatter.h"
#include "platform/time/locale.h"

namespace almanac {

// Settings for writing a duration as components text. An option left absent leaves the
// formatter's own setting alone; the calendar is always applied.
struct ComponentsFormatterOptions {
  std::optional<bool> allowsFractionalUnits;
  std::optional<platform::CalendarUnit> allowedUnits;
  std::optional<bool> collapsesLargestUnit;
  std::optional<int> maximumUnitCount;
  std::optional<platform::ZeroFormattingBehavior> zeroFormattingBehavior;
  std::optional<platform::DateComponentsFormatter::UnitsStyle> unitsStyle;
  platform::Calendar calendar = platform::Calendar::autoupdatingCurrent();

  // The calendar's locale (none when it has none).
  std::optional<platform::Locale> locale() const { return calendar.locale(); }
  void setLocale(const std::optional<LocaleConvertible>& locale);

  void apply(platform::DateComponentsFormatter& formatter) const;
};

// Durations in seconds written as text. A duration that is not a finite number writes "".
//
// With the calling thread's shared formatter, reset to its defaults before the options apply,
// so what an earlier call set never leaks into this one.
std::string toString(double interval, const ComponentsFormatterOptions& options);
// With a formatter made for this call, from the default options edited by `configure`. With the
// pad behaviour, a text with one digit before its first ":" gets a leading "0".
std::string toString(double interval,
                     const std::function<void(ComponentsFormatterOptions&)>& configure);
// The pad rule of the configured `toString`: "0" before a text whose first ":" comes after at
// most one character, when `zero` holds the pad flag.
std::string withLeadingZero(std::string text,
                            const std::optional<platform::ZeroFormattingBehavior>& zero);
// "1:01:01": positional in "en_US_POSIX", largest unit collapsed, no unit limit.
std::string toClock(double interval, platform::ZeroFormattingBehavior zero =
                                         platform::ZeroFormattingBehavior::default_);

// The duration ending at `reference` (now in the default region when none is given) counted in
// the units, in the reference region's calendar. Units that hold no count (era, calendar, time
// zone) never appear; a duration that is not finite gives an empty map.
std::map<platform::Calendar::Component, std::int64_t> toUnits(
    double interval, const platform::Calendar::ComponentSet& units,
    const std::optional<DateInRegion>& reference = std::nullopt);
std::optional<std::int64_t> toUnit(double interval, platform::Calendar::Component unit,
                                   const std::optional<DateInRegion>& reference = std::nullopt);

}  // namespace almanac
