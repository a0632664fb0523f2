#pragma once

#include <any>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "almanac/date_in_region.h"
#include "almanac/region.h"
#include "platform/foundation/date.h"
#include "platform/time/date_components.h"
#include "platform/time/time_zone.h"

namespace almanac {

// Why a scan stopped. Kept inside the parser: a failed scan is simply no parser.
enum class ISO8601ParserError { eof, notDigit, notDouble, invalid };

// Reads ISO 8601 text: calendar, week and ordinal dates in the extended and the basic form, the
// reduced forms that start with hyphens, two-digit years in the current century, a time with a
// fraction on its last component, and a zone. What the text leaves out comes from today's date
// (Gregorian, the system's zone). Text that names no zone is read as UTC.
//
// Written by hand rather than with a pattern: the reduced forms depend on the number of leading
// hyphens and on digit counts, which no date-format pattern can express. Every value read is
// range-checked, so no text is ever wrapped into another date by the lenient calendar.
class ISOParser {
 public:
  struct Options {
    // Between hours, minutes and seconds, and between the hours and minutes of an offset.
    char32_t time_separator = U':';
    // Refuses the one-digit forms, checks ordinal days and week numbers against the year, skips
    // no whitespace before the zone and requires the whole text to be read.
    bool strict = false;

    Options() = default;
    explicit Options(bool strict) : strict(strict) {}
    Options(char32_t separator, bool strict) : time_separator(separator), strict(strict) {}
  };

  struct ParsedDate {
    enum class DateStyle { monthAndDate, week, dateOnly };

    std::int64_t year = 0;
    std::int64_t month_or_week = 0;
    std::int64_t day = 0;
    std::int64_t hour = 0;
    double minute = 0;
    double seconds = 0;
    double nanoseconds = 0;
    std::optional<std::int64_t> weekday;
    std::int64_t tz_hour = 0;
    std::int64_t tz_minute = 0;
    DateStyle type = DateStyle::monthAndDate;
    std::optional<platform::TimeZone> timezone;
  };
  using DateStyle = ParsedDate::DateStyle;

  // Scans the whole text at once. An empty text, invalid UTF-8, a refused separator or any form
  // the scanner refuses gives no parser.
  static std::optional<ISOParser> make(std::string_view text,
                                       const std::optional<Options>& options = std::nullopt);

  // The instant the text names and the zone it was read in, with the default options.
  static std::optional<std::pair<platform::Date, platform::TimeZone>> instantAndZone(
      std::string_view text);

  // The date of the text in the given region (the region only shows it; the instant is the
  // text's), or, without one, in a Gregorian "en_US_POSIX" region of the zone the text named.
  // Options other than `ISOParser::Options` count as the defaults.
  static std::optional<DateInRegion> parse(std::string_view text,
                                           const std::optional<Region>& region,
                                           const std::any& options);

  const std::optional<platform::Date>& parsedDate() const { return parsedDate_; }
  const std::optional<platform::TimeZone>& parsedTimeZone() const { return parsedTimeZone_; }
  const std::optional<platform::DateComponents>& date_components() const { return dateComponents_; }
  const ParsedDate& date() const { return date_; }

 private:
  ISOParser() = default;

  std::optional<platform::Date> parsedDate_;
  std::optional<platform::TimeZone> parsedTimeZone_;
  std::optional<platform::DateComponents> dateComponents_;
  ParsedDate date_;
};

}  // namespace almanac
