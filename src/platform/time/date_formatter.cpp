#include "platform/time/date_formatter.h"

#include <unicode/calendar.h>
#include <unicode/datefmt.h>
#include <unicode/dtfmtsym.h>
#include <unicode/smpdtfmt.h>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

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

// ICU 72 reads a run of fraction digits as one number and scales it by a power of ten: past
// about nine digits the scale overflows, so a long run reads as a wrong fraction, and past 34 it
// divides by zero and ends the process. Its parse also costs time quadratic in the text's length.
// So the text is bounded, long fraction runs are cut to the digits the pattern asks for, and
// patterns with literal digit runs ICU cannot take read nothing.
constexpr std::size_t kMaximumTextBytes = 1024;
constexpr std::size_t kMaximumDigitRun = 9;

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

struct FractionFields {
  // For each ASCII separator written just before a fraction field, the digits that field keeps.
  std::unordered_map<char, std::size_t> digitsAfter;
  bool readable = true;  // no literal digit run longer than ICU takes
};

FractionFields fractionFields(std::string_view pattern) {
  FractionFields fields;
  std::string literal;  // the literal text since the last field
  std::size_t digitRun = 0;
  auto addLiteral = [&](char c) {
    literal.push_back(c);
    digitRun = isDigit(c) ? digitRun + 1 : 0;
    if (digitRun > kMaximumDigitRun) fields.readable = false;
  };
  for (std::size_t i = 0; i < pattern.size();) {
    char c = pattern[i];
    if (c == '\'') {
      if (i + 1 < pattern.size() && pattern[i + 1] == '\'') {
        addLiteral('\'');
        i += 2;
        continue;
      }
      auto close = pattern.find('\'', i + 1);
      if (close == std::string_view::npos) close = pattern.size();
      for (std::size_t j = i + 1; j < close; ++j)
        addLiteral(pattern[j]);
      i = close + 1;
      continue;
    }
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
      std::size_t end = pattern.find_first_not_of(c, i);
      if (end == std::string_view::npos) end = pattern.size();
      if (c == 'S' && !literal.empty() && static_cast<unsigned char>(literal.back()) < 0x80) {
        auto& digits = fields.digitsAfter[literal.back()];
        digits = std::max(digits, std::min(end - i, kMaximumDigitRun));
      }
      literal.clear();
      digitRun = 0;
      i = end;
      continue;
    }
    addLiteral(c);
    ++i;
  }
  return fields;
}

// `text` with every run of more than nine digits that follows a fraction field's separator cut
// to the digits the field keeps: "12." and forty ones read as 12.111 for "ss.SSS". A run still
// longer than any date writes (fields that abut, "yyyyMMddHHmmssSSSSSSSSS", take 23) would reach
// a fraction field some other way: such a text reads nothing.
std::optional<std::string> withReadableFractions(std::string_view text,
                                                 const FractionFields& fields) {
  constexpr std::size_t kMaximumAbuttingDigits = 32;
  std::string out;
  out.reserve(text.size());
  std::size_t run = 0;
  for (std::size_t i = 0; i < text.size();) {
    char c = text[i++];
    out.push_back(c);
    run = isDigit(c) ? run + 1 : 0;
    if (run > kMaximumAbuttingDigits) return std::nullopt;
    auto field = fields.digitsAfter.find(c);
    if (field == fields.digitsAfter.end()) continue;
    std::size_t end = i;
    while (end < text.size() && isDigit(text[end]))
      ++end;
    if (end - i > kMaximumDigitRun) {
      out.append(text.substr(i, field->second));
      run = field->second;
      i = end;
    }
  }
  return out;
}

std::vector<std::string> toVector(const icu::UnicodeString* items, int32_t count,
                                  int32_t skip = 0) {
  std::vector<std::string> result;
  if (!items) return result;
  for (int32_t i = skip; i < count; ++i)
    result.push_back(icu_support::toUTF8(items[i]));
  return result;
}

// Generating a pattern from styles loads locale data each time; callers set the same styles over
// and over, so each thread keeps what it generated. Bounded: cleared when it grows past what any
// real program uses.
std::string patternForStyles(const Locale& locale, const Calendar& calendar,
                             DateFormatter::Style dateStyle, DateFormatter::Style timeStyle) {
  thread_local std::unordered_map<std::string, std::string> cache;
  std::string key = locale.identifier();
  key += '|';
  key += std::to_string(static_cast<int>(calendar.identifier()));
  key += '|';
  key += static_cast<char>('0' + static_cast<int>(dateStyle));
  key += static_cast<char>('0' + static_cast<int>(timeStyle));
  if (auto it = cache.find(key); it != cache.end()) return it->second;
  std::unique_ptr<icu::DateFormat> generated(icu::DateFormat::createDateTimeInstance(
      icuStyle(dateStyle), icuStyle(timeStyle), icu_support::localeWithCalendar(locale, calendar)));
  auto* simple = dynamic_cast<icu::SimpleDateFormat*>(generated.get());
  std::string pattern;
  if (simple) {
    icu::UnicodeString text;
    simple->toPattern(text);
    pattern = icu_support::toUTF8(text);
  }
  if (cache.size() >= 1024) cache.clear();
  cache.emplace(std::move(key), pattern);
  return pattern;
}

