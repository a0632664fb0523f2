#include "platform/time/date_formatter.h"

#include <unicode/datefmt.h>
#include <unicode/dtfmtsym.h>
#include <unicode/smpdtfmt.h>

#include "platform/time/icu_support.h"

namespace platform {

namespace {

icu::DateFormat::EStyle icuStyle(DateFormatter::Style style) {
  switch (style) {
    case DateFormatter::Style::none:
      return icu::DateFormat::kNone;
    case DateFormatter::Style::short_:
      return icu::DateFormat::kShort;
    case DateFormatter::Style::medium:
      return icu::DateFormat::kMedium;
    case DateFormatter::Style::long_:
      return icu::DateFormat::kLong;
    case DateFormatter::Style::full:
      return icu::DateFormat::kFull;
  }
  return icu::DateFormat::kNone;
}

std::vector<std::string> toVector(const icu::UnicodeString* items, int32_t count,
                                  int32_t skip = 0) {
  std::vector<std::string> result;
  if (!items) return result;
  for (int32_t i = skip; i < count; ++i)
    result.push_back(icu_support::toUTF8(items[i]));
  return result;
}

using Context = icu::DateFormatSymbols::DtContextType;
using Width = icu::DateFormatSymbols::DtWidthType;

}  // namespace

DateFormatter::DateFormatter()
    : locale_(Locale::autoupdatingCurrent()), timeZone_(TimeZone::autoupdatingCurrent()) {}

DateFormatter::~DateFormatter() = default;

void DateFormatter::invalidate() {
  format_.reset();
}

void DateFormatter::setDateFormat(std::string pattern) {
  patternFromStyles_ = false;
  if (pattern == pattern_) return;
  pattern_ = std::move(pattern);
  // Callers switch patterns far more often than anything else: keep the built formatter and
  // its symbols, and only swap the pattern.
  if (format_) format_->applyPattern(icu_support::toUnicode(pattern_));
}

void DateFormatter::setDateStyle(Style style) {
  dateStyle_ = style;
  regeneratePatternFromStyles();
}

void DateFormatter::setTimeStyle(Style style) {
  timeStyle_ = style;
  regeneratePatternFromStyles();
}

void DateFormatter::setLocale(Locale locale) {
  if (locale == locale_) return;
  locale_ = std::move(locale);
  if (patternFromStyles_) regeneratePatternFromStyles();
  invalidate();
}

void DateFormatter::setTimeZone(TimeZone zone) {
  if (zone == timeZone_) return;
  timeZone_ = std::move(zone);
  invalidate();
}

Calendar DateFormatter::calendar() const {
  if (calendar_) return *calendar_;
  Calendar calendar(icu_support::identifierForType(locale_.calendarKeyword())
                        .value_or(Calendar::Identifier::gregorian));
  calendar.setLocale(locale_);
  calendar.setTimeZone(timeZone_);
  return calendar;
}

void DateFormatter::setCalendar(Calendar calendar) {
  if (calendar_ && *calendar_ == calendar) return;
  calendar_ = std::move(calendar);
  if (patternFromStyles_) regeneratePatternFromStyles();
  invalidate();
}

void DateFormatter::setLenient(bool lenient) {
  if (lenient == lenient_) return;
  lenient_ = lenient;
  invalidate();
}

void DateFormatter::regeneratePatternFromStyles() {
  patternFromStyles_ = true;
  if (dateStyle_ == Style::none && timeStyle_ == Style::none) {
    pattern_.clear();
    if (format_) format_->applyPattern(icu::UnicodeString());
    return;
  }
  std::unique_ptr<icu::DateFormat> generated(icu::DateFormat::createDateTimeInstance(
      icuStyle(dateStyle_), icuStyle(timeStyle_),
      icu_support::localeWithCalendar(locale_, calendar())));
  auto* simple = dynamic_cast<icu::SimpleDateFormat*>(generated.get());
  if (!simple) {
    pattern_.clear();
    invalidate();
    return;
  }
  icu::UnicodeString pattern;
  simple->toPattern(pattern);
  pattern_ = icu_support::toUTF8(pattern);
  if (format_) format_->applyPattern(pattern);
}

icu::SimpleDateFormat* DateFormatter::format() const {
  if (format_ && (timeZone_.isAutoupdating() || locale_.isAutoupdating())) {
    // The user's zone or locale may have changed since the formatter was built.
    if (timeZone_.identifier() != builtZone_ || locale_.identifier() != builtLocale_) {
      format_.reset();
    }
  }
  if (format_) return format_.get();
  builtZone_ = timeZone_.identifier();
  builtLocale_ = locale_.identifier();
  Calendar calendar = this->calendar();
  icu::Locale locale = icu_support::localeWithCalendar(locale_, calendar);
  UErrorCode status = U_ZERO_ERROR;
  auto format =
      std::make_unique<icu::SimpleDateFormat>(icu_support::toUnicode(pattern_), locale, status);
  if (U_FAILURE(status)) {
    // A malformed pattern (an unclosed quote, say) formats nothing and reads nothing.
    return nullptr;
  }
  format->adoptCalendar(icu_support::makeCalendar(calendar, timeZone_).release());
  format->setLenient(lenient_);
  format_ = std::move(format);
  return format_.get();
}

std::string DateFormatter::string(Date date) const {
  if (pattern_.empty()) return "";
  auto* format = this->format();
  if (!format) return "";
  icu::UnicodeString text;
  format->format(icu_support::toUDate(date), text);
  return icu_support::toUTF8(text);
}

std::optional<Date> DateFormatter::date(std::string_view text) const {
  if (pattern_.empty()) return std::nullopt;
  auto* format = this->format();
  if (!format) return std::nullopt;
  std::unique_ptr<icu::Calendar> cal(format->getCalendar()->clone());
  cal->clear();
  cal->set(UCAL_YEAR, 2000);
  cal->set(UCAL_MONTH, 0);
  cal->set(UCAL_DATE, 1);
  cal->set(UCAL_HOUR_OF_DAY, 0);
  cal->set(UCAL_MINUTE, 0);
  cal->set(UCAL_SECOND, 0);
  cal->set(UCAL_MILLISECOND, 0);
  icu::UnicodeString input = icu_support::toUnicode(text);
  icu::ParsePosition position(0);
  format->parse(input, *cal, position);
  if (position.getErrorIndex() >= 0 || position.getIndex() != input.length()) {
    return std::nullopt;
  }
  std::unique_ptr<icu::Calendar> lenient(cal->clone());
  UErrorCode status = U_ZERO_ERROR;
  UDate parsed = cal->getTime(status);
  if (U_FAILURE(status)) {
    // A strict calendar refuses a time the zone skips, so a date alone on a day whose midnight
    // never happens (clocks jump from 00:00 to 01:00) would read as nothing. It names the day's
    // first instant when that instant still writes as the text read; a day the month lacks does
    // not.
    status = U_ZERO_ERROR;
    lenient->setLenient(true);
    parsed = lenient->getTime(status);
    if (U_FAILURE(status) || string(icu_support::fromUDate(parsed)) != text) return std::nullopt;
  }
  return icu_support::fromUDate(parsed);
}

#define TOVARINE_SYMBOLS(name, getter, context, width, skip)                           \
  std::vector<std::string> DateFormatter::name() const {                               \
    auto* format = this->format();                                                     \
    if (!format) return {};                                                            \
    const icu::DateFormatSymbols* symbols = format->getDateFormatSymbols();            \
    if (!symbols) return {};                                                           \
    int32_t count = 0;                                                                 \
    const icu::UnicodeString* items = symbols->getter(count, Context::context, width); \
    return toVector(items, count, skip);                                               \
  }

TOVARINE_SYMBOLS(monthSymbols, getMonths, FORMAT, Width::WIDE, 0)
TOVARINE_SYMBOLS(shortMonthSymbols, getMonths, FORMAT, Width::ABBREVIATED, 0)
TOVARINE_SYMBOLS(veryShortMonthSymbols, getMonths, FORMAT, Width::NARROW, 0)
TOVARINE_SYMBOLS(standaloneMonthSymbols, getMonths, STANDALONE, Width::WIDE, 0)
TOVARINE_SYMBOLS(shortStandaloneMonthSymbols, getMonths, STANDALONE, Width::ABBREVIATED, 0)
TOVARINE_SYMBOLS(veryShortStandaloneMonthSymbols, getMonths, STANDALONE, Width::NARROW, 0)
// ICU's weekday lists start with an empty entry so that Sunday sits at index 1.
TOVARINE_SYMBOLS(weekdaySymbols, getWeekdays, FORMAT, Width::WIDE, 1)
TOVARINE_SYMBOLS(shortWeekdaySymbols, getWeekdays, FORMAT, Width::ABBREVIATED, 1)
TOVARINE_SYMBOLS(veryShortWeekdaySymbols, getWeekdays, FORMAT, Width::NARROW, 1)
TOVARINE_SYMBOLS(standaloneWeekdaySymbols, getWeekdays, STANDALONE, Width::WIDE, 1)
TOVARINE_SYMBOLS(shortStandaloneWeekdaySymbols, getWeekdays, STANDALONE, Width::ABBREVIATED, 1)
TOVARINE_SYMBOLS(veryShortStandaloneWeekdaySymbols, getWeekdays, STANDALONE, Width::NARROW, 1)
TOVARINE_SYMBOLS(quarterSymbols, getQuarters, FORMAT, Width::WIDE, 0)
TOVARINE_SYMBOLS(shortQuarterSymbols, getQuarters, FORMAT, Width::ABBREVIATED, 0)
TOVARINE_SYMBOLS(standaloneQuarterSymbols, getQuarters, STANDALONE, Width::WIDE, 0)
TOVARINE_SYMBOLS(shortStandaloneQuarterSymbols, getQuarters, STANDALONE, Width::ABBREVIATED, 0)

#undef TOVARINE_SYMBOLS

std::vector<std::string> DateFormatter::eraSymbols() const {
  auto* format = this->format();
  if (!format || !format->getDateFormatSymbols()) return {};
  int32_t count = 0;
  const icu::UnicodeString* items = format->getDateFormatSymbols()->getEras(count);
  return toVector(items, count);
}

std::vector<std::string> DateFormatter::longEraSymbols() const {
  auto* format = this->format();
  if (!format || !format->getDateFormatSymbols()) return {};
  int32_t count = 0;
  const icu::UnicodeString* items = format->getDateFormatSymbols()->getEraNames(count);
  return toVector(items, count);
}

std::string DateFormatter::amSymbol() const {
  auto* format = this->format();
  if (!format || !format->getDateFormatSymbols()) return "";
  int32_t count = 0;
  const icu::UnicodeString* items = format->getDateFormatSymbols()->getAmPmStrings(count);
  return count > 0 ? icu_support::toUTF8(items[0]) : "";
}

std::string DateFormatter::pmSymbol() const {
  auto* format = this->format();
  if (!format || !format->getDateFormatSymbols()) return "";
  int32_t count = 0;
  const icu::UnicodeString* items = format->getDateFormatSymbols()->getAmPmStrings(count);
  return count > 1 ? icu_support::toUTF8(items[1]) : "";
}

}  // namespace platform
