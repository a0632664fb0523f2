#pragma once

// Private glue between the time types and ICU. Only sources of platform/time include this; the
// public headers keep ICU out of everyone else's translation units.

#include <unicode/calendar.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <cmath>
#include <memory>
#include <string>
#include <string_view>

#include "platform/foundation/date.h"
#include "platform/time/calendar.h"

namespace platform {

namespace icu_support {

inline icu::UnicodeString toUnicode(std::string_view text) {
  return icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

inline std::string toUTF8(const icu::UnicodeString& text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

// ICU counts milliseconds since 1970.
inline UDate toUDate(Date date) {
  UDate ms = date.timeIntervalSince1970() * 1000.0;
  // Instants are kept as seconds since 2001, so a whole millisecond since 1970 comes back a hair
  // below itself (324239784697.99994), and ICU's millisecond field truncates. Snapping to the
  // microsecond, where that is exact, gives every whole millisecond back as itself.
  constexpr double exactMicroseconds = 9007199254740992.0;  // 2^53
  if (std::fabs(ms) * 1000.0 < exactMicroseconds) ms = std::round(ms * 1000.0) / 1000.0;
  return ms;
}
inline Date fromUDate(UDate udate) {
  return Date::fromTimeIntervalSince1970(udate / 1000.0);
}

// A fresh ICU zone for a time zone (an autoupdating zone resolves to the current one).
std::unique_ptr<icu::TimeZone> makeZone(const TimeZone& zone);

// The ICU locale of an identifier. Identifiers are taken as given, with '-' read as '_'.
icu::Locale makeLocale(std::string_view identifier);
icu::Locale makeLocale(const Locale& locale);

// The ICU calendar type keyword of a calendar identifier ("gregorian", "islamic-civil", ...).
const char* calendarType(const Calendar& calendar);

// The calendar system an ICU calendar type names ("islamic-civil" gives islamicCivil).
std::optional<Calendar::Identifier> identifierForType(std::string_view type);

// A fresh, lenient ICU calendar carrying the calendar's system, zone and week rules.
std::unique_ptr<icu::Calendar> makeCalendar(const Calendar& calendar);
// The same with another zone (formatters use their own zone over their calendar's).
std::unique_ptr<icu::Calendar> makeCalendar(const Calendar& calendar, const TimeZone& zone);

// `locale` with its calendar keyword set to the calendar's system, so that formatting symbols
// (era names, month names) belong to that calendar.
icu::Locale localeWithCalendar(const Locale& locale, const Calendar& calendar);

}  // namespace icu_support
}  // namespace platform
