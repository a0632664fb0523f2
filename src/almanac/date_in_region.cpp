#include "almanac/date_in_region.h"

#include <cmath>
#include <limits>
#include <set>

#include "almanac/almanac.h"
#include "almanac/date_components_arithmetic.h"
#include "almanac/date_formats.h"
#include "almanac/formatter_cache.h"
#include "platform/coding/date_coding.h"
#include "platform/foundation/log.h"

namespace almanac {

namespace {

// Whole units of a seconds count, toward zero, held to the 64-bit range (NaN counts nothing).
std::int64_t truncated(double value) {
  if (std::isnan(value)) return 0;
  constexpr double limit = 9223372036854775808.0;  // 2^63
  if (value >= limit) return std::numeric_limits<std::int64_t>::max();
  if (value < -limit) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(std::trunc(value));
}

// The platform's debug print of a text: between double quotes, on a line of its own.
void printNotice(std::string_view text) {
  platform::print("\"" + std::string(text) + "\"");
}

}  // namespace

std::string_view DateInRegion::stringValue(CodingKeys key) {
  switch (key) {
    case CodingKeys::date:
      return "date";
    case CodingKeys::region:
      return "region";
  }
  return "";
}

std::optional<DateInRegion::CodingKeys> DateInRegion::codingKey(std::string_view text) {
  for (auto key : {CodingKeys::date, CodingKeys::region}) {
    if (stringValue(key) == text) return key;
  }
  return std::nullopt;
}

DateInRegion DateInRegion::distantPast() {
  return DateInRegion(platform::Date::distantPast(), Almanac::defaultRegion());
}

DateInRegion DateInRegion::distantFuture() {
  return DateInRegion(platform::Date::distantFuture(), Almanac::defaultRegion());
}

std::optional<DateInRegion> DateInRegion::fromString(std::string_view text,
                                                     const std::optional<std::string>& format,
                                                     const Region& region) {
  auto date = parseDate(text, format, region);
  if (!date) return std::nullopt;
  return DateInRegion(*date, region);
}

std::optional<DateInRegion> DateInRegion::fromStringWithFormats(
    std::string_view text, const std::optional<std::vector<std::string>>& formats,
    const Region& region) {
  auto date = parseDate(text, formats ? *formats : Almanac::autoFormats(), region);
  if (!date) return std::nullopt;
  return DateInRegion(*date, region);
}

DateInRegion DateInRegion::fromSeconds(double seconds, const Region& region) {
  return DateInRegion(platform::Date::fromTimeIntervalSince1970(seconds), region);
}

DateInRegion DateInRegion::fromMilliseconds(std::int64_t milliseconds, const Region& region) {
  return fromSeconds(static_cast<double>(milliseconds) / 1000.0, region);
}

std::optional<DateInRegion> DateInRegion::fromComponentsBuilder(
    const std::function<void(platform::DateComponents&)>& builder,
    const std::optional<Region>& region) {
  platform::DateComponents components;
  if (builder) builder(components);
  return fromComponents(components, region);
}

std::optional<DateInRegion> DateInRegion::fromComponents(const platform::DateComponents& components,
                                                         const std::optional<Region>& region) {
  Region target = region ? *region : Region(components);
  auto date = target.calendar().date(components);
  if (!date) return std::nullopt;
  return DateInRegion(*date, std::move(target));
}

std::optional<DateInRegion> DateInRegion::fromNumbers(std::int64_t year, std::int64_t month,
                                                      std::int64_t day, std::int64_t hour,
                                                      std::int64_t minute, std::int64_t second,
                                                      std::int64_t nanosecond,
                                                      const Region& region) {
  platform::DateComponents components;
  components.year = year;
  components.month = month;
  components.day = day;
  components.hour = hour;
  components.minute = minute;
  components.second = second;
  components.nanosecond = nanosecond;
  components.timeZone = region.timeZone();
  components.calendar = region.calendar();
  auto date = region.calendar().date(components);
  if (!date) return std::nullopt;
  return DateInRegion(*date, region);
}

std::string DateInRegion::description() const {
  Region gmt(platform::Calendar::autoupdatingCurrent(),
             platform::TimeZone::withIdentifier("GMT").value_or(platform::TimeZone::gmt()),
             platform::Locale::autoupdatingCurrent());
  std::string absolute = sharedDateFormatter(gmt, std::nullopt)->string(date_);

  std::string represented;
  if (customFormatter_) {
    // The owner's formatter only lends itself to this text: its pattern is put back.
    std::string ownPattern = customFormatter_->dateFormat();
    bool followsStyles = customFormatter_->patternFollowsStyles();
    customFormatter_->setDateFormat(std::string(DateFormats::iso8601));
    represented = customFormatter_->string(date_);
    if (followsStyles) {
      // Made from styles again, so that it keeps following its locale.
      customFormatter_->setDateStyle(customFormatter_->dateStyle());
    } else {
      customFormatter_->setDateFormat(std::move(ownPattern));
    }
  } else {
    represented = sharedDateFormatter(region_, std::nullopt)->string(date_);
  }
  return "{abs_date='" + absolute + "', rep_date='" + represented +
         "', region=" + region_.description();
}

void DateInRegion::encode(platform::Encoder& encoder) const {
  auto container = encoder.container();
  container->encode(date_, stringValue(CodingKeys::date));
  container->encode(region_, stringValue(CodingKeys::region));
}

DateInRegion DateInRegion::decode(platform::Decoder& decoder) {
  auto container = decoder.container();
  auto date = container->decode<platform::Date>(stringValue(CodingKeys::date));
  auto region = container->decode<Region>(stringValue(CodingKeys::region));
  return DateInRegion(date, std::move(region));
}

// A count of days from an instant, whatever the calendar: a calendar formula breaks before the
// Gregorian reform and for years before 1.
double DateInRegion::julianDay() const {
  return 2440587.5 + date_.timeIntervalSince1970() / 86400.0;
}

std::int64_t DateInRegion::interval(const std::optional<DateInRegion>& to,
                                    Component component) const {
  platform::Date other = to ? to->date_ : platform::Date::now();
  switch (component) {
    case Component::year:
    case Component::month:
    case Component::day:
    case Component::weekday:
    case Component::weekdayOrdinal:
    case Component::weekOfYear: {
      const platform::Calendar& calendar = region_.calendar();
      auto theirs = calendar.ordinality(component, Component::era, other);
      auto ours = calendar.ordinality(component, Component::era, date_);
      std::int64_t difference = 0;
      if (!theirs || !ours || __builtin_sub_overflow(*theirs, *ours, &difference)) return 0;
      return difference;
    }
    case Component::hour:
    case Component::minute:
    case Component::second:
      return truncated(other.timeIntervalSince(date_) / *unitLength(component));
    default:
      printNotice(
          "Passed component cannot be used to extract values using interval() function between "
          "two dates. Returning 0.");
      return 0;
  }
}

platform::DateComponents DateInRegion::componentsSince(const DateInRegion& other) const {
  return region_.calendar().dateComponents(allCalendarComponents(), other.date_, date_);
}

platform::DateComponents DateInRegion::componentsSince(
    const DateInRegion& other, const std::optional<std::vector<Component>>& components) const {
  const platform::Calendar& calendar = other.region_.calendar();
  if (!(calendar == region_.calendar()))
    printNotice("Date has different calendar, results maybe wrong");
  platform::Calendar::ComponentSet set =
      components ? platform::Calendar::ComponentSet(components->begin(), components->end())
                 : allCalendarComponents();
  return calendar.dateComponents(set, other.date_, date_);
}

}  // namespace almanac
