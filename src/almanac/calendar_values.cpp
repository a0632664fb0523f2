#include "almanac/calendar_values.h"

#include <vector>

#include "almanac/almanac.h"
#include "almanac/formatter_cache.h"

namespace almanac {

namespace {

// The thread's formatter set to the default region's calendar and zone, in the given locale.
std::shared_ptr<platform::DateFormatter> namesFormatter(const LocaleConvertible& locale) {
  Region defaults = Almanac::defaultRegion();
  Region region(defaults.calendar(), defaults.calendar().timeZone(), locale);
  return sharedDateFormatter(region, std::nullopt);
}

int wrap(int position, std::int64_t delta, int size) {
  return static_cast<int>((position + delta % size + size) % size);
}

}  // namespace

std::string symbolAt(const std::vector<std::string>& symbols, std::int64_t position) {
  if (position < 0 || static_cast<std::uint64_t>(position) >= symbols.size()) return "";
  return symbols[static_cast<std::size_t>(position)];
}

std::optional<WeekDay> WeekDay::fromRawValue(std::int64_t rawValue) {
  if (rawValue < 1 || rawValue > 7) return std::nullopt;
  return WeekDay(static_cast<Value>(rawValue));
}

std::string WeekDay::name(SymbolFormatStyle style, const LocaleConvertible& locale) const {
  auto formatter = namesFormatter(locale);
  std::vector<std::string> list;
  switch (style) {
    case SymbolFormatStyle::default_:
      list = formatter->weekdaySymbols();
      break;
    case SymbolFormatStyle::defaultStandalone:
      list = formatter->standaloneWeekdaySymbols();
      break;
    case SymbolFormatStyle::short_:
      list = formatter->shortWeekdaySymbols();
      break;
    case SymbolFormatStyle::veryShort:
      list = formatter->veryShortWeekdaySymbols();
      break;
    case SymbolFormatStyle::standaloneShort:
      list = formatter->shortStandaloneWeekdaySymbols();
      break;
    case SymbolFormatStyle::standaloneVeryShort:
      list = formatter->veryShortStandaloneWeekdaySymbols();
      break;
  }
  return symbolAt(list, value_ - 1);
}

WeekDay WeekDay::add(std::int64_t days) const {
  return WeekDay(static_cast<Value>(wrap(value_ - 1, days, 7) + 1));
}

WeekDay WeekDay::subtract(std::int64_t days) const {
  // Negating the remainder, not the count, keeps the smallest count in range.
  return WeekDay(static_cast<Value>(wrap(value_ - 1, -(days % 7), 7) + 1));
}

std::optional<Month> Month::fromRawValue(std::int64_t rawValue) {
  if (rawValue < 0 || rawValue > 11) return std::nullopt;
  return Month(static_cast<Value>(rawValue));
}

std::string Month::name(SymbolFormatStyle style, const LocaleConvertible& locale) const {
  auto formatter = namesFormatter(locale);
  std::vector<std::string> list;
  switch (style) {
    case SymbolFormatStyle::default_:
      list = formatter->monthSymbols();
      break;
    case SymbolFormatStyle::defaultStandalone:
      list = formatter->standaloneMonthSymbols();
      break;
    case SymbolFormatStyle::short_:
      list = formatter->shortMonthSymbols();
      break;
    case SymbolFormatStyle::veryShort:
      list = formatter->veryShortMonthSymbols();
      break;
    case SymbolFormatStyle::standaloneShort:
      list = formatter->shortStandaloneMonthSymbols();
      break;
    case SymbolFormatStyle::standaloneVeryShort:
      list = formatter->veryShortStandaloneMonthSymbols();
      break;
  }
  return symbolAt(list, value_);
}

std::string Month::description() const {
  return name(SymbolFormatStyle::default_, Almanac::defaultRegion().locale());
}

Month Month::add(std::int64_t months) const {
  return Month(static_cast<Value>(wrap(value_, months, 12)));
}

Month Month::subtract(std::int64_t months) const {
  return Month(static_cast<Value>(wrap(value_, -(months % 12), 12)));
}

int Month::numberOfDays(std::int64_t year) const {
  switch (value_) {
    case april:
    case june:
    case september:
    case november:
      return 30;
    case february:
      return Year{year}.isLeap() ? 29 : 28;
    default:
      return 31;
  }
}

bool Year::isLeap() const {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

}  // namespace almanac
