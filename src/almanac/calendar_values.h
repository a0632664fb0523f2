#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "almanac/conversions.h"

namespace almanac {

// Which list of names a weekday or month name comes from. `default_` and `short_` carry an
// underscore because their plain names are C++ keywords.
enum class SymbolFormatStyle {
  default_,
  defaultStandalone,
  short_,
  veryShort,
  standaloneShort,
  standaloneVeryShort,
};

// The entry at a position of a formatter's list of names, or "" when the list has no such entry
// (a list shorter than the calendar's units, a position from a larger calendar).
std::string symbolAt(const std::vector<std::string>& symbols, std::int64_t position);

// A day of the week; Sunday is 1 and Saturday 7, as the platform numbers them.
class WeekDay {
 public:
  enum Value : int {
    sunday = 1,
    monday,
    tuesday,
    wednesday,
    thursday,
    friday,
    saturday,
  };

  constexpr WeekDay(Value value) : value_(value) {}
  // 1 to 7; anything else is no weekday.
  static std::optional<WeekDay> fromRawValue(std::int64_t rawValue);

  constexpr int rawValue() const { return value_; }

  // The name in the default region's calendar and the given locale; "" should the locale's list
  // lack the day.
  std::string name(SymbolFormatStyle style, const LocaleConvertible& locale) const;
  WeekDay add(std::int64_t days) const;
  WeekDay subtract(std::int64_t days) const;

  friend constexpr bool operator==(WeekDay a, WeekDay b) { return a.value_ == b.value_; }

 private:
  Value value_;
};

// A month of the year; January is 0 and December 11 (unlike weekdays, counted from 0).
class Month {
 public:
  enum Value : int {
    january = 0,
    february,
    march,
    april,
    may,
    june,
    july,
    august,
    september,
    october,
    november,
    december,
  };

  constexpr Month(Value value) : value_(value) {}
  // 0 to 11; anything else is no month.
  static std::optional<Month> fromRawValue(std::int64_t rawValue);

  constexpr int rawValue() const { return value_; }

  // The name in the default region's calendar and the given locale; "" should the locale's list
  // lack the month.
  std::string name(SymbolFormatStyle style, const LocaleConvertible& locale) const;
  // The name in the default style and the default region's locale.
  std::string description() const;
  Month add(std::int64_t months) const;
  Month subtract(std::int64_t months) const;
  // 28 to 31; February has 29 in leap years of the Gregorian rule.
  int numberOfDays(std::int64_t year) const;

  friend constexpr bool operator==(Month a, Month b) { return a.value_ == b.value_; }

 private:
  Value value_;
};

// A year number with the Gregorian leap-year rule.
struct Year {
  std::int64_t year = 0;

  bool isLeap() const;
  int numberOfDays() const { return isLeap() ? 366 : 365; }
  std::string description() const { return std::to_string(year); }

  friend bool operator==(const Year&, const Year&) = default;
};

}  // namespace almanac

template <>
struct std::hash<almanac::WeekDay> {
  std::size_t operator()(almanac::WeekDay day) const noexcept {
    return std::hash<int>{}(day.rawValue());
  }
};

template <>
struct std::hash<almanac::Month> {
  std::size_t operator()(almanac::Month month) const noexcept {
    return std::hash<int>{}(month.rawValue());
  }
};
