#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "almanac/calculation_options.h"
#include "almanac/component_values.h"
#include "almanac/conversions.h"
#include "almanac/date_representable.h"
#include "almanac/region.h"
#include "platform/coding/coder.h"
#include "platform/foundation/date.h"
#include "platform/time/date_components.h"
#include "platform/time/date_formatter.h"

namespace almanac {

class DateComparisonType;

// An instant bound to the region it is read in, with a formatter its owner may attach for its
// texts. A value: copies share the attached formatter (it is the owner's object), nothing else.
// Every date the library makes anew carries no formatter.
//
// Equality and order are those of the instants alone, so the same moment in Tokyo and in Paris
// is one date; hashing follows equality.
class DateInRegion final : public DateRepresentable {
 public:
  enum class CodingKeys { date, region };
  static std::string_view stringValue(CodingKeys key);
  // The key with that text; any other text is no key.
  static std::optional<CodingKeys> codingKey(std::string_view text);
  // Keys have no integer values.
  static std::optional<CodingKeys> codingKey(int) { return std::nullopt; }

  DateInRegion(platform::Date date, Region region) : date_(date), region_(std::move(region)) {}

  // The platform's distant past and distant future in the default region.
  static DateInRegion distantPast();
  static DateInRegion distantFuture();

  // The text read with the one format, or with the automatic formats when none is given.
  static std::optional<DateInRegion> fromString(std::string_view text,
                                                const std::optional<std::string>& format,
                                                const Region& region);
  // The text read with the first of the formats that reads it (the automatic formats when no
  // list is given; an empty list reads nothing).
  static std::optional<DateInRegion> fromStringWithFormats(
      std::string_view text, const std::optional<std::vector<std::string>>& formats,
      const Region& region);
  // Seconds since 1970-01-01T00:00:00Z.
  static DateInRegion fromSeconds(double seconds, const Region& region);
  // Whole milliseconds since 1970-01-01T00:00:00Z.
  static DateInRegion fromMilliseconds(std::int64_t milliseconds, const Region& region);
  // Components that the step fills from empty ones; without a region, the one the components
  // name (their zone and calendar, else the current zone and a Gregorian calendar).
  static std::optional<DateInRegion> fromComponentsBuilder(
      const std::function<void(platform::DateComponents&)>& builder,
      const std::optional<Region>& region);
  static std::optional<DateInRegion> fromComponents(const platform::DateComponents& components,
                                                    const std::optional<Region>& region);
  // The wall-clock time of those seven numbers in the region; none when the calendar can make no
  // date of them (a year beyond what it can hold, say).
  static std::optional<DateInRegion> fromNumbers(std::int64_t year, std::int64_t month,
                                                 std::int64_t day, std::int64_t hour,
                                                 std::int64_t minute, std::int64_t second,
                                                 std::int64_t nanosecond, const Region& region);

  platform::Date date() const override { return date_; }
  void setDate(platform::Date date) { date_ = date; }
  Region region() const override { return region_; }
  std::shared_ptr<platform::DateFormatter> customFormatter() const override {
    return customFormatter_;
  }
  void setCustomFormatter(std::shared_ptr<platform::DateFormatter> formatter) override {
    customFormatter_ = std::move(formatter);
  }

  double timeIntervalSince1970() const { return date_.timeIntervalSince1970(); }

  // "{abs_date='…', rep_date='…', region={…}": the instant in GMT, then as this date writes it
  // (with its attached formatter, when there is one, in the ISO pattern), then the region. An
  // attached formatter keeps its own pattern afterwards.
  std::string description() const;

  // A keyed value: "date" in the platform's date coding (seconds since 2001), then "region". The
  // attached formatter is not written; a decoded date has none.
  void encode(platform::Encoder& encoder) const;
  static DateInRegion decode(platform::Decoder& decoder);

  // --- Measures against other dates ---
  // The astronomical Julian day of the instant, read in GMT whatever the region.
  double julianDay() const;
  double modifiedJulianDay() const { return julianDay() - 2400000.5; }
  // Boundaries crossed from this date to the other (to now in this region when none is given):
  // for year, month, day, weekday, weekdayOrdinal and weekOfYear the difference of the two
  // dates' positions in the era, so 31 December and the next 1 January are a year apart; for
  // hour, minute and second the whole units of elapsed time. Other components print a notice
  // and give 0.
  std::int64_t interval(const std::optional<DateInRegion>& to, Component component) const;
  // Seconds from the other instant to this one: positive when this one is later.
  double timeIntervalSince(const DateInRegion& other) const {
    return date_.timeIntervalSince(other.date_);
  }
  // All sixteen components from the other instant to this one, in this date's calendar.
  platform::DateComponents componentsSince(const DateInRegion& other) const;
  // The given components (all sixteen when no list is given) from the other instant to this
  // one, in the other date's calendar; a notice is printed when the two calendars differ.
  platform::DateComponents componentsSince(
      const DateInRegion& other, const std::optional<std::vector<Component>>& components) const;