using Context = icu::DateFormatSymbols::DtContextType;
using Width = icu::DateFormatSymbols::DtWidthType;

}  // namespace

DateFormatter::DateFormatter()
    : locale_(Locale::autoupdatingCurrent()), timeZone_(TimeZone::autoupdatingCurrent()) {}

DateFormatter::~DateFormatter() = default;

void DateFormatter::setDateFormat(std::string pattern) {
  patternFromStyles_ = false;
  stylesPending_ = false;
  // Callers switch patterns far more often than anything else: the built formatter is kept and
  // takes the pattern at its next use (see `format()`).
  pattern_ = std::move(pattern);
}

const std::string& DateFormatter::dateFormat() const {
  if (stylesPending_) {
    stylesPending_ = false;
    pattern_ = dateStyle_ == Style::none && timeStyle_ == Style::none
                   ? std::string()
                   : patternForStyles(locale_, calendar(), dateStyle_, timeStyle_);
  }
  return pattern_;
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
}

void DateFormatter::setTimeZone(TimeZone zone) {
  if (zone == timeZone_) return;
  timeZone_ = std::move(zone);
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
}

void DateFormatter::setLenient(bool lenient) {
  if (lenient == lenient_) return;
  lenient_ = lenient;
}

void DateFormatter::regeneratePatternFromStyles() {
  // Made when next asked for: setting both styles, or a style and then the locale, makes it once.
  patternFromStyles_ = true;
  stylesPending_ = true;
}

icu::SimpleDateFormat* DateFormatter::format() const {
  // Settings are compared only here, at the use: a setting changed and changed back in between
  // (as every caller sharing this formatter does) costs nothing.
  if (format_ && !(built_ && built_->locale == locale_ && built_->timeZone == timeZone_ &&
                   built_->calendar == calendar_)) {
    format_.reset();
  }
  if (format_ && built_->lenient != lenient_) {
    format_->setLenient(lenient_);
    built_->lenient = lenient_;
  }
  if (format_ && (timeZone_.isAutoupdating() || locale_.isAutoupdating())) {
    // The user's zone or locale may have changed since the formatter was built.
    if (timeZone_.identifier() != builtZone_ || locale_.identifier() != builtLocale_) {
      format_.reset();
    }
  }
  if (format_) {
    if (appliedPattern_ != dateFormat()) {
      format_->applyPattern(icu_support::toUnicode(pattern_));
      appliedPattern_ = pattern_;
    }
    return format_.get();
  }
  builtZone_ = timeZone_.identifier();
  builtLocale_ = locale_.identifier();
  Calendar calendar = this->calendar();
  icu::Locale locale = icu_support::localeWithCalendar(locale_, calendar);
  UErrorCode status = U_ZERO_ERROR;
  auto format =
      std::make_unique<icu::SimpleDateFormat>(icu_support::toUnicode(dateFormat()), locale, status);
  if (U_FAILURE(status)) {
    // A malformed pattern (an unclosed quote, say) formats nothing and reads nothing.
    return nullptr;
  }
  format->adoptCalendar(icu_support::makeCalendar(calendar, timeZone_).release());
  format->setLenient(lenient_);
  format_ = std::move(format);
  built_ = Built{locale_, timeZone_, calendar_, lenient_};
  appliedPattern_ = pattern_;
  return format_.get();
}

std::string DateFormatter::string(Date date) const {
  if (dateFormat().empty()) return "";
  auto* format = this->format();
  if (!format) return "";
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString text;
  format->format(icu_support::toUDate(date), text, nullptr, status);
  // A pattern letter ICU does not know stops the text part-way: no text rather than a part.
  if (U_FAILURE(status)) return "";
  return icu_support::toUTF8(text);
}

std::optional<Date> DateFormatter::date(std::string_view text) const {
  if (dateFormat().empty()) return std::nullopt;
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
  if (text.size() > kMaximumTextBytes) return std::nullopt;
  auto fractions = fractionFields(dateFormat());
  if (!fractions.readable) return std::nullopt;
  auto readable = withReadableFractions(text, fractions);
  if (!readable) return std::nullopt;
  icu::UnicodeString input = icu_support::toUnicode(*readable);
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

}  // namespace platform
