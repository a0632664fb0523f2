#include "platform/time/relative_date_time_formatter.h"

#include <unicode/rbnf.h>
#include <unicode/reldatefmt.h>
#include <unicode/udisplaycontext.h>

#include <memory>
#include <utility>

#include "platform/time/icu_support.h"

namespace platform {

namespace {

using Component = Calendar::Component;

constexpr std::pair<Component, URelativeDateTimeUnit> units[] = {
    {Component::year, UDAT_REL_UNIT_YEAR},        {Component::month, UDAT_REL_UNIT_MONTH},
    {Component::weekOfMonth, UDAT_REL_UNIT_WEEK}, {Component::day, UDAT_REL_UNIT_DAY},
    {Component::hour, UDAT_REL_UNIT_HOUR},        {Component::minute, UDAT_REL_UNIT_MINUTE},
    {Component::second, UDAT_REL_UNIT_SECOND},
};

UDateRelativeDateTimeFormatterStyle icuStyle(RelativeDateTimeFormatter::UnitsStyle style) {
  switch (style) {
    case RelativeDateTimeFormatter::UnitsStyle::full:
    case RelativeDateTimeFormatter::UnitsStyle::spellOut:
      return UDAT_STYLE_LONG;
    case RelativeDateTimeFormatter::UnitsStyle::short_:
      return UDAT_STYLE_SHORT;
    case RelativeDateTimeFormatter::UnitsStyle::abbreviated:
      return UDAT_STYLE_NARROW;
  }
  return UDAT_STYLE_LONG;
}

}  // namespace

RelativeDateTimeFormatter::RelativeDateTimeFormatter()
    : locale_(Locale::autoupdatingCurrent()), calendar_(Calendar::autoupdatingCurrent()) {}

std::string RelativeDateTimeFormatter::localizedString(Date date, Date relativeTo) const {
  Calendar::ComponentSet set;
  for (const auto& [component, unit] : units)
    set.insert(component);
  return localizedString(calendar_.dateComponents(set, relativeTo, date));
}

std::string RelativeDateTimeFormatter::localizedString(double timeInterval) const {
  Date now = Date::now();
  return localizedString(now + timeInterval, now);
}

std::string RelativeDateTimeFormatter::localizedString(const DateComponents& components) const {
  std::int64_t value = 0;
  URelativeDateTimeUnit unit = UDAT_REL_UNIT_SECOND;
  for (const auto& [component, icuUnit] : units) {
    auto v = components.value(component);
    if (v && *v != 0 && *v != DateComponents::undefined) {
      value = *v;
      unit = icuUnit;
      break;
    }
  }

  icu::Locale locale = icu_support::makeLocale(locale_);
  UErrorCode status = U_ZERO_ERROR;
  icu::NumberFormat* numbers = nullptr;
  if (unitsStyle_ == UnitsStyle::spellOut) {
    numbers = new icu::RuleBasedNumberFormat(icu::URBNF_SPELLOUT, locale, status);
    if (U_FAILURE(status)) {
      delete numbers;
      numbers = nullptr;
      status = U_ZERO_ERROR;
    }
  }
  icu::RelativeDateTimeFormatter formatter(locale, numbers, icuStyle(unitsStyle_),
                                           UDISPCTX_CAPITALIZATION_NONE, status);
  if (U_FAILURE(status)) return "";
  icu::UnicodeString text;
  auto offset = static_cast<double>(value);
  if (dateTimeStyle_ == DateTimeStyle::named) {
    formatter.format(offset, unit, text, status);
  } else {
    formatter.formatNumeric(offset, unit, text, status);
  }
  if (U_FAILURE(status)) return "";
  return icu_support::toUTF8(text);
}

}  // namespace platform