  // --- Arithmetic (date_arithmetic.cpp) ---
  // Calendar units (era to day) move the wall-clock date and keep the time of day; hours,
  // minutes, seconds and nanoseconds add elapsed time. None when the calendar makes no date.
  std::optional<DateInRegion> adding(const platform::DateComponents& components) const;
  // The count of one component added; the receiver unchanged when the calendar makes no date
  // (calendar and time zone move nothing).
  DateInRegion dateByAdding(std::int64_t count, Component component) const;
  DateInRegion addingTimeInterval(double seconds) const;
  void addTimeInterval(double seconds) { date_ += seconds; }
  // The first instant of the unit that holds the instant, and its last millisecond; the
  // receiver unchanged for a component that names no unit.
  DateInRegion dateAtStartOf(Component component) const;
  DateInRegion dateAtEndOf(Component component) const;
  DateInRegion dateAtStartOf(const std::vector<Component>& components) const;
  DateInRegion dateAtEndOf(const std::vector<Component>& components) const;
  // Year, month, day, hour, minute, second and nanosecond from the map (a key without a value
  // leaves that one unset) or else the receiver's; weekday, weekOfYear, weekdayOrdinal and
  // yearForWeekOfYear only from the map. A repeated wall time stays on the receiver's side.
  std::optional<DateInRegion> dateBySet(
      const std::map<Component, std::optional<std::int64_t>>& values) const;
  // That time of day (the receiver's hour, minute or second where none is given) on the
  // receiver's day, by the options' policies; milliseconds replace the fraction of the second.
  std::optional<DateInRegion> dateBySet(std::optional<std::int64_t> hour,
                                        std::optional<std::int64_t> min,
                                        std::optional<std::int64_t> secs,
                                        std::optional<std::int64_t> ms,
                                        const TimeCalculationOptions& options = {}) const;
  // Month and day to 1, time components to 0, for each listed component.
  std::optional<DateInRegion> dateTruncated(const std::vector<Component>& at) const;
  // The component and every smaller one from month down; others give the receiver.
  std::optional<DateInRegion> dateTruncated(Component from) const;
  DateInRegion dateRoundedAt(const RoundDateMode& mode) const;
  DateInRegion dateAt(const DateRelatedType& type) const;
  // The next instant on that weekday at the receiver's time of day.
  DateInRegion nextWeekday(WeekDay weekday) const;
  // The next instant on that day (of that month) at the receiver's time of day; the receiver
  // when there is none.
  DateInRegion nextDate(std::int64_t day, std::optional<std::int64_t> month) const;
  // That day of the month (and year) at the receiver's time of day; the receiver when the
  // calendar makes no such date.
  DateInRegion dateAt(std::int64_t dayOfMonth, std::optional<std::int64_t> monthNumber,
                      std::optional<std::int64_t> yearNumber) const;
  // The n-th such weekday of the month at the receiver's time of day.
  DateInRegion dateAt(std::int64_t weekdayOrdinal, WeekDay weekday,
                      std::optional<std::int64_t> monthNumber,
                      std::optional<std::int64_t> yearNumber) const;
  // The same, in this month when still ahead, else in the next one (or that month next year).
  DateInRegion nextDate(std::int64_t weekdayOrdinal, WeekDay weekday,
                        std::optional<std::int64_t> monthNumber) const;
  DateInRegion dateAfter(std::int64_t weeks, WeekDay on) const;
  // Every such weekday of the month, at the start of its day, in the region.
  static std::vector<DateInRegion> datesForWeekday(WeekDay weekday, std::int64_t inMonth,
                                                   std::int64_t ofYear, const Region& region);
  std::int64_t monthDays() const;
  // The instant in a region of the given calendar (else this one's), zone (else that calendar's)
  // and locale (else that calendar's).
  DateInRegion convertTo(const std::optional<CalendarConvertible>& calendar,
                         const std::optional<ZoneConvertible>& timezone,
                         const std::optional<LocaleConvertible>& locale) const;
  DateInRegion converted(const std::optional<CalendarConvertible>& calendar,
                         const std::optional<ZoneConvertible>& zone,
                         const std::optional<LocaleConvertible>& locale) const {
    return convertTo(calendar, zone, locale);
  }

