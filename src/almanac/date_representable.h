#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "almanac/calendar_values.h"
#include "almanac/iso_formatter.h"
#include "almanac/region.h"
#include "platform/foundation/date.h"
#include "platform/time/calendar.h"
#include "platform/time/date_components.h"
#include "platform/time/date_formatter.h"
#include "platform/time/relative_date_time_formatter.h"

namespace almanac {

class DateInRegion;
class DateToStringStyles;

// What every date of the library answers, whichever kind it is: a plain instant (`PlainDate`),
// always read in the default region as that region is at the moment of the question, or a
// `DateInRegion`, read in its own region. A kind supplies its instant, its region and its
// attached formatter; everything else is written here once, in terms of those three.
//
// Nothing here changes the date. The formatter accessors reconfigure the formatter they hand
// out (the attached one, or the calling thread's shared one), so use what they return at once.
class DateRepresentable {
 public:
  using Component = platform::Calendar::Component;
  using Adjust = std::function<void(platform::DateFormatter&)>;

  virtual ~DateRepresentable() = default;

  // --- What each kind supplies ---
  virtual platform::Date date() const = 0;
  virtual Region region() const = 0;
  // A formatter the owner attached for this date's texts, shared by every copy of the date.
  virtual std::shared_ptr<platform::DateFormatter> customFormatter() const = 0;
  // Attaching a formatter (or none) lets go of the one attached before.
  virtual void setCustomFormatter(std::shared_ptr<platform::DateFormatter> formatter) = 0;

  // The region calendar's breakdown of the instant into all sixteen components.
  platform::DateComponents allComponents() const;
  platform::DateComponents dateComponents() const { return allComponents(); }
  // The region's calendar, with the region's zone and locale.
  platform::Calendar calendar() const;

  // --- Components of the instant in the region ---
  std::int64_t era() const;
  std::int64_t year() const;
  std::int64_t month() const;
  std::int64_t day() const;
  std::int64_t hour() const;
  std::int64_t minute() const;
  std::int64_t second() const;
  std::int64_t nanosecond() const;
  // 1 is the first day of the calendar's list of weekdays (Sunday in the Gregorian calendar),
  // whatever day the region's weeks start on.
  std::int64_t weekday() const;
  std::int64_t weekdayOrdinal() const;
  std::int64_t weekOfYear() const;
  std::int64_t weekOfMonth() const;
  std::int64_t yearForWeekOfYear() const;

  // --- Numbers derived from them ---
  // The days of the month that holds the instant.
  std::int64_t daysInMonth() const;
  // 1 on the first day of the year.
  std::int64_t dayNumberInYear() const;
  // Whole seconds since the start of the day, in milliseconds: 0 during the first second of the
  // day. Fractions of a second take no part.
  std::int64_t millisecondsInDay() const;
  // The hour rounded by the minute alone: minute 30 rounds up, 29 down (23:30 gives 0).
  std::int64_t roundedHour() const;
  // The day of the month on which the calendar week holding the instant starts, and the one on
  // which it ends; near a month's edge these lie in the neighbouring month.
  std::int64_t weekStartDay() const;
  std::int64_t weekEndDay() const;
  // 1 to 4, the region calendar's months split in four: a calendar of thirteen months still
  // has four quarters.
  std::int64_t quarter() const;
  // Seconds the region's zone is ahead of its standard time at the instant.
  double daylightSavingOffset() const;

  // --- Tests against the current instant, in the region's days ---
  bool fallsInToday() const;
  bool fallsInYesterday() const;
  bool fallsInTomorrow() const;
  bool fallsInWeekend() const;
  // Strictly before or after now: an instant equal to now is neither.
  bool fallsBeforeNow() const;
  bool fallsAfterNow() const;

  // --- Formatters ---
  // The attached formatter, else the thread's shared formatter set to the region (and the
  // pattern "yyyy-MM-dd'T'HH:mm:ssZZZZZ"). A given pattern replaces the formatter's own; then
  // `adjust` runs on it.
  std::shared_ptr<platform::DateFormatter> formatter(
      const std::optional<std::string>& pattern = std::nullopt, const Adjust& adjust = {}) const;
  // As `formatter`, but the formatter is brought into the region (zone, calendar, locale)
  // before `adjust` runs, so an attached formatter writes in this date's region too.
  std::shared_ptr<platform::DateFormatter> regionFormatter(
      const std::optional<std::string>& pattern = std::nullopt, const Adjust& adjust = {}) const;
  // The thread's shared formatter set to the region, with the pattern
  // "yyyy-MM-dd'T'HH:mm:ssZZZZZ".
  std::shared_ptr<platform::DateFormatter> sharedFormatter() const;

