// The calendar's ICU side: the calendar systems' ICU names, and the per-thread pool of
// configured ICU calendars that every calendar computation starts from.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/time/calendar.h"
#include "platform/time/calendar_internal.h"
#include "platform/time/icu_support.h"

namespace platform {

namespace {

using Identifier = Calendar::Identifier;

struct IdentifierType {
  Identifier identifier;
  const char* icuType;
};

constexpr std::array<IdentifierType, Calendar::identifierCount> identifierTypes = {{
    {Identifier::gregorian, "gregorian"},
    {Identifier::buddhist, "buddhist"},
    {Identifier::chinese, "chinese"},
    {Identifier::coptic, "coptic"},
    {Identifier::ethiopicAmeteMihret, "ethiopic"},
    {Identifier::ethiopicAmeteAlem, "ethiopic-amete-alem"},
    {Identifier::hebrew, "hebrew"},
    {Identifier::iso8601, "iso8601"},
    {Identifier::indian, "indian"},
    {Identifier::islamic, "islamic"},
    {Identifier::islamicCivil, "islamic-civil"},
    {Identifier::japanese, "japanese"},
    {Identifier::persian, "persian"},
    {Identifier::republicOfChina, "roc"},
    {Identifier::islamicTabular, "islamic-tbla"},
    {Identifier::islamicUmmAlQura, "islamic-umalqura"},
}};

}  // namespace

namespace icu_support {

std::optional<Identifier> identifierForType(std::string_view type) {
  if (type == "ethioaa") return Identifier::ethiopicAmeteAlem;
  if (type == "gregory") return Identifier::gregorian;
  for (const auto& entry : identifierTypes) {
    if (type == entry.icuType) return entry.identifier;
  }
  return std::nullopt;
}

const char* calendarType(const Calendar& calendar) {
  for (const auto& entry : identifierTypes) {
    if (entry.identifier == calendar.identifier()) return entry.icuType;
  }
  return "gregorian";
}

icu::Locale localeWithCalendar(const Locale& locale, const Calendar& calendar) {
  icu::Locale result = makeLocale(locale);
  UErrorCode status = U_ZERO_ERROR;
  result.setKeywordValue("calendar", calendarType(calendar), status);
  return result;
}

namespace {

struct CalendarPool {
  std::unique_ptr<icu::Calendar> prototype;
  std::vector<std::unique_ptr<icu::Calendar>> free;
};

// Per thread and bounded: a program that walks many zones and locales builds afresh past it.
constexpr std::size_t maximumPools = 256;
constexpr std::size_t maximumFree = 8;

}  // namespace

void CalendarReturn::operator()(icu::Calendar* calendar) const noexcept {
  auto* home = static_cast<CalendarPool*>(pool);
  if (home && owner == std::this_thread::get_id() && home->free.size() < maximumFree) {
    home->free.emplace_back(calendar);
  } else {
    delete calendar;
  }
}

CalendarPtr makeCalendar(const Calendar& calendar, const TimeZone& zone) {
  thread_local std::unordered_map<std::string, std::unique_ptr<CalendarPool>> pools;
  auto weekday = CalendarAccess::firstWeekday(calendar);
  auto days = CalendarAccess::minimumDays(calendar);
  std::string key;
  key.reserve(64);
  key += calendarType(calendar);
  key += '|';
  key += zone.identifier();
  key += '|';
  if (calendar.locale()) key += calendar.locale()->identifier();
  key += '|';
  key += char('0' + weekday.value_or(0));
  key += char('0' + days.value_or(0));
  auto found = pools.find(key);
  if (found == pools.end()) {
    auto made = CalendarAccess::bare(calendar, zone);
    if (weekday) made->setFirstDayOfWeek(static_cast<UCalendarDaysOfWeek>(*weekday));
    if (days) made->setMinimalDaysInFirstWeek(static_cast<uint8_t>(*days));
    if (pools.size() >= maximumPools) return CalendarPtr(made.release(), CalendarReturn{});
    auto pool = std::make_unique<CalendarPool>();
    pool->prototype = std::move(made);
    found = pools.emplace(std::move(key), std::move(pool)).first;
  }
  CalendarPool& pool = *found->second;
  CalendarReturn back{&pool, std::this_thread::get_id()};
  if (!pool.free.empty()) {
    icu::Calendar* reused = pool.free.back().release();
    pool.free.pop_back();
    return CalendarPtr(reused, back);
  }
  return CalendarPtr(pool.prototype->clone(), back);
}

CalendarPtr makeCalendar(const Calendar& calendar) {
  return makeCalendar(calendar, calendar.timeZone());
}

}  // namespace icu_support

std::unique_ptr<icu::Calendar> CalendarAccess::bare(const Calendar& calendar,
                                                    const TimeZone& zone) {
  using namespace icu_support;
  // Without a locale, week rules are those of the POSIX locale: weeks start on Sunday.
  icu::Locale locale =
      calendar.locale() ? makeLocale(*calendar.locale()) : icu::Locale("en_US_POSIX");
  UErrorCode status = U_ZERO_ERROR;
  locale.setKeywordValue("calendar", calendarType(calendar), status);
  status = U_ZERO_ERROR;
  std::unique_ptr<icu::Calendar> cal(
      icu::Calendar::createInstance(makeZone(zone).release(), locale, status));
  if (U_FAILURE(status) || !cal) {
    status = U_ZERO_ERROR;
    cal.reset(icu::Calendar::createInstance(makeZone(zone).release(), icu::Locale("en_US_POSIX"),
                                            status));
  }
  cal->setLenient(true);
  // A time that exists twice is its first occurrence, as every other wall time this layer
  // resolves (see wall_clock.h); a skipped time moves on by the gap, ICU's default.
  cal->setRepeatedWallTimeOption(UCAL_WALLTIME_FIRST);
  return cal;
}

}  // namespace platform
