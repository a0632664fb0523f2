#include "almanac/iso_formatter.h"

#include "almanac/date_representable.h"
#include "almanac/text_transformable.h"

namespace almanac {

static_assert(DateToStringTrasformable<ISOFormatter>);

std::string ISOFormatter::pattern(Options o) {
  using O = Options;
  if (o.contains(O::dateTimeMillisBasicZone)) return "yyyy-MM-dd'T'HH:mm:ss.SSSZZZ";
  if (o.contains(O::dateTimeMillis)) return "yyyy-MM-dd'T'HH:mm:ss.SSSZZZZZ";
  if (o.contains(O::dateTimeSeconds)) return "yyyy-MM-dd'T'HH:mm:ssZZZZZ";

  const bool year = o.contains(O::year), month = o.contains(O::month),
             week = o.contains(O::weekOfYear), day = o.contains(O::day),
             dash = o.contains(O::dashBeforeWeekOrOrdinal);
  std::string result;
  if (o.contains(O::fullDate)) {
    result += "yyyy-MM-dd";
  } else {
    if (year) {
      if (week) {
        result += "YYYY";
      } else if (month || day) {
        result += "yyyy";
      }
    }
    if (month && (year || week || day)) result += "MM";
    if (week) {
      // "e" is the weekday counted from the calendar's first day, Monday here: ISO's 1 to 7.
      if (day) {
        result += "'W'wwe";
      } else if (year || month) {
        result += dash ? "-'W'ww" : "'W'ww";
      }
    } else if (day) {
      if (month) {
        result += "dd";
      } else if (year) {
        result += dash ? "-DDD" : "DDD";
      }
    }
  }
  const bool hasDate = year || month || week || day || o.contains(O::fullDate);
  const bool hasTime =
      o.contains(O::time) || o.contains(O::timeZone) || o.contains(O::fullTimeWithZone);
  if (hasDate && hasTime) result += o.contains(O::spaceBetweenDateAndTime) ? " " : "'T'";
  if (o.contains(O::fullTimeWithZone)) {
    result += "HH:mm:ssZZZZZ";
  } else {
    if (o.contains(O::time)) result += "HH:mm:ss";
    if (o.contains(O::timeZone)) result += "ZZZZZ";
  }
  return result;
}

std::string ISOFormatter::format(const DateRepresentable& date, const std::any& options) {
  const auto* given = std::any_cast<Options>(&options);
  Options chosen = given ? *given : Options::dateTimeSeconds;
  platform::TimeZone zone = date.region().timeZone();
  auto formatter = date.formatter(pattern(chosen), [&zone](platform::DateFormatter& f) {
    f.setLocale(platform::Locale("en_US_POSIX"));
    f.setTimeZone(zone);
    platform::Calendar calendar(platform::Calendar::Identifier::gregorian);
    calendar.setTimeZone(zone);
    calendar.setFirstWeekday(2);
    calendar.setMinimumDaysInFirstWeek(4);
    f.setCalendar(std::move(calendar));
  });
  return formatter->string(date.date());
}

}  // namespace almanac
