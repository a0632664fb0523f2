#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <unicode/uversion.h>

#include <memory>

#include "platform/time/locale.h"

U_NAMESPACE_BEGIN
class NumberFormat;
U_NAMESPACE_END

namespace platform {

// Writes numbers as text in a locale and style ("22nd" in the ordinal style in English). A
// reference type: share it with `std::shared_ptr`; one instance must not be used by two threads
// at once.
class NumberFormatter {
 public:
  // The platform's style numbers.
  enum class Style {
    none = 0,
    decimal = 1,
    currency = 2,
    percent = 3,
    scientific = 4,
    spellOut = 5,
    ordinal = 6,
    currencyISOCode = 8,
    currencyPlural = 9,
    currencyAccounting = 10,
  };

  static constexpr std::string_view className = "NumberFormatter";

  // Style `none`, the autoupdating locale.
  NumberFormatter();
  ~NumberFormatter();
  NumberFormatter(const NumberFormatter&) = delete;
  NumberFormatter& operator=(const NumberFormatter&) = delete;

  Style numberStyle() const { return style_; }
  void setNumberStyle(Style style);
  const Locale& locale() const { return locale_; }
  void setLocale(Locale locale);

  // No text when the locale has no rules for the style.
  std::optional<std::string> string(double number) const;
  std::optional<std::string> string(std::int64_t number) const;

 private:
  // The ICU formatter for the current settings, made again when they (or, for the autoupdating
  // locale, the user's locale) change.
  icu::NumberFormat* format() const;

  Style style_ = Style::none;
  Locale locale_;
  mutable std::unique_ptr<icu::NumberFormat> format_;
  mutable std::string formatLocale_;
};

}  // namespace platform
