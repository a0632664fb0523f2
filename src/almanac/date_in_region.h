#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "almanac/date_representable.h"
#include "almanac/region.h"
#include "platform/coding/coder.h"
#include "platform/foundation/date.h"
#include "platform/time/date_components.h"
#include "platform/time/date_formatter.h"

namespace almanac {

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

  // The same instant, with no formatter attached, in the region of the given calendar, zone and
  // locale, each left out taken from this date's region.
  DateInRegion converted(const std::optional<CalendarConvertible>& calendar,
                         const std::optional<ZoneConvertible>& zone,
                         const std::optional<LocaleConvertible>& locale) const;

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
