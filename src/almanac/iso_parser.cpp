#include "almanac/iso_parser.h"

#include <unicode/uchar.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <map>

#include "almanac/text_transformable.h"
#include "platform/foundation/utf8.h"
#include "platform/time/calendar.h"

namespace almanac {

static_assert(StringToDateTransformable<ISOParser>);

namespace {

using Error = ISO8601ParserError;
using Style = ISOParser::DateStyle;

bool isWhitespace(char32_t c) {
  return u_isUWhiteSpace(static_cast<UChar32>(c));
}
bool isDigit(char32_t c) {
  return c >= U'0' && c <= U'9';
}

// The region of texts for machines, made once: building it looks its zone up anew each time.
const Region& machineRegion() {
  static const Region iso = Region::isoStandard();
  return iso;
}

// Zones are immutable and shared: made once per process (UTC) or per thread and offset.
const platform::TimeZone& utcZone() {
  static const platform::TimeZone utc = *platform::TimeZone::withAbbreviation("UTC");
  return utc;
}

std::optional<platform::TimeZone> fixedZone(int seconds) {
  thread_local std::map<int, platform::TimeZone> zones;
  if (auto it = zones.find(seconds); it != zones.end()) return it->second;
  auto zone = platform::TimeZone::withSecondsFromGMT(seconds);
  if (zone && zones.size() < 256) zones.emplace(seconds, *zone);
  return zone;
}

bool isLeapYear(std::int64_t year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}
std::int64_t daysInYear(std::int64_t year) {
  return isLeapYear(year) ? 366 : 365;
}
std::int64_t daysInMonth(std::int64_t year, std::int64_t month) {
  static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : days[month - 1];
}
// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t daysFromCivil(std::int64_t y, std::int64_t m, std::int64_t d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}
// 1 for Monday to 7 for Sunday.
std::int64_t isoWeekday(std::int64_t y, std::int64_t m, std::int64_t d) {
  std::int64_t days = daysFromCivil(y, m, d);  // 1970-01-01 was a Thursday
  return ((days + 3) % 7 + 7) % 7 + 1;
}
// ISO years have 53 weeks when they start on a Thursday, or on a Wednesday in a leap year.
std::int64_t weeksInYear(std::int64_t year) {
  std::int64_t first = isoWeekday(year, 1, 1);
  return first == 4 || (first == 3 && isLeapYear(year)) ? 53 : 52;
}

// A decimal fraction written after a separator, kept as its digits so that any length rounds
// correctly to the millisecond.
struct Fraction {
  std::u32string digits;
  bool present() const { return !digits.empty(); }
  // The fraction of `unitMilliseconds`, rounded half away from zero.
  std::int64_t milliseconds(std::int64_t unitMilliseconds) const {
    // Seventeen significant digits decide any millisecond of an hour.
    std::string text = "0.";
    for (std::size_t i = 0; i < digits.size() && i < 17; ++i) {
      text.push_back(static_cast<char>(digits[i]));
    }
    double value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return static_cast<std::int64_t>(std::round(value * static_cast<double>(unitMilliseconds)));
  }
};

// Today's year, month and day in the Gregorian calendar and the system's zone, read on first
// need only: most texts name their whole date, and the calendar question is costly.
class Today {
 public:
  std::int64_t year() { return get().year; }
  std::int64_t month() { return get().month; }
  std::int64_t day() { return get().day; }

 private:
  struct Values {
    std::int64_t year, month, day;
  };
  const Values& get() {
    if (!values_) {
      platform::Calendar gregorian(platform::Calendar::Identifier::gregorian);
      gregorian.setTimeZone(platform::TimeZone::current());
      auto now = gregorian.dateComponents(
          {platform::Calendar::Component::year, platform::Calendar::Component::month,
           platform::Calendar::Component::day},
          platform::Date::now());
      values_ = Values{now.year.value_or(1), now.month.value_or(1), now.day.value_or(1)};
    }
    return *values_;
  }
  std::optional<Values> values_;
};

class Scanner {
 public:
  Scanner(std::u32string_view text, ISOParser::Options options) : s_(text), options_(options) {
    while (hyphens_ < s_.size() && s_[hyphens_] == U'-')
      ++hyphens_;
  }

  ISOParser::ParsedDate scan() {
    scanDate();
    if (options_.strict && i_ != s_.size()) throw Error::invalid;
    return d_;
  }

  std::int64_t millisecond() const { return millisecond_; }

