#include "platform/time/number_formatter.h"

#include <unicode/numfmt.h>
#include <unicode/rbnf.h>

#include <memory>

#include "platform/time/icu_support.h"

namespace platform {

namespace {

std::unique_ptr<icu::NumberFormat> makeFormat(NumberFormatter::Style style,
                                              const icu::Locale& locale) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::NumberFormat> format;
  switch (style) {
    case NumberFormatter::Style::spellOut:
      format = std::make_unique<icu::RuleBasedNumberFormat>(icu::URBNF_SPELLOUT, locale, status);
      break;
    case NumberFormatter::Style::ordinal:
      format = std::make_unique<icu::RuleBasedNumberFormat>(icu::URBNF_ORDINAL, locale, status);
      break;
    case NumberFormatter::Style::none:
      format.reset(icu::NumberFormat::createInstance(locale, UNUM_DECIMAL, status));
      if (format) {
        format->setGroupingUsed(false);
        format->setMaximumFractionDigits(0);
      }
      break;
    case NumberFormatter::Style::decimal:
      format.reset(icu::NumberFormat::createInstance(locale, UNUM_DECIMAL, status));
      if (format) format->setMaximumFractionDigits(3);
      break;
    case NumberFormatter::Style::currency:
      format.reset(icu::NumberFormat::createInstance(locale, UNUM_CURRENCY, status));
      break;
    case NumberFormatter::Style::percent:
      format.reset(icu::NumberFormat::createInstance(locale, UNUM_PERCENT, status));
      break;
    case NumberFormatter::Style::scientific:
      format.reset(icu::NumberFormat::createInstance(locale, UNUM_SCIENTIFIC, status));
      break;
    case NumberFormatter::Style::currencyISOCode:
      format.reset(icu::NumberFormat::createInstance(locale, UNUM_CURRENCY_ISO, status));
      break;
    case NumberFormatter::Style::currencyPlural:
      format.reset(icu::NumberFormat::createInstance(locale, UNUM_CURRENCY_PLURAL, status));
      break;
    case NumberFormatter::Style::currencyAccounting:
      format.reset(icu::NumberFormat::createInstance(locale, UNUM_CURRENCY_ACCOUNTING, status));
      break;
  }
  if (U_FAILURE(status)) return nullptr;
  return format;
}

}  // namespace

NumberFormatter::NumberFormatter() : locale_(Locale::autoupdatingCurrent()) {}

NumberFormatter::~NumberFormatter() = default;

void NumberFormatter::setNumberStyle(Style style) {
  if (style == style_) return;
  style_ = style;
  format_.reset();
}

void NumberFormatter::setLocale(Locale locale) {
  if (locale == locale_) return;
  locale_ = std::move(locale);
  format_.reset();
}

icu::NumberFormat* NumberFormatter::format() const {
  std::string identifier = locale_.identifier();
  if (!format_ || identifier != formatLocale_) {
    format_ = makeFormat(style_, icu_support::makeLocale(identifier));
    formatLocale_ = std::move(identifier);
  }
  return format_.get();
}

std::optional<std::string> NumberFormatter::string(double number) const {
  auto* format = this->format();
  if (!format) return std::nullopt;
  icu::UnicodeString text;
  format->format(number, text);
  if (text.isEmpty()) return std::nullopt;
  return icu_support::toUTF8(text);
}

std::optional<std::string> NumberFormatter::string(std::int64_t number) const {
  auto* format = this->format();
  if (!format) return std::nullopt;
  icu::UnicodeString text;
  format->format(static_cast<int64_t>(number), text);
  if (text.isEmpty()) return std::nullopt;
  return icu_support::toUTF8(text);
}

}  // namespace platform