  // --- Random dates and lists (date_enumeration.cpp) ---
  // A whole-second offset drawn uniformly below the span, in the lower date's region; the lower
  // bound itself when the bounds are less than a second apart or in the wrong order.
  static DateInRegion randomDate(const DateInRegion& between, const DateInRegion& and_);
  static std::vector<DateInRegion> randomDates(std::int64_t count, const DateInRegion& between,
                                               const DateInRegion& and_);
  static DateInRegion randomDate(std::int64_t withinDaysBeforeToday, const Region& region);
  static DateInRegion randomDate(const Region& region);
  // Instants that are not a number sort after every other and equal one another.
  static std::optional<DateInRegion> oldestIn(const std::vector<DateInRegion>& list);
  static std::optional<DateInRegion> newestIn(const std::vector<DateInRegion>& list);
  static std::vector<DateInRegion> sortedByOldest(const std::vector<DateInRegion>& list);
  static std::vector<DateInRegion> sortedByNewest(const std::vector<DateInRegion>& list);

  // --- Enumeration (date_enumeration.cpp) ---
  using Increment = std::function<platform::DateComponents(const DateInRegion&)>;
  // From `from` to `to`, both included, each date the increment after the one before; ends at
  // the first step that gives no date or none later than the current one.
  static std::vector<DateInRegion> enumerateDates(const DateInRegion& from, const DateInRegion& to,
                                                  const Increment& increment);
  // The n-th date is `from` plus n times the increment, so month ends do not drift; a date not
  // later than the last one kept is left out, and two such in a row end the list.
  static std::vector<DateInRegion> enumerateDates(const DateInRegion& from, const DateInRegion& to,
                                                  const platform::DateComponents& increment);
  // The starts of the days on that weekday from the start instant's day up to, not including,
  // the end instant.
  static std::vector<DateInRegion> datesForWeekday(WeekDay weekday, const DateInRegion& from,
                                                   const DateInRegion& to, const Region& region);

  // --- Comparison (date_comparison.cpp) ---
  bool compare(const DateComparisonType& type) const;
  // In this date's calendar; nanosecond compares the exact instants.
  platform::ComparisonResult compare(const DateInRegion& to, Component granularity) const;
  bool isBefore(const DateInRegion& other, bool orEqual, Component granularity) const;
  bool isAfter(const DateInRegion& other, bool orEqual, Component granularity) const;
  bool isInRange(const DateInRegion& start, const DateInRegion& end, bool orEqual,
                 Component granularity) const;
  bool isSame(const DateInRegion& other, Component granularity) const;
  // Equality of the difference and the precision counts as close.
  bool isCloseTo(const DateInRegion& other, double precision) const;
  std::optional<double> positionInRange(const DateInRegion& start, const DateInRegion& end) const;
  DateInRegion earlierDate(const DateInRegion& other) const;
  DateInRegion laterDate(const DateInRegion& other) const;
  bool isLeapYear() const;
  bool isLeapMonth() const;

  friend bool operator==(const DateInRegion& a, const DateInRegion& b) {
    return a.timeIntervalSince1970() == b.timeIntervalSince1970();
  }
  friend bool operator<(const DateInRegion& a, const DateInRegion& b) { return a.date_ < b.date_; }
  friend bool operator<=(const DateInRegion& a, const DateInRegion& b) {
    return a.date_ <= b.date_;
  }
  friend bool operator>(const DateInRegion& a, const DateInRegion& b) { return a.date_ > b.date_; }
  friend bool operator>=(const DateInRegion& a, const DateInRegion& b) {
    return a.date_ >= b.date_;
  }

 private:
  platform::Date date_;
  Region region_;
  std::shared_ptr<platform::DateFormatter> customFormatter_;
};

// The date plus (minus) the components or values; none when the calendar makes no date or the
// values cannot be negated.
std::optional<DateInRegion> operator+(const DateInRegion& date,
                                      const platform::DateComponents& components);
std::optional<DateInRegion> operator-(const DateInRegion& date,
                                      const platform::DateComponents& components);
std::optional<DateInRegion> operator+(const DateInRegion& date, const ComponentValues& values);
std::optional<DateInRegion> operator-(const DateInRegion& date, const ComponentValues& values);
// Seconds from the right-hand instant to the left-hand one.
inline double operator-(const DateInRegion& a, const DateInRegion& b) {
  return a.timeIntervalSince(b);
}

}  // namespace almanac

// By the instant alone, exactly as equality compares: the region and the attached formatter
// take no part.
template <>
struct std::hash<almanac::DateInRegion> {
  std::size_t operator()(const almanac::DateInRegion& date) const noexcept {
    double seconds = date.timeIntervalSince1970();
    // +0 and -0 are equal and must hash alike.
    return std::hash<double>{}(seconds == 0 ? 0.0 : seconds);
  }
};