  // The same instant in another region, with no formatter attached.
  DateInRegion inRegion(const Region& region) const;

  // How far the instant lies from `since` (from now when none is given), in words of the
  // user's current locale, by a formatter made for this call.
  std::string relativeText(const std::optional<DateInRegion>& since,
                           platform::RelativeDateTimeFormatter::DateTimeStyle dateTimeStyle,
                           platform::RelativeDateTimeFormatter::UnitsStyle unitsStyle) const;

  // --- Names, in the formatter's (or the given) locale; "" for a value without a name ---
  // The locale stays as the formatter has it.
  std::string monthSymbol(SymbolFormatStyle style) const;
  // These three leave the given locale (else the region's) on the formatter they use.
  std::string weekdaySymbol(SymbolFormatStyle style,
                            const std::optional<LocaleConvertible>& locale = std::nullopt) const;
  std::string quarterSymbol(SymbolFormatStyle style,
                            const std::optional<LocaleConvertible>& locale = std::nullopt) const;
  std::string eraSymbol(SymbolFormatStyle style,
                        const std::optional<LocaleConvertible>& locale = std::nullopt) const;
  // The day of the month as an ordinal of the region's locale ("22nd").
  std::string ordinalDayText() const;

  // --- Texts ---
  // In the style; with none, `standard` ("Thu Jan 01 00:00:00 +0000 1970").
  std::string string() const;
  std::string string(const DateToStringStyles& style) const;
  // In the pattern. With a locale, in the region with that locale and never with the attached
  // formatter; without one, with the formatter brought into the region.
  std::string string(const std::string& format,
                     const std::optional<LocaleConvertible>& locale) const;
  // ISO 8601 with the options (by default `dateTimeSeconds`).
  std::string isoText(const std::optional<ISOFormatter::Options>& options = std::nullopt) const;
  std::string dotNetText() const;
  std::string sqlText() const;
  std::string rssText(bool alt) const;

  // --- Differences, in this date's calendar, positive when `other` is later ---
  // The differences in the given components; of those, the ones that measure a length (not
  // era, calendar or time zone) and that the calendar answered.
  std::map<Component, std::int64_t> componentDifferences(
      const platform::Calendar::ComponentSet& components, const DateRepresentable& other) const;
  // The whole units of one component from this instant to the other's; none for the
  // components that hold no number (calendar, time zone).
  std::optional<std::int64_t> componentDifference(Component component,
                                                  const DateRepresentable& other) const;
  std::optional<std::int64_t> difference(Component component,
                                         const DateRepresentable& other) const {
    return componentDifference(component, other);
  }

 protected:
  DateRepresentable() = default;
  DateRepresentable(const DateRepresentable&) = default;
  DateRepresentable& operator=(const DateRepresentable&) = default;

 private:
  std::int64_t component(Component component) const;
  std::shared_ptr<platform::DateFormatter> configured(const std::optional<std::string>& pattern,
                                                      bool intoRegion, const Adjust& adjust) const;
};

// A kind of date of the library: it reads as a `DateRepresentable`, and makes itself in a
// region from a text (with one format, or a list, or else the automatic formats), from seconds
// or milliseconds since 1970, from components or a step that fills them (in the components' own
// region when none is given) and from the seven numbers of a wall-clock time. Texts and
// components that name no date give no value.
template <class T>
concept DateKind = std::derived_from<T, DateRepresentable> &&
    requires(std::string_view text, const std::optional<std::string>& format,
             const std::optional<std::vector<std::string>>& formats, const Region& region,
             const std::optional<Region>& someRegion, double seconds, std::int64_t n,
             const platform::DateComponents& components,
             const std::function<void(platform::DateComponents&)>& builder) {
  { T::fromString(text, format, region) } -> std::same_as<std::optional<T>>;
  { T::fromStringWithFormats(text, formats, region) } -> std::same_as<std::optional<T>>;
  { T::fromSeconds(seconds, region) } -> std::same_as<T>;
  { T::fromMilliseconds(n, region) } -> std::same_as<T>;
  { T::fromComponentsBuilder(builder, someRegion) } -> std::same_as<std::optional<T>>;
  { T::fromComponents(components, someRegion) } -> std::same_as<std::optional<T>>;
  { T::fromNumbers(n, n, n, n, n, n, n, region) } -> std::same_as<std::optional<T>>;
};

}  // namespace almanac