 private:
  // --- Cursor ---
  std::optional<char32_t> current() const {
    return i_ < s_.size() ? std::optional<char32_t>(s_[i_]) : std::nullopt;
  }
  std::optional<char32_t> peek(std::size_t ahead) const {
    return i_ + ahead < s_.size() ? std::optional<char32_t>(s_[i_ + ahead]) : std::nullopt;
  }
  bool at(char32_t c) const { return i_ < s_.size() && s_[i_] == c; }
  bool atDigit() const { return i_ < s_.size() && isDigit(s_[i_]); }
  void consume() {
    if (i_ < s_.size()) ++i_;
  }
  bool consumeIf(char32_t c) {
    if (!at(c)) return false;
    ++i_;
    return true;
  }
  bool contains(char32_t c) const { return s_.find(c) != std::u32string_view::npos; }

  // A run of ASCII digits (at most `maxDigits` unless unlimited): its length and value. A run
  // too long for a 64-bit integer is refused before any value is formed.
  std::pair<std::size_t, std::int64_t> readInteger(std::size_t maxDigits = 0) {
    std::size_t start = i_;
    while (atDigit() && (maxDigits == 0 || i_ - start < maxDigits))
      ++i_;
    std::size_t n = i_ - start;
    if (n > 18) throw Error::notDigit;
    std::int64_t value = 0;
    for (std::size_t k = start; k < i_; ++k)
      value = value * 10 + (s_[k] - U'0');
    return {n, value};
  }

  // "." or "," then at least one digit. Nothing when no separator is at the cursor.
  Fraction readFraction() {
    Fraction fraction;
    if (!(at(U'.') || at(U','))) return fraction;
    if (options_.time_separator == U'.' || options_.time_separator == U',') return fraction;
    consume();
    if (!atDigit()) throw Error::notDouble;
    while (atDigit())
      fraction.digits.push_back(s_[i_++]);
    return fraction;
  }

  std::int64_t century() { return today_.year() - today_.year() % 100; }
  std::int64_t decade() { return today_.year() - today_.year() % 10; }

  // --- Date ---
  void scanDate() {
    const std::size_t H = hyphens_;
    if (at(U'T')) {
      consume();
      if (!atDigit()) throw Error::invalid;
      today();
      scanTime();
      return;
    }
    while (at(U'-'))
      consume();
    // A time of day: "03:04", or one or two digits then the separator ("03:04-05:00").
    if ((!contains(U'T') && contains(U':') && !contains(U'-')) || startsWithTimeOfDay(H)) {
      today();
      scanTime();
      return;
    }
    auto [n, v] = readInteger();
    const bool strict = options_.strict;
    switch (n) {
      case 0:
        weekWithoutYear(H);
        break;
      case 1:
      case 2:
        if (n == 1 && strict) throw Error::invalid;
        if (H == 0) {
          twoDigits(v);
        } else if (H == 1) {
          yearAfterHyphen(v, n);
        } else if (H == 2) {
          d_.year = today_.year();
          d_.month_or_week = v;
          if (consumeIf(U'-')) {
            d_.day = readInteger(2).second;
          } else {
            d_.day = 1;
          }
        } else if (H == 3) {
          d_.year = today_.year();
          d_.month_or_week = today_.month();
          d_.day = v;
        } else {
          throw Error::invalid;
        }
        break;
      case 3:
        if (H == 0 || (H >= 3 && !strict)) throw Error::invalid;
        d_.year = today_.year();
        d_.day = v;
        d_.type = Style::dateOnly;
        break;
      case 4:
        if (H == 0) {
          fourDigitYear(v);
        } else if (H == 1) {
          // -YYMM: the current century, as "-YY" takes it.
          d_.year = century() + v / 100;
          d_.month_or_week = v % 100;
          consumeIf(U'-');
          d_.day = atDigit() ? readInteger().second : 1;
        } else if (H == 2) {
          d_.year = today_.year();
          d_.month_or_week = v / 100;
          d_.day = v % 100;
        } else {
          throw Error::invalid;
        }
        break;
      case 5:
      case 6:
      case 7:
      case 8:
        if (H != 0) throw Error::invalid;
        if (n == 5) {
          d_.year = century() + v / 1000;
          d_.day = v % 1000;
          d_.type = Style::dateOnly;
        } else if (n == 6) {
          d_.year = century() + v / 10000;
          d_.month_or_week = (v / 100) % 100;
          d_.day = v % 100;
        } else if (n == 7) {
          d_.year = v / 1000;
          d_.day = v % 1000;
          d_.type = Style::dateOnly;
        } else {
          d_.year = v / 10000;
          d_.month_or_week = (v / 100) % 100;
          d_.day = v % 100;
        }
        break;
      default:
        throw Error::invalid;
    }
    scanTime();
  }

