#include <charconv>

#include "almanac/date_formats.h"
#include "almanac/date_in_region.h"
#include "almanac/date_representable.h"
#include "almanac/date_styles.h"
#include "almanac/dotnet_date.h"
#include "almanac/formatter_cache.h"

namespace almanac {

namespace {

using S = SymbolFormatStyle;
using Formatter = platform::DateFormatter;

std::vector<std::string> monthList(const Formatter& f, S style) {
  switch (style) {
    case S::default_:
      return f.monthSymbols();
    case S::defaultStandalone:
      return f.standaloneMonthSymbols();
    case S::short_:
      return f.shortMonthSymbols();
    case S::veryShort:
      return f.veryShortMonthSymbols();
    case S::standaloneShort:
      return f.shortStandaloneMonthSymbols();
    case S::standaloneVeryShort:
      return f.veryShortStandaloneMonthSymbols();
  }
  return {};
}

std::vector<std::string> weekdayList(const Formatter& f, S style) {
  switch (style) {
    case S::default_:
      return f.weekdaySymbols();
    case S::defaultStandalone:
      return f.standaloneWeekdaySymbols();
    case S::short_:
      return f.shortWeekdaySymbols();
    case S::veryShort:
      return f.veryShortWeekdaySymbols();
    case S::standaloneShort:
      return f.shortStandaloneWeekdaySymbols();
    case S::standaloneVeryShort:
      return f.veryShortStandaloneWeekdaySymbols();
  }
  return {};
}

std::vector<std::string> quarterList(const Formatter& f, S style) {
  switch (style) {
    case S::default_:
      return f.quarterSymbols();
    case S::defaultStandalone:
      return f.standaloneQuarterSymbols();
    case S::short_:
    case S::veryShort:
      return f.shortQuarterSymbols();
    case S::standaloneShort:
    case S::standaloneVeryShort:
      return f.shortStandaloneQuarterSymbols();
  }
  return {};
}

std::vector<std::string> eraList(const Formatter& f, S style) {
  return style == S::default_ || style == S::defaultStandalone ? f.longEraSymbols()
                                                               : f.eraSymbols();
}

}  // namespace

std::string DateRepresentable::monthSymbol(SymbolFormatStyle style) const {
  return symbolAt(monthList(*formatter(), style), month() - 1);
}

std::string DateRepresentable::weekdaySymbol(SymbolFormatStyle style,
                                             const std::optional<LocaleConvertible>& locale) const {
  auto f = formatter();
  f->setLocale(locale ? locale->toLocale() : region().locale());
  return symbolAt(weekdayList(*f, style), weekday() - 1);
}

std::string DateRepresentable::quarterSymbol(SymbolFormatStyle style,
                                             const std::optional<LocaleConvertible>& locale) const {
  auto f = formatter();
  f->setLocale(locale ? locale->toLocale() : region().locale());
  return symbolAt(quarterList(*f, style), quarter() - 1);
}

std::string DateRepresentable::eraSymbol(SymbolFormatStyle style,
                                         const std::optional<LocaleConvertible>& locale) const {
  auto f = formatter();
  f->setLocale(locale ? locale->toLocale() : region().locale());
  // Eras count from 0 (before Christ is era 0), so the era is its own position in the list.
  return symbolAt(eraList(*f, style), era());
}

std::string DateRepresentable::ordinalDayText() const {
  std::int64_t d = day();
  auto text = sharedOrdinalFormatter(LocaleConvertible(region().locale()))->string(d);
  return text ? *text : std::to_string(d);
}

std::string DateRepresentable::string() const {
  return string(DateToStringStyles::standard());
}

std::string DateRepresentable::string(const DateToStringStyles& style) const {
  return style.text(*this);
}

std::string DateRepresentable::string(const std::string& format,
                                      const std::optional<LocaleConvertible>& locale) const {
  if (locale) {
    Region own = region();
    DateInRegion elsewhere(date(), Region(own.calendar(), own.timeZone(), *locale));
    return elsewhere.regionFormatter(format)->string(date());
  }
  return regionFormatter(format)->string(date());
}

std::string DateRepresentable::isoText(const std::optional<ISOFormatter::Options>& options) const {
  return ISOFormatter::format(*this, options.value_or(ISOFormatter::Options::dateTimeSeconds));
}

std::string DateRepresentable::dotNetText() const {
  return DOTNETFormatter::format(*this, {});
}

std::string DateRepresentable::sqlText() const {
  return regionFormatter(std::string(DateFormats::sql))->string(date());
}

std::string DateRepresentable::rssText(bool alt) const {
  return regionFormatter(std::string(alt ? DateFormats::altRSS : DateFormats::rss))->string(date());
}

}  // namespace almanac
