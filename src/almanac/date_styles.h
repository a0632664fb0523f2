#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "almanac/date_in_region.h"
#include "almanac/iso_formatter.h"
#include "almanac/iso_parser.h"
#include "almanac/region.h"
#include "platform/time/date_formatter.h"
#include "platform/time/relative_date_time_formatter.h"

namespace almanac {

class DateRepresentable;

// Every way the library writes a date as text. One case struct per way; `value()` holds the
// case, its index being the case's number.
class DateToStringStyles {
 public:
  using FormatterStyle = platform::DateFormatter::Style;

  struct Iso {
    ISOFormatter::Options options;
  };
  struct Date {
    FormatterStyle style;
  };
  struct Time {
    FormatterStyle style;
  };
  struct DateTime {
    FormatterStyle style;
  };
  struct DateTimeMixed {
    FormatterStyle dateStyle;
    FormatterStyle timeStyle;
  };
  struct Custom {
    std::string format;
  };
  struct Relative {
    platform::RelativeDateTimeFormatter::DateTimeStyle style;
    platform::RelativeDateTimeFormatter::UnitsStyle unitsStyle;
  };
  struct Extended {};
  struct Rss {};
  struct AltRSS {};
  struct DotNet {};
  struct HttpHeader {};
  struct Sql {};
  struct Standard {};

  using Value = std::variant<Iso, Date, Time, DateTime, DateTimeMixed, Custom, Relative, Extended,
                             Rss, AltRSS, DotNet, HttpHeader, Sql, Standard>;

  static DateToStringStyles iso(ISOFormatter::Options options) { return {Iso{options}}; }
  static DateToStringStyles date(FormatterStyle style) { return {Date{style}}; }
  static DateToStringStyles time(FormatterStyle style) { return {Time{style}}; }
  static DateToStringStyles dateTime(FormatterStyle style) { return {DateTime{style}}; }
  static DateToStringStyles dateTimeMixed(FormatterStyle dateStyle, FormatterStyle timeStyle) {
    return {DateTimeMixed{dateStyle, timeStyle}};
  }
  static DateToStringStyles custom(std::string format) { return {Custom{std::move(format)}}; }
  static DateToStringStyles relative(platform::RelativeDateTimeFormatter::DateTimeStyle style,
                                     platform::RelativeDateTimeFormatter::UnitsStyle unitsStyle) {
    return {Relative{style, unitsStyle}};
  }
  static DateToStringStyles extended() { return {Extended{}}; }
  static DateToStringStyles rss() { return {Rss{}}; }
  static DateToStringStyles altRSS() { return {AltRSS{}}; }
  static DateToStringStyles dotNet() { return {DotNet{}}; }
  static DateToStringStyles httpHeader() { return {HttpHeader{}}; }
  static DateToStringStyles sql() { return {Sql{}}; }
  static DateToStringStyles standard() { return {Standard{}}; }

  const Value& value() const { return value_; }

  // The date's text in this style. Never fails: a pattern the platform cannot use writes "".
  std::string text(const DateRepresentable& date) const;

 private:
  DateToStringStyles(Value value) : value_(std::move(value)) {}
  Value value_;
};

// Every way the library reads text as a date. The value-less cases come in another order than
// the output styles': `sql` before `httpHeader`.
class StringToDateStyles {
 public:
  struct Iso {
    ISOParser::Options options;
  };
  struct Strict {
    std::string format;
  };
  struct Custom {
    std::string format;
  };
  struct Extended {};
  struct Rss {};
  struct AltRSS {};
  struct DotNet {};
  struct Sql {};
  struct HttpHeader {};
  struct Standard {};

  using Value =
      std::variant<Iso, Strict, Custom, Extended, Rss, AltRSS, DotNet, Sql, HttpHeader, Standard>;

  static StringToDateStyles iso(ISOParser::Options options) { return {Iso{options}}; }
  static StringToDateStyles strict(std::string format) { return {Strict{std::move(format)}}; }
  static StringToDateStyles custom(std::string format) { return {Custom{std::move(format)}}; }
  static StringToDateStyles extended() { return {Extended{}}; }
  static StringToDateStyles rss() { return {Rss{}}; }
  static StringToDateStyles altRSS() { return {AltRSS{}}; }
  static StringToDateStyles dotNet() { return {DotNet{}}; }
  static StringToDateStyles sql() { return {Sql{}}; }
  static StringToDateStyles httpHeader() { return {HttpHeader{}}; }
  static StringToDateStyles standard() { return {Standard{}}; }

  const Value& value() const { return value_; }

  // The text read in this style; nothing when it does not read.
  std::optional<DateInRegion> date(std::string_view text, const Region& region) const;

 private:
  StringToDateStyles(Value value) : value_(std::move(value)) {}
  Value value_;
};

}  // namespace almanac