  bool startsWithTimeOfDay(std::size_t H) const {
    if (H != 0) return false;
    std::size_t k = i_;
    while (k < s_.size() && isDigit(s_[k]) && k - i_ < 3)
      ++k;
    std::size_t n = k - i_;
    return (n == 1 || n == 2) && k < s_.size() && s_[k] == options_.time_separator;
  }

  void today() {
    d_.year = today_.year();
    d_.month_or_week = today_.month();
    d_.day = today_.day();
  }

  void twoDigits(std::int64_t v) {
    if (at(U'-')) {
      d_.year = century() + v;
      consume();
      if (at(U'W')) {
        readWeek();
      } else if (!atDigit()) {
        // The two digits were a century after all.
        d_.year = v * 100 + today_.year() % 100;
        d_.month_or_week = 1;
        d_.day = 1;
      } else {
        auto [c, w] = readInteger();
        if (c == 2) {
          d_.month_or_week = w;
          consumeIf(U'-');
          d_.day = atDigit() ? readInteger(2).second : 1;
        } else if (c == 3) {
          d_.day = w;
          d_.type = Style::dateOnly;
        } else if (c == 4) {
          d_.month_or_week = w / 100;
          d_.day = w % 100;
        } else {
          // One digit, or five and more: no month and day can be told apart.
          throw Error::invalid;
        }
      }
    } else if (at(U'W')) {
      d_.year = century() + v;
      readWeek();
    } else {
      d_.year = v * 100 + today_.year() % 100;
      d_.month_or_week = 1;
      d_.day = 1;
    }
  }

  void yearAfterHyphen(std::int64_t v, std::size_t n) {
    d_.year = (n == 2 ? century() : decade()) + v;
    if (!consumeIf(U'-')) {
      d_.month_or_week = 1;
      d_.day = 1;
      return;
    }
    if (consumeIf(U'W')) d_.type = Style::week;
    d_.month_or_week = readInteger(2).second;
    if (consumeIf(U'-')) {
      auto [count, x] = readInteger();
      if (d_.type == Style::week) {
        setWeekday(count, x);
      } else {
        d_.day = x == 0 ? 1 : x;
        if (d_.month_or_week == 0) d_.month_or_week = 1;
      }
    } else if (d_.type != Style::week) {
      d_.day = 1;
    }
  }

  void fourDigitYear(std::int64_t v) {
    d_.year = v;
    consumeIf(U'-');
    if (!atDigit()) {
      if (at(U'W')) {
        readWeek();
      } else {
        d_.month_or_week = 1;
        d_.day = 1;
      }
      return;
    }
    auto [c, x] = readInteger();
    if (c == 2) {
      d_.month_or_week = x;
      consumeIf(U'-');
      d_.day = atDigit() ? readInteger().second : 1;
    } else if (c == 3) {
      d_.day = x;
      d_.type = Style::dateOnly;
    } else if (c == 4) {
      d_.month_or_week = x / 100;
      d_.day = x % 100;
    } else {
      throw Error::invalid;
    }
  }

  // A weekday digit run after a week: none written, or 1 to 7.
  void setWeekday(std::size_t count, std::int64_t x) {
    if (count == 0) return;
    if (x < 1 || x > 7) throw Error::invalid;
    d_.weekday = x;
  }

  void readWeek() {
    consume();  // the "W"
    if (!atDigit()) {
      if (options_.strict) throw Error::invalid;
      d_.month_or_week = 1;
      d_.day = 1;
      return;
    }
    d_.month_or_week = readInteger(2).second;
    consumeIf(U'-');
    auto [count, x] = readInteger();
    d_.type = Style::week;
    setWeekday(count, x);
  }

  void weekWithoutYear(std::size_t H) {
    if (!at(U'W')) throw Error::invalid;
    if (peek(1) == U'-' && peek(2) && isDigit(*peek(2)) && (H == 1 || H == 2) && !options_.strict) {
      // -W-D: a weekday of week 1.
      d_.year = today_.year();
      d_.month_or_week = 1;
      consume();
      consume();
      auto [count, x] = readInteger(2);
      setWeekday(count, x);
      d_.type = Style::week;
    } else if (H == 1) {
      d_.year = today_.year();
      consume();
      d_.month_or_week = readInteger(2).second;
      d_.type = Style::week;
      consumeIf(U'-');
      auto [count, x] = readInteger();
      setWeekday(count, x);
    } else {
      throw Error::invalid;
    }
  }

