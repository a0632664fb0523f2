#include "platform/time/date_components_formatter.h"

#include <unicode/measfmt.h>
#include <unicode/measunit.h>
#include <unicode/measure.h>
#include <unicode/rbnf.h>

#include <cmath>
#include <memory>
#include <vector>

#include <fmt/format.h>

#include "platform/time/icu_support.h"

namespace platform {

namespace {

using Component = Calendar::Component;
using UnitsStyle = DateComponentsFormatter::UnitsStyle;

struct UnitInfo {
  Component component;
  CalendarUnit unit;
  double seconds;  // nominal length, for fractions and for folding into the next unit
};

constexpr UnitInfo unitTable[] = {
    {Component::year, CalendarUnit::year, 31556952},
    {Component::month, CalendarUnit::month, 2629746},
    {Component::weekOfMonth, CalendarUnit::weekOfMonth, 604800},
    {Component::day, CalendarUnit::day, 86400},
    {Component::hour, CalendarUnit::hour, 3600},
    {Component::minute, CalendarUnit::minute, 60},
    {Component::second, CalendarUnit::second, 1},
};

// How many of the next unit one of this unit holds, where that is fixed.
std::optional<double> foldFactor(Component from, Component to) {
  if (from == Component::year && to == Component::month) return 12;
  if (from == Component::weekOfMonth && to == Component::day) return 7;
  if (from == Component::day && to == Component::hour) return 24;
  if (from == Component::hour && to == Component::minute) return 60;
  if (from == Component::minute && to == Component::second) return 60;
  return std::nullopt;
}

struct Value {
  const UnitInfo* info;
  double amount;
};

std::vector<const UnitInfo*> unitsFor(CalendarUnit allowed, UnitsStyle style) {
  std::vector<const UnitInfo*> units;
  for (const auto& info : unitTable) {
    bool wanted =
        allowed == CalendarUnit::none
            ? !(style == UnitsStyle::positional && info.component == Component::weekOfMonth)
            : contains(allowed, info.unit) || (info.component == Component::weekOfMonth &&
                                               contains(allowed, CalendarUnit::weekOfYear));
    if (wanted) units.push_back(&info);
  }
  return units;
}

icu::MeasureUnit* measureUnit(Component component, UErrorCode& status) {
  switch (component) {
    case Component::year:
      return icu::MeasureUnit::createYear(status);
    case Component::month:
      return icu::MeasureUnit::createMonth(status);
    case Component::weekOfMonth:
      return icu::MeasureUnit::createWeek(status);
    case Component::day:
      return icu::MeasureUnit::createDay(status);
    case Component::hour:
      return icu::MeasureUnit::createHour(status);
    case Component::minute:
      return icu::MeasureUnit::createMinute(status);
    default:
      return icu::MeasureUnit::createSecond(status);
  }
}

std::string plainNumber(double value, bool pad) {
  double whole = std::trunc(value);
  std::string text;
  if (value == whole) {
    auto n = static_cast<long long>(whole);
    text = pad ? fmt::format("{:02}", n) : fmt::format("{}", n);
  } else {
    text = fmt::format("{:.2f}", value);
    while (text.back() == '0')
      text.pop_back();
    if (text.back() == '.') text.pop_back();
    if (pad && std::fabs(value) < 10) text = "0" + text;
  }
  return text;
}

std::string positional(const std::vector<Value>& values, bool pad) {
  std::string text;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) text += ':';
    text += plainNumber(i == 0 ? values[i].amount : std::fabs(values[i].amount), pad || i > 0);
  }
  return text;
}

