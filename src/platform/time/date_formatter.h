#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/date.h"
#include "platform/time/calendar.h"
#include "platform/time/locale.h"
#include "platform/time/time_zone.h"

#include <unicode/uversion.h>

U_NAMESPACE_BEGIN
class SimpleDateFormat;
U_NAMESPACE_END

namespace platform {

// Writes dates as text and reads them back, with a pattern of Unicode date-field symbols or with
// date and time styles. A reference type: share it with `std::shared_ptr`; one instance must not
// be used by two threads at once.
//
// As on the platform: parsing is strict unless `setLenient(true)`, and a parse must consume the
// whole text. Setting a style regenerates the pattern from both styles and the locale (both
// styles `none` give the empty pattern); setting a pattern overrides the styles until a style is
// set again. Fields the text leaves out default to 2000-01-01 00:00:00 in the formatter's zone.
class DateFormatter {
 public:
  // The platform's style numbers. `short_` and `long_` carry an underscore because their plain
  // names are C++ keywords.
  enum class Style { none = 0, short_ = 1, medium = 2, long_ = 3, full = 4 };

  static constexpr std::string_view className = "DateFormatter";

  // The autoupdating locale and zone, the locale's calendar, no pattern.
  DateFormatter();
  ~DateFormatter();
  DateFormatter(const DateFormatter&) = delete;
  DateFormatter& operator=(const DateFormatter&) = delete;

  const std::string& dateFormat() const;
  void setDateFormat(std::string pattern);
  Style dateStyle() const { return dateStyle_; }
  // Whether the pattern is the one the styles make (and so follows the locale).
  bool patternFollowsStyles() const { return patternFromStyles_; }
  void setDateStyle(Style style);
  Style timeStyle() const { return timeStyle_; }
  void setTimeStyle(Style style);

  const Locale& locale() const { return locale_; }
  void setLocale(Locale locale);
  const TimeZone& timeZone() const { return timeZone_; }
  void setTimeZone(TimeZone zone);
  // The calendar set, or else the locale's calendar in the formatter's zone and locale.
  Calendar calendar() const;
  void setCalendar(Calendar calendar);

  bool isLenient() const { return lenient_; }
  void setLenient(bool lenient);

  std::string string(Date date) const;
  std::optional<Date> date(std::string_view text) const;

  // Names in the formatter's locale and calendar.
  std::vector<std::string> monthSymbols() const;
  std::vector<std::string> shortMonthSymbols() const;
  std::vector<std::string> veryShortMonthSymbols() const;
  std::vector<std::string> standaloneMonthSymbols() const;
  std::vector<std::string> shortStandaloneMonthSymbols() const;
  std::vector<std::string> veryShortStandaloneMonthSymbols() const;
  std::vector<std::string> weekdaySymbols() const;
  std::vector<std::string> shortWeekdaySymbols() const;
  std::vector<std::string> veryShortWeekdaySymbols() const;
  std::vector<std::string> standaloneWeekdaySymbols() const;
  std::vector<std::string> shortStandaloneWeekdaySymbols() const;
  std::vector<std::string> veryShortStandaloneWeekdaySymbols() const;
  std::vector<std::string> quarterSymbols() const;
  std::vector<std::string> shortQuarterSymbols() const;
  std::vector<std::string> standaloneQuarterSymbols() const;
  std::vector<std::string> shortStandaloneQuarterSymbols() const;
  std::vector<std::string> eraSymbols() const;
  std::vector<std::string> longEraSymbols() const;

 private:
  void regeneratePatternFromStyles();
  icu::SimpleDateFormat* format() const;  // built on first use after a change

  // With `stylesPending_`, the styles changed and `pattern_` is made from them when next read.
  mutable std::string pattern_;
  mutable bool stylesPending_ = false;
  // The pattern `format_` holds.
  mutable std::string appliedPattern_;
  Style dateStyle_ = Style::none;
  Style timeStyle_ = Style::none;
  bool patternFromStyles_ = false;
  Locale locale_;
  TimeZone timeZone_;
  std::optional<Calendar> calendar_;
  bool lenient_ = false;
  mutable std::unique_ptr<icu::SimpleDateFormat> format_;
  // The settings `format_` was built with.
  struct Built {
    Locale locale;
    TimeZone timeZone;
    std::optional<Calendar> calendar;
    bool lenient;
  };
  mutable std::optional<Built> built_;
  // What the autoupdating zone and locale were when `format_` was built.
  mutable std::string builtZone_;
  mutable std::string builtLocale_;
};

}  // namespace platform