  // --- Time ---
  void scanTime() {
    if (current() && (isWhitespace(*current()) || at(U'T'))) consume();
    if (!atDigit()) return;  // no time, and so no zone
    const char32_t K = options_.time_separator;
    const std::int64_t hour = readInteger(2).second;
    std::int64_t minute = 0, second = 0, millisecond = 0;
    Fraction fraction;
    std::int64_t fractionUnit = 0;
    if (at(K)) {
      consume();
      if (K == U'.' || K == U',') {
        minute = readInteger(2).second;
        if (consumeIf(K)) second = readInteger(2).second;
      } else {
        auto [minuteDigits, m] = readInteger();
        if (minuteDigits == 0) throw Error::notDouble;
        minute = m;
        fraction = readFraction();
        fractionUnit = 60'000;
        if (!fraction.present() && at(K)) {
          consume();
          auto [secondDigits, sec] = readInteger();
          if (secondDigits == 0) throw Error::notDouble;
          second = sec;
          fraction = readFraction();
          fractionUnit = 1'000;
        }
        // A fraction belongs to the last component written only.
        if (fraction.present() && at(K)) throw Error::invalid;
      }
    } else if (atDigit()) {
      // Basic form: hhmm[ss], then a fraction of the last.
      auto [minuteDigits, m] = readInteger(2);
      if (minuteDigits != 2) throw Error::invalid;
      minute = m;
      fractionUnit = 60'000;
      if (atDigit()) {
        auto [secondDigits, sec] = readInteger(2);
        if (secondDigits != 2) throw Error::invalid;
        second = sec;
        fractionUnit = 1'000;
      }
      fraction = readFraction();
    } else {
      fraction = readFraction();
      fractionUnit = 3'600'000;
    }
    if (minute > 59 || second > 60 || hour > 24) throw Error::invalid;
    if (fraction.present()) {
      std::int64_t extra = fraction.milliseconds(fractionUnit);
      if (fractionUnit == 1'000) {
        // A rounded 1000 ms is the next whole second.
        second += extra / 1000;
        millisecond = extra % 1000;
      } else {
        // A fraction of the hour or the minute is carried down to the millisecond.
        std::int64_t total = minute * 60'000 + extra;
        minute = total / 60'000;
        second = (total / 1000) % 60;
        millisecond = total % 1000;
        if (minute > 59) throw Error::invalid;
      }
    }
    if (hour == 24 && (minute != 0 || second != 0 || millisecond != 0)) throw Error::invalid;
    d_.hour = hour;
    d_.minute = static_cast<double>(minute);
    d_.seconds = static_cast<double>(second);
    d_.nanoseconds = static_cast<double>(millisecond) * 1'000'000.0;
    millisecond_ = millisecond;
    scanZone();
  }

  void scanZone() {
    if (!options_.strict && current() && isWhitespace(*current())) consume();
    if (!current()) return;
    const char32_t c = *current();
    if (c == U'+' || c == U'-') {
      consume();
      if (!atDigit()) {
        if (options_.strict) throw Error::invalid;
        return;
      }
      const std::int64_t sign = c == U'-' ? -1 : 1;
      std::int64_t hours = readInteger(2).second;
      std::int64_t minutes = 0;
      consumeIf(options_.time_separator);
      if (atDigit()) minutes = readInteger(2).second;
      if (minutes > 59) throw Error::invalid;
      d_.tz_hour = sign * hours;
      d_.tz_minute = sign * minutes;
      auto zone = fixedZone(static_cast<int>(d_.tz_hour * 3600 + d_.tz_minute * 60));
      if (!zone) throw Error::invalid;
      d_.timezone = *zone;
    } else if (c == U'Z') {
      consume();
      d_.timezone = utcZone();
    }
  }