std::optional<std::string> measures(const std::vector<Value>& values, UnitsStyle style,
                                    const Calendar& calendar) {
  icu::Locale locale =
      icu_support::makeLocale(calendar.locale() ? *calendar.locale() : Locale::current());
  UErrorCode status = U_ZERO_ERROR;
  UMeasureFormatWidth width = UMEASFMT_WIDTH_WIDE;
  if (style == UnitsStyle::short_ || style == UnitsStyle::brief) width = UMEASFMT_WIDTH_SHORT;
  if (style == UnitsStyle::abbreviated) width = UMEASFMT_WIDTH_NARROW;
  icu::NumberFormat* numbers = nullptr;
  if (style == UnitsStyle::spellOut) {
    numbers = new icu::RuleBasedNumberFormat(icu::URBNF_SPELLOUT, locale, status);
  } else {
    numbers = icu::NumberFormat::createInstance(locale, status);
    if (numbers) numbers->setMaximumFractionDigits(2);
  }
  if (U_FAILURE(status)) {
    delete numbers;
    return std::nullopt;
  }
  icu::MeasureFormat format(locale, width, numbers, status);
  if (U_FAILURE(status)) return std::nullopt;

  std::vector<icu::Measure> list;
  list.reserve(values.size());
  for (const auto& value : values) {
    icu::MeasureUnit* unit = measureUnit(value.info->component, status);
    list.emplace_back(icu::Formattable(value.amount), unit, status);
  }
  if (U_FAILURE(status)) return std::nullopt;

  icu::UnicodeString text;
  icu::FieldPosition position(icu::FieldPosition::DONT_CARE);
  if (style == UnitsStyle::brief) {
    // Short units, run together without list punctuation.
    std::string joined;
    for (const auto& measure : list) {
      icu::UnicodeString one;
      format.formatMeasures(&measure, 1, one, position, status);
      if (!joined.empty()) joined += ' ';
      joined += icu_support::toUTF8(one);
    }
    if (U_FAILURE(status)) return std::nullopt;
    return joined;
  }
  format.formatMeasures(list.data(), static_cast<int32_t>(list.size()), text, position, status);
  if (U_FAILURE(status)) return std::nullopt;
  return icu_support::toUTF8(text);
}

// Applies the zero, folding and count rules to the magnitudes of the units, then writes them.
std::optional<std::string> render(std::vector<Value> values, bool negative,
                                  const DateComponentsFormatter& settings,
                                  const Calendar& calendar) {
  bool positionalStyle = settings.unitsStyle == UnitsStyle::positional;
  ZeroFormattingBehavior zeros = settings.zeroFormattingBehavior;
  if (contains(zeros, ZeroFormattingBehavior::default_)) {
    zeros = positionalStyle ? ZeroFormattingBehavior::dropLeading : ZeroFormattingBehavior::dropAll;
  }

  auto firstNonZero = [&] {
    std::size_t i = 0;
    while (i < values.size() && values[i].amount == 0)
      ++i;
    return i;
  };

  // A clock text already carries a unit over into the next place, so collapsing is for unit
  // texts only: 3661 seconds read "1:01:01", never "61:01".
  if (settings.collapsesLargestUnit && !positionalStyle) {
    std::size_t i = firstNonZero();
    if (i + 1 < values.size() && values[i].amount == 1) {
      if (auto factor = foldFactor(values[i].info->component, values[i + 1].info->component)) {
        values[i + 1].amount += *factor;
        values[i].amount = 0;
      }
    }
  }

  if (contains(zeros, ZeroFormattingBehavior::dropLeading)) {
    std::size_t i = firstNonZero();
    // A positional text keeps minutes and seconds, so that 5 seconds reads "0:05".
    std::size_t keep = positionalStyle ? std::min<std::size_t>(2, values.size()) : 1;
    i = std::min(i, values.size() - keep);
    values.erase(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(i));
  }
  if (positionalStyle && contains(zeros, ZeroFormattingBehavior::pad) &&
      settings.allowedUnits == CalendarUnit::none) {
    // Padding a clock without named units pads hours, minutes and seconds; the empty larger
    // units stay out, as they do unpadded.
    std::size_t i =
        std::min(firstNonZero(), values.size() - std::min<std::size_t>(3, values.size()));
    values.erase(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(i));
  }
  if (contains(zeros, ZeroFormattingBehavior::dropTrailing) && !positionalStyle) {
    while (values.size() > 1 && values.back().amount == 0)
      values.pop_back();
  }
  if (contains(zeros, ZeroFormattingBehavior::dropMiddle) && !positionalStyle) {
    std::vector<Value> kept;
    for (std::size_t i = 0; i < values.size(); ++i) {
      bool middle = i > 0 && i + 1 < values.size();
      if (!(middle && values[i].amount == 0)) kept.push_back(values[i]);
    }
    values = std::move(kept);
  }
  if (!positionalStyle && contains(zeros, ZeroFormattingBehavior::dropAll)) {
    std::vector<Value> kept;
    for (const auto& value : values) {
      if (value.amount != 0) kept.push_back(value);
    }
    if (kept.empty() && !values.empty()) kept.push_back(values.back());
    values = std::move(kept);
  }

  if (settings.maximumUnitCount > 0) {
    // Counted from the first unit that is shown with a value.
    std::size_t start = firstNonZero();
    if (start == values.size()) start = 0;
    std::size_t limit = start + static_cast<std::size_t>(settings.maximumUnitCount);
    if (values.size() > limit) values.resize(limit);
  }
  if (values.empty()) return std::nullopt;

  if (negative) values.front().amount = -values.front().amount;

  std::optional<std::string> text;
  if (positionalStyle) {
    text = positional(values, contains(zeros, ZeroFormattingBehavior::pad));
  } else {
    text = measures(values, settings.unitsStyle, calendar);
  }
  if (!text) return std::nullopt;
  if (settings.includesApproximationPhrase) *text = "About " + *text;
  if (settings.includesTimeRemainingPhrase) *text += " remaining";
  return text;
}

}  // namespace

