#pragma once

#include <any>
#include <cstdint>
#include <initializer_list>
#include <string>

namespace almanac {

class DateRepresentable;

// Writes dates as ISO 8601 text. Option bits choose the pieces; they become one date-format
// pattern, rendered in "en_US_POSIX" with a Gregorian calendar whose weeks follow ISO 8601
// (Monday first, four days in the first week), so week numbers and week-based years are ISO's.
class ISOFormatter {
 public:
  class Options {
   public:
    std::int64_t rawValue = 0;

    constexpr Options() = default;
    constexpr explicit Options(std::int64_t raw) : rawValue(raw) {}
    // The union of the listed options.
    constexpr Options(std::initializer_list<Options> options) {
      for (Options o : options)
        rawValue |= o.rawValue;
    }

    static const Options year;
    static const Options month;
    static const Options weekOfYear;
    static const Options day;
    static const Options time;
    static const Options timeZone;
    static const Options spaceBetweenDateAndTime;
    static const Options dashBeforeWeekOrOrdinal;
    static const Options fullDate;
    static const Options fullTimeWithZone;
    static const Options dateTimeSeconds;
    static const Options dateTimeMillis;
    static const Options dateTimeMillisBasicZone;

    constexpr bool isEmpty() const { return rawValue == 0; }
    // Every bit of `other` is set here (the empty set is in every set).
    constexpr bool contains(Options other) const {
      return (rawValue & other.rawValue) == other.rawValue;
    }
    constexpr Options unionWith(Options other) const { return Options(rawValue | other.rawValue); }
    constexpr Options intersection(Options other) const {
      return Options(rawValue & other.rawValue);
    }
    constexpr Options symmetricDifference(Options other) const {
      return Options(rawValue ^ other.rawValue);
    }
    constexpr void insert(Options other) { rawValue |= other.rawValue; }
    constexpr void remove(Options other) { rawValue &= ~other.rawValue; }
    constexpr bool isSubset(Options of) const { return of.contains(*this); }
    constexpr bool isSuperset(Options of) const { return contains(of); }

    friend constexpr Options operator|(Options a, Options b) { return a.unionWith(b); }
    friend constexpr Options operator&(Options a, Options b) { return a.intersection(b); }
    friend constexpr Options operator^(Options a, Options b) { return a.symmetricDifference(b); }
    friend constexpr bool operator==(Options a, Options b) = default;
  };

  // The pattern of the options; the empty pattern when they name no piece.
  static std::string pattern(Options options);
  // The date's text with the options, or with `dateTimeSeconds` when `options` holds no
  // `Options`.
  static std::string format(const DateRepresentable& date, const std::any& options);
};

inline constexpr ISOFormatter::Options ISOFormatter::Options::year{std::int64_t{1}};
inline constexpr ISOFormatter::Options ISOFormatter::Options::month{std::int64_t{2}};
inline constexpr ISOFormatter::Options ISOFormatter::Options::weekOfYear{std::int64_t{4}};
inline constexpr ISOFormatter::Options ISOFormatter::Options::day{std::int64_t{8}};
inline constexpr ISOFormatter::Options ISOFormatter::Options::time{std::int64_t{16}};
inline constexpr ISOFormatter::Options ISOFormatter::Options::timeZone{std::int64_t{32}};
inline constexpr ISOFormatter::Options ISOFormatter::Options::spaceBetweenDateAndTime{
    std::int64_t{64}};
inline constexpr ISOFormatter::Options ISOFormatter::Options::dashBeforeWeekOrOrdinal{
    std::int64_t{128}};
inline constexpr ISOFormatter::Options ISOFormatter::Options::fullDate{std::int64_t{256}};
inline constexpr ISOFormatter::Options ISOFormatter::Options::fullTimeWithZone{std::int64_t{512}};
inline constexpr ISOFormatter::Options ISOFormatter::Options::dateTimeSeconds{std::int64_t{1024}};
inline constexpr ISOFormatter::Options ISOFormatter::Options::dateTimeMillis{std::int64_t{2048}};
inline constexpr ISOFormatter::Options ISOFormatter::Options::dateTimeMillisBasicZone{
    std::int64_t{4096}};

}  // namespace almanac
