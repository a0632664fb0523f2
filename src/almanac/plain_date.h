#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "almanac/associated_value.h"
#include "almanac/calculation_options.h"
#include "almanac/component_values.h"
#include "almanac/date_representable.h"
#include "platform/foundation/date.h"

namespace almanac {

class DateComparisonType;
class DateInRegion;

// A plain instant seen through the library: it answers every date question in the default
// region, read afresh at each question, so a change of the default region shows in the next
// answer. It converts to and from `platform::Date` freely.
//
// A formatter can be attached to it as to a `DateInRegion`: kept in a box beside the instant,
// shared by copies made afterwards, replaced only in the copy it is set on.
class PlainDate final : public DateRepresentable {
 public:
  PlainDate() = default;
  PlainDate(platform::Date date) : date_(date) {}
  operator platform::Date() const { return date_; }

  // Each of these builds the date in the region as `DateInRegion` does and keeps its instant.
  static std::optional<PlainDate> fromString(std::string_view text,
                                             const std::optional<std::string>& format,
                                             const Region& region);
  static std::optional<PlainDate> fromStringWithFormats(
      std::string_view text, const std::optional<std::vector<std::string>>& formats,
      const Region& region);
  static PlainDate fromSeconds(double seconds, const Region& region);
  static PlainDate fromMilliseconds(std::int64_t milliseconds, const Region& region);
  static std::optional<PlainDate> fromComponentsBuilder(
      const std::function<void(platform::DateComponents&)>& builder,
      const std::optional<Region>& region);
  static std::optional<PlainDate> fromComponents(const platform::DateComponents& components,
                                                 const std::optional<Region>& region);
  static std::optional<PlainDate> fromNumbers(std::int64_t year, std::int64_t month,
                                              std::int64_t day, std::int64_t hour,
                                              std::int64_t minute, std::int64_t second,
                                              std::int64_t nanosecond, const Region& region);

  // Each calculation below is the region-bound one (DateInRegion) in the default region, with
  // the instant of its answer (plain_date_calculations.cpp).
  DateInRegion inDefaultRegion() const;
  static PlainDate distantPastDate();
  static PlainDate distantFutureDate();

  // Strictly closer than the precision (the region-bound form also accepts equality).
  bool isCloseTo(const PlainDate& other, double precision) const;
  bool compare(const DateComparisonType& type) const;
  platform::ComparisonResult compare(const PlainDate& to, Component granularity) const;
  bool isSame(const PlainDate& other, Component granularity) const;
  bool isBefore(const PlainDate& other, bool orEqual, Component granularity) const;
  bool isAfter(const PlainDate& other, bool orEqual, Component granularity) const;
  bool isInRange(const PlainDate& start, const PlainDate& end, bool orEqual,
                 Component granularity) const;
  std::optional<double> positionInRange(const PlainDate& start, const PlainDate& end) const;
  PlainDate earlierDate(const PlainDate& other) const;
  PlainDate laterDate(const PlainDate& other) const;
  static std::optional<PlainDate> oldestIn(const std::vector<PlainDate>& list);
  static std::optional<PlainDate> newestIn(const std::vector<PlainDate>& list);
  bool isLeapYear() const;
  bool isLeapMonth() const;
  double julianDay() const;
  double modifiedJulianDay() const { return julianDay() - 2400000.5; }
  // As the region-bound interval of the two dates lifted into the default region; none means
  // now.
  std::int64_t interval(const std::optional<PlainDate>& to, Component component) const;

  // Counted forwards from the earlier of the two dates, so never negative.
  std::optional<std::int64_t> differenceFrom(Component component, const PlainDate& other) const;
  std::map<Component, std::int64_t> differencesFrom(
      const platform::Calendar::ComponentSet& components, const PlainDate& other) const;

  static std::vector<PlainDate> enumerateDates(
      const PlainDate& from, const PlainDate& to,
      const std::function<platform::DateComponents(const PlainDate&)>& increment);
  static std::vector<PlainDate> enumerateDates(const PlainDate& from, const PlainDate& to,
                                               const platform::DateComponents& increment);

  PlainDate dateRoundedAt(const RoundDateMode& mode) const;
  PlainDate dateAtStartOf(Component component) const;
  PlainDate dateAtEndOf(Component component) const;
  PlainDate dateAtStartOf(const std::vector<Component>& components) const;
  PlainDate dateAtEndOf(const std::vector<Component>& components) const;
  std::optional<PlainDate> dateBySet(const std::map<Component, std::int64_t>& values) const;
  std::optional<PlainDate> dateBySet(std::optional<std::int64_t> hour,
                                     std::optional<std::int64_t> min,
                                     std::optional<std::int64_t> secs,
                                     std::optional<std::int64_t> ms,
                                     const TimeCalculationOptions& options = {}) const;
  std::optional<PlainDate> dateTruncated(const std::vector<Component>& at) const;
  std::optional<PlainDate> dateTruncated(Component from) const;
  PlainDate dateByAdding(std::int64_t count, Component component) const;
  PlainDate dateAt(const DateRelatedType& type) const;
  static PlainDate dateAtNow(const DateRelatedType& type);
  PlainDate dateAt(std::int64_t weekdayOrdinal, WeekDay weekday,
                   std::optional<std::int64_t> monthNumber,
                   std::optional<std::int64_t> yearNumber) const;
  // In the given region, not the default one.
  PlainDate nextWeekday(WeekDay weekday, const Region& region) const;
  static std::vector<PlainDate> datesForWeekday(WeekDay weekday, const PlainDate& from,
                                                const PlainDate& to, const Region& region);
  // The month's first moment is built in the given region, so none of the previous month's days
  // slips in west of GMT.
  static std::vector<PlainDate> datesForWeekday(WeekDay weekday, std::int64_t inMonth,
                                                std::int64_t ofYear, const Region& region);
  std::int64_t monthDays() const;

  platform::Date date() const override { return date_; }
  // A copy of the default region as it is now.
  Region region() const override;
  std::shared_ptr<platform::DateFormatter> customFormatter() const override;
  void setCustomFormatter(std::shared_ptr<platform::DateFormatter> formatter) override;

 private:
  platform::Date date_;
  std::shared_ptr<AssociatedValue> attachedFormatter_;
};

// The value of one numeric component; none for calendar, time zone and the leap-month flag.
std::optional<std::int64_t> componentValue(const platform::DateComponents& components,
                                           platform::Calendar::Component component);

// Arithmetic in the default region's calendar; none when it makes no date.
std::optional<PlainDate> operator+(const PlainDate& date,
                                   const platform::DateComponents& components);
std::optional<PlainDate> operator+(const platform::DateComponents& components,
                                   const PlainDate& date);
std::optional<PlainDate> operator-(const PlainDate& date,
                                   const platform::DateComponents& components);
// All sixteen components from the right-hand date to the left-hand one.
platform::DateComponents operator-(const PlainDate& a, const PlainDate& b);
inline PlainDate operator+(const PlainDate& date, double seconds) {
  return PlainDate(date.date() + seconds);
}

}  // namespace almanac