std::optional<std::string> DateComponentsFormatter::string(double timeInterval) const {
  if (!std::isfinite(timeInterval)) return std::nullopt;
  Date start = referenceDate.value_or(Date::now());
  return string(start, start + timeInterval);
}

std::optional<std::string> DateComponentsFormatter::string(Date start, Date end) const {
  Calendar cal = calendar.value_or(Calendar::autoupdatingCurrent());
  bool negative = end < start;
  if (negative) std::swap(start, end);
  auto units = unitsFor(allowedUnits, unitsStyle);
  if (units.empty()) return std::nullopt;
  Calendar::ComponentSet set;
  for (const auto* info : units)
    set.insert(info->component);
  DateComponents counted = cal.dateComponents(set, start, end);

  std::vector<Value> values;
  for (const auto* info : units) {
    values.push_back({info, static_cast<double>(counted.value(info->component).value_or(0))});
  }
  if (allowsFractionalUnits) {
    // What the counted units leave over goes to the smallest one as a fraction.
    if (auto reached = cal.dateByAdding(counted, start)) {
      values.back().amount += end.timeIntervalSince(*reached) / units.back()->seconds;
    }
  }
  return render(std::move(values), negative, *this, cal);
}

std::optional<std::string> DateComponentsFormatter::string(const DateComponents& components) const {
  Calendar cal = components.calendar.value_or(calendar.value_or(Calendar::autoupdatingCurrent()));
  auto units = unitsFor(allowedUnits, unitsStyle);
  std::vector<Value> values;
  bool negative = false;
  for (const auto* info : units) {
    auto value = components.value(info->component);
    if (info->component == Component::weekOfMonth && !value) {
      value = components.value(Component::weekOfYear);
    }
    double amount = value && *value != DateComponents::undefined ? static_cast<double>(*value) : 0;
    if (amount < 0) negative = true;
    values.push_back({info, std::fabs(amount)});
  }
  if (values.empty()) return std::nullopt;
  return render(std::move(values), negative, *this, cal);
}

}  // namespace platform