  std::u32string_view s_;
  std::size_t i_ = 0;
  std::size_t hyphens_ = 0;
  ISOParser::Options options_;
  Today today_;
  ISOParser::ParsedDate d_;
  std::int64_t millisecond_ = 0;
};

bool validSeparator(char32_t k) {
  return !(isDigit(k) || k == U'+' || k == U'-' || k == U'T' || k == U'W' || k == U'Z' ||
           isWhitespace(k));
}

}  // namespace

std::optional<ISOParser> ISOParser::make(std::string_view text,
                                         const std::optional<Options>& given) {
  Options options = given.value_or(Options());
  if (!validSeparator(options.time_separator)) return std::nullopt;
  auto decoded = platform::utf8::decode(text);
  if (!decoded) return std::nullopt;
  std::size_t begin = 0, end = decoded->size();
  while (begin < end && isWhitespace((*decoded)[begin]))
    ++begin;
  while (end > begin && isWhitespace((*decoded)[end - 1]))
    --end;
  if (begin == end) return std::nullopt;

  ISOParser parser;
  std::int64_t millisecond = 0;
  try {
    Scanner scanner(std::u32string_view(*decoded).substr(begin, end - begin), options);
    parser.date_ = scanner.scan();
    millisecond = scanner.millisecond();
  } catch (ISO8601ParserError) {
    return std::nullopt;
  }

  ParsedDate& d = parser.date_;
  // Every value must lie in its range: the calendar would wrap it into another date.
  platform::DateComponents components;
  components.year = d.year;
  switch (d.type) {
    case DateStyle::monthAndDate:
      if (d.month_or_week < 1 || d.month_or_week > 12) return std::nullopt;
      if (d.day < 1 || d.day > daysInMonth(d.year, d.month_or_week)) return std::nullopt;
      components.month = d.month_or_week;
      components.day = d.day;
      break;
    case DateStyle::dateOnly:
      if (d.day < 1 || d.day > 366) return std::nullopt;
      if (options.strict && d.day > daysInYear(d.year)) return std::nullopt;
      components.day = d.day;
      break;
    case DateStyle::week: {
      if (d.month_or_week < 1 || d.month_or_week > 53) return std::nullopt;
      if (options.strict && d.month_or_week > weeksInYear(d.year)) return std::nullopt;
      // From the Monday of week 1 (the week holding 4 January). A week written without a
      // weekday is its Monday; "-W-D" carries its weekday in `day`.
      std::int64_t weekday = d.weekday.value_or(d.day == 0 ? 1 : 0);
      std::int64_t jan4 = isoWeekday(d.year, 1, 4);
      std::int64_t mondayOfWeek1 = 4 - (jan4 - 1);  // day of the year, may be 0 or below
      components.day =
          mondayOfWeek1 + (d.month_or_week - 1) * 7 + (d.day == 0 ? 0 : d.day - 1) + weekday - 1;
      break;
    }
  }
  components.hour = d.hour;
  components.minute = static_cast<std::int64_t>(d.minute);
  components.second = static_cast<std::int64_t>(d.seconds);
  components.nanosecond = millisecond * 1'000'000;

  platform::TimeZone zone = d.timezone ? *d.timezone : utcZone();
  std::optional<platform::Date> date;
  if (d.year >= 1583) {
    // After the Gregorian reform the calendar is the proleptic one, and every zone read is a
    // fixed offset: the instant is plain arithmetic.
    std::int64_t days = components.month ? daysFromCivil(d.year, *components.month, *components.day)
                                         : daysFromCivil(d.year, 1, 1) + *components.day - 1;
    double seconds =
        static_cast<double>(days) * 86400.0 +
        static_cast<double>(d.hour * 3600 + *components.minute * 60 + *components.second) +
        static_cast<double>(millisecond) / 1000.0;
    date =
        platform::Date::fromTimeIntervalSince1970(seconds - zone.secondsFromGMT(platform::Date()));
  } else {
    platform::Calendar gregorian(platform::Calendar::Identifier::gregorian);
    gregorian.setTimeZone(zone);
    date = gregorian.date(components);
  }
  if (!date) return std::nullopt;
  parser.parsedDate_ = date;
  parser.parsedTimeZone_ = zone;
  parser.dateComponents_ = components;
  return parser;
}

std::optional<std::pair<platform::Date, platform::TimeZone>> ISOParser::instantAndZone(
    std::string_view text) {
  auto parser = make(text);
  if (!parser || !parser->parsedDate_ || !parser->parsedTimeZone_) return std::nullopt;
  return std::pair{*parser->parsedDate_, *parser->parsedTimeZone_};
}

std::optional<DateInRegion> ISOParser::parse(std::string_view text,
                                             const std::optional<Region>& region,
                                             const std::any& options) {
  const auto* given = std::any_cast<Options>(&options);
  auto parser = make(text, given ? std::optional<Options>(*given) : std::nullopt);
  if (!parser || !parser->parsedDate_) return std::nullopt;
  const Region& iso = machineRegion();
  platform::Calendar calendar = region ? region->calendar() : iso.calendar();
  platform::TimeZone zone = region ? region->timeZone() : *parser->parsedTimeZone_;
  platform::Locale locale = region ? region->locale() : iso.locale();
  return DateInRegion(*parser->parsedDate_, Region(calendar, zone, locale));
}

}  // namespace almanac
