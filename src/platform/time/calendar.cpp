#include "platform/time/calendar.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/time/date_components.h"
#include "platform/time/icu_support.h"
#include "platform/time/wall_clock.h"

namespace platform {

namespace {

using Component = Calendar::Component;
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

std::optional<UCalendarDateFields> icuField(Component component) {
  switch (component) {
    case Component::era:
      return UCAL_ERA;
    case Component::year:
      return UCAL_YEAR;
    case Component::month:
      return UCAL_MONTH;
    case Component::day:
      return UCAL_DATE;
    case Component::hour:
      return UCAL_HOUR_OF_DAY;
    case Component::minute:
      return UCAL_MINUTE;
    case Component::second:
      return UCAL_SECOND;
    case Component::weekday:
      return UCAL_DAY_OF_WEEK;
    case Component::weekdayOrdinal:
      return UCAL_DAY_OF_WEEK_IN_MONTH;
    case Component::weekOfMonth:
      return UCAL_WEEK_OF_MONTH;
    case Component::weekOfYear:
      return UCAL_WEEK_OF_YEAR;
    case Component::yearForWeekOfYear:
      return UCAL_YEAR_WOY;
    case Component::isLeapMonth:
      return UCAL_IS_LEAP_MONTH;
    case Component::quarter:
    case Component::nanosecond:
    case Component::calendar:
    case Component::timeZone:
      return std::nullopt;
  }
  return std::nullopt;
}

std::optional<int32_t> narrow(std::int64_t value) {
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<int32_t>(value);
}

// A date split into what ICU can hold (whole milliseconds) and the rest, so that calendar work
// on fields does not lose the sub-millisecond part.
struct SplitTime {
  UDate wholeMilliseconds;
  double fraction;  // milliseconds, 0 <= fraction < 1
};

SplitTime split(Date date) {
  UDate ms = icu_support::toUDate(date);
  UDate whole = std::floor(ms);
  return {whole, ms - whole};
}

std::int64_t nanosecondOf(Date date) {
  double seconds = date.timeIntervalSinceReferenceDate();
  double fraction = seconds - std::floor(seconds);
  auto ns = static_cast<std::int64_t>(std::llround(fraction * 1e9));
  return std::min<std::int64_t>(ns, 999'999'999);
}

int32_t get(icu::Calendar& cal, UCalendarDateFields field) {
  UErrorCode status = U_ZERO_ERROR;
  int32_t value = cal.get(field, status);
  return U_SUCCESS(status) ? value : 0;
}

// Quarters split the months of the year in four, so that calendars of thirteen months still
// have four quarters.
std::int64_t quarterOf(icu::Calendar& cal) {
  int32_t months = cal.getMaximum(UCAL_MONTH) + 1;
  int32_t index = get(cal, UCAL_MONTH);
  return std::min<std::int64_t>(4, std::int64_t(index) * 4 / std::max(months, 1) + 1);
}

std::int64_t valueOf(icu::Calendar& cal, Component component, Date date) {
  switch (component) {
    case Component::month:
      return get(cal, UCAL_MONTH) + 1;
    case Component::quarter:
      return quarterOf(cal);
    case Component::nanosecond:
      return nanosecondOf(date);
    case Component::calendar:
    case Component::timeZone:
      return 0;
    default:
      return get(cal, *icuField(component));
  }
}

bool setTime(icu::Calendar& cal, UDate ms) {
  UErrorCode status = U_ZERO_ERROR;
  cal.setTime(ms, status);
  return U_SUCCESS(status);
}

std::optional<UDate> timeOf(icu::Calendar& cal) {
  UErrorCode status = U_ZERO_ERROR;
  UDate ms = cal.getTime(status);
  if (U_FAILURE(status)) return std::nullopt;
  return ms;
}

void zeroTimeOfDay(icu::Calendar& cal) {
  cal.set(UCAL_HOUR_OF_DAY, 0);
  cal.set(UCAL_MINUTE, 0);
  cal.set(UCAL_SECOND, 0);
  cal.set(UCAL_MILLISECOND, 0);
}

// Days since the start of the week, by the calendar's first weekday: 0 to 6.
int32_t daysIntoWeek(icu::Calendar& cal) {
  return (get(cal, UCAL_DAY_OF_WEEK) - cal.getFirstDayOfWeek() + 7) % 7;
}

// Midnight at the start of the first week of the week-based year the calendar is in. The
// week-year is set again: ICU prefers the calendar year over a week-year of equal age.
void moveToStartOfWeekYear(icu::Calendar& cal) {
  cal.set(UCAL_YEAR_WOY, get(cal, UCAL_YEAR_WOY));
  cal.set(UCAL_WEEK_OF_YEAR, 1);
  cal.set(UCAL_DAY_OF_WEEK, cal.getFirstDayOfWeek());
  zeroTimeOfDay(cal);
}

// Size of a unit, for deciding which of two units holds the other.
int rank(Component component) {
  switch (component) {
    case Component::nanosecond:
      return 0;
    case Component::second:
      return 1;
    case Component::minute:
      return 2;
    case Component::hour:
      return 3;
    case Component::day:
    case Component::weekday:
    case Component::weekdayOrdinal:
      return 4;
    case Component::weekOfMonth:
    case Component::weekOfYear:
      return 5;
    case Component::month:
      return 6;
    case Component::quarter:
      return 7;
    case Component::year:
    case Component::yearForWeekOfYear:
      return 8;
    case Component::era:
      return 9;
    default:
      return -1;
  }
}

std::int64_t floorDivide(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// The Julian day number of the first day of the era that holds the calendar's time.
int32_t eraStartJulianDay(const Calendar& calendar, icu::Calendar& at) {
  int32_t era = get(at, UCAL_ERA);
  auto probe = icu_support::makeCalendar(calendar);
  probe->clear();
  probe->set(UCAL_ERA, era);
  probe->set(UCAL_YEAR, 1);
  probe->set(UCAL_MONTH, 0);
  probe->set(UCAL_DATE, 1);
  int32_t low = get(*probe, UCAL_JULIAN_DAY);
  if (get(*probe, UCAL_ERA) == era) return low;
  // An era that begins within a year (as Japanese eras do) does not hold the first day of its
  // year 1; eras only ever follow each other, so the first day it holds lies between that day
  // and the date.
  int32_t high = get(at, UCAL_JULIAN_DAY);
  auto eraOf = [&](int32_t day) {
    probe->clear();
    probe->set(UCAL_JULIAN_DAY, day);
    return get(*probe, UCAL_ERA);
  };
  while (high - low > 1) {
    int32_t middle = low + (high - low) / 2;
    if (eraOf(middle) == era) {
      high = middle;
    } else {
      low = middle;
    }
  }
  return high;
}

std::optional<std::int64_t> ordinalityInEra(const Calendar& calendar, icu::Calendar& at,
                                            Component smaller, Date date) {
  int32_t start = eraStartJulianDay(calendar, at);
  std::int64_t days = std::int64_t(get(at, UCAL_JULIAN_DAY)) - start;
  auto probe = icu_support::makeCalendar(calendar);
  probe->clear();
  probe->set(UCAL_JULIAN_DAY, start);
  // Resolve every field from that day now, so that fields set later build on it.
  get(*probe, UCAL_ERA);
  switch (smaller) {
    case Component::day:
    case Component::weekday:
      return days + 1;
    case Component::weekdayOrdinal:
      return floorDivide(days, 7) + 1;
    case Component::weekOfYear:
    case Component::weekOfMonth: {
      // Weeks are counted from the one that holds the era's first day.
      std::int64_t offset = daysIntoWeek(*probe);
      return floorDivide(days + offset, 7) + 1;
    }
    case Component::month: {
      // From the first day of the month that holds the era's first day, so that every month
      // boundary counts.
      probe->set(UCAL_DATE, 1);
      zeroTimeOfDay(*probe);
      auto from = timeOf(*probe);
      if (!from || !setTime(*probe, *from)) return std::nullopt;
      UErrorCode status = U_ZERO_ERROR;
      int32_t months = probe->fieldDifference(icu_support::toUDate(date), UCAL_MONTH, status);
      if (U_FAILURE(status)) return std::nullopt;
      return std::int64_t(months) + 1;
    }
    default:
      return std::nullopt;
  }
}

// The values a component takes in any date (or in some date), from `low` and `high`: the
// limits ICU gives for the field.
std::optional<Calendar::Range> fieldRange(const Calendar& calendar, Component component,
                                          int32_t (icu::Calendar::*low)(UCalendarDateFields) const,
                                          int32_t (icu::Calendar::*high)(UCalendarDateFields)
                                              const) {
  switch (component) {
    case Component::quarter:
      return Calendar::Range{1, 5};
    case Component::nanosecond:
      return Calendar::Range{0, 1'000'000'000};
    case Component::calendar:
    case Component::timeZone:
      return std::nullopt;
    default:
      break;
  }
  auto field = *icuField(component);
  auto cal = icu_support::makeCalendar(calendar);
  std::int64_t shift = component == Component::month ? 1 : 0;
  return Calendar::Range{((*cal).*low)(field) + shift, ((*cal).*high)(field) + 1 + shift};
}

// Rolls each unit within its larger unit, as ICU rolls fields.
std::optional<Date> rolled(const Calendar& calendar, const DateComponents& components, Date date) {
  constexpr bool wrapping = true;
  auto cal = icu_support::makeCalendar(calendar);
  SplitTime start = split(date);
  if (!setTime(*cal, start.wholeMilliseconds)) return std::nullopt;

  bool ok = true;
  auto apply = [&](UCalendarDateFields field, const std::optional<std::int64_t>& value,
                   std::int64_t factor = 1) {
    if (!ok || !value || *value == 0 || *value == DateComponents::undefined) return;
    std::int64_t amount = 0;
    if (__builtin_mul_overflow(*value, factor, &amount)) {
      ok = false;
      return;
    }
    auto narrowed = narrow(amount);
    if (!narrowed) {
      ok = false;
      return;
    }
    UErrorCode status = U_ZERO_ERROR;
    if (wrapping) {
      cal->roll(field, *narrowed, status);
    } else {
      cal->add(field, *narrowed, status);
    }
    if (U_FAILURE(status)) ok = false;
  };

  // Largest first, so that adding a month and a day to 31 January lands in March only when it
  // should.
  apply(UCAL_ERA, components.era);
  apply(UCAL_YEAR, components.year);
  apply(UCAL_YEAR_WOY, components.yearForWeekOfYear);
  apply(UCAL_MONTH, components.quarter, 3);
  apply(UCAL_MONTH, components.month);
  apply(UCAL_WEEK_OF_YEAR, components.weekOfYear);
  apply(UCAL_WEEK_OF_MONTH, components.weekOfMonth);
  apply(UCAL_DAY_OF_WEEK_IN_MONTH, components.weekdayOrdinal);
  apply(UCAL_DAY_OF_WEEK, components.weekday);
  apply(UCAL_DATE, components.day);
  apply(UCAL_HOUR_OF_DAY, components.hour);
  apply(UCAL_MINUTE, components.minute);
  apply(UCAL_SECOND, components.second);
  if (!ok) return std::nullopt;

  auto ms = timeOf(*cal);
  if (!ms) return std::nullopt;
  Date result = icu_support::fromUDate(*ms + start.fraction);
  if (components.nanosecond && *components.nanosecond != DateComponents::undefined &&
      *components.nanosecond != 0) {
    std::int64_t ns = *components.nanosecond;
    if (wrapping) {
      std::int64_t current = nanosecondOf(result);
      std::int64_t rolled =
          ((current + ns % 1'000'000'000) % 1'000'000'000 + 1'000'000'000) % 1'000'000'000;
      result += static_cast<double>(rolled - current) / 1e9;
    } else {
      result += static_cast<double>(ns) / 1e9;
    }
  }
  return result;
}

}  // namespace

// The week rules set on a calendar, or the ones its system imposes; otherwise the locale decides.
struct CalendarAccess {
  static std::optional<int> firstWeekday(const Calendar& calendar) {
    if (calendar.firstWeekday_) return calendar.firstWeekday_;
    if (calendar.identifier_ == Identifier::iso8601) return 2;
    return std::nullopt;
  }
  static std::optional<int> minimumDays(const Calendar& calendar) {
    if (calendar.minimumDaysInFirstWeek_) return calendar.minimumDaysInFirstWeek_;
    if (calendar.identifier_ == Identifier::iso8601) return 4;
    return std::nullopt;
  }
  static std::unique_ptr<icu::Calendar> bare(const Calendar& calendar, const TimeZone& zone);
};

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

Calendar::Calendar(Identifier identifier)
    : identifier_(identifier), timeZone_(TimeZone::current()) {}

Calendar Calendar::current() {
  Locale locale = Locale::current();
  Calendar calendar(
      icu_support::identifierForType(locale.calendarKeyword()).value_or(Identifier::gregorian));
  calendar.setLocale(std::move(locale));
  return calendar;
}

Calendar Calendar::autoupdatingCurrent() {
  Calendar calendar = current();
  calendar.setTimeZone(TimeZone::autoupdatingCurrent());
  calendar.setLocale(Locale::autoupdatingCurrent());
  return calendar;
}

int Calendar::firstWeekday() const {
  if (auto weekday = CalendarAccess::firstWeekday(*this)) return *weekday;
  return CalendarAccess::bare(*this, TimeZone::gmt())->getFirstDayOfWeek();
}

void Calendar::setFirstWeekday(int weekday) {
  firstWeekday_ = std::clamp(weekday, 1, 7);
}

int Calendar::minimumDaysInFirstWeek() const {
  if (auto days = CalendarAccess::minimumDays(*this)) return *days;
  return CalendarAccess::bare(*this, TimeZone::gmt())->getMinimalDaysInFirstWeek();
}

void Calendar::setMinimumDaysInFirstWeek(int days) {
  minimumDaysInFirstWeek_ = std::clamp(days, 1, 7);
}

std::int64_t Calendar::component(Component component, Date date) const {
  auto cal = icu_support::makeCalendar(*this);
  setTime(*cal, icu_support::toUDate(date));
  return valueOf(*cal, component, date);
}

DateComponents Calendar::dateComponents(const ComponentSet& components, Date date) const {
  return dateComponents(components, date, timeZone_);
}

DateComponents Calendar::dateComponents(const ComponentSet& components, Date date,
                                        const TimeZone& zone) const {
  Calendar inZone = *this;
  inZone.setTimeZone(zone);
  auto cal = icu_support::makeCalendar(inZone);
  setTime(*cal, icu_support::toUDate(date));
  DateComponents result;
  for (Component component : components) {
    switch (component) {
      case Component::calendar:
        result.calendar = inZone;
        break;
      case Component::timeZone:
        result.timeZone = zone;
        break;
      case Component::isLeapMonth:
        result.isLeapMonth = get(*cal, UCAL_IS_LEAP_MONTH) != 0;
        break;
      default:
        result.setValue(valueOf(*cal, component, date), component);
        break;
    }
  }
  return result;
}

std::optional<Date> Calendar::date(const DateComponents& components) const {
  Calendar inZone = *this;
  if (components.timeZone) inZone.setTimeZone(*components.timeZone);
  auto cal = icu_support::makeCalendar(inZone);
  cal->clear();
  // The platform's defaults: the first day of year 1 at midnight.
  cal->set(UCAL_YEAR, 1);
  cal->set(UCAL_MONTH, 0);
  cal->set(UCAL_IS_LEAP_MONTH, 0);
  cal->set(UCAL_DATE, 1);
  zeroTimeOfDay(*cal);

  bool ok = true;
  auto setField = [&](UCalendarDateFields field, const std::optional<std::int64_t>& value,
                      int32_t offset = 0) {
    if (!ok || !value || *value == DateComponents::undefined) return;
    auto narrowed = narrow(*value);
    if (!narrowed || (offset < 0 && *narrowed == std::numeric_limits<int32_t>::min())) {
      ok = false;
      return;
    }
    cal->set(field, *narrowed + offset);
  };

  // Week fields first, so that year, month and day given beside them (as a full breakdown of a
  // date carries them) are the newer fields and decide the day.
  setField(UCAL_DAY_OF_WEEK, components.weekday);
  setField(UCAL_DAY_OF_WEEK_IN_MONTH, components.weekdayOrdinal);
  setField(UCAL_WEEK_OF_MONTH, components.weekOfMonth);
  setField(UCAL_WEEK_OF_YEAR, components.weekOfYear);
  setField(UCAL_YEAR_WOY, components.yearForWeekOfYear);
  setField(UCAL_ERA, components.era);
  setField(UCAL_YEAR, components.year);
  setField(UCAL_MONTH, components.month, -1);
  if (components.isLeapMonth) cal->set(UCAL_IS_LEAP_MONTH, *components.isLeapMonth ? 1 : 0);
  setField(UCAL_DATE, components.day);
  setField(UCAL_HOUR_OF_DAY, components.hour);
  setField(UCAL_MINUTE, components.minute);
  setField(UCAL_SECOND, components.second);
  if (!ok) return std::nullopt;

  auto ms = timeOf(*cal);
  if (!ms || !wall_clock::inRange(*ms)) return std::nullopt;
  // Near the end of its range ICU wraps a year silently: a year must land near itself.
  if (components.year && *components.year != DateComponents::undefined &&
      std::abs(*components.year) > 1'000'000) {
    double years = std::abs(*ms / 31556952000.0 + 1970);
    if (std::abs(years - std::abs(double(*components.year))) > 10000) return std::nullopt;
  }
  Date result = icu_support::fromUDate(*ms);
  if (components.nanosecond && *components.nanosecond != DateComponents::undefined) {
    result += static_cast<double>(*components.nanosecond) / 1e9;
  }
  return result;
}

std::optional<Date> Calendar::dateByAdding(const DateComponents& components, Date date,
                                           bool wrapping) const {
  if (wrapping) return rolled(*this, components, date);
  auto shared = icu_support::sharedZone(timeZone_);
  const icu::TimeZone& zone = *shared;
  SplitTime start = split(date);
  if (!wall_clock::inRange(start.wholeMilliseconds)) return std::nullopt;
  std::int32_t offset = wall_clock::offsetAt(zone, start.wholeMilliseconds);
  UDate wall = start.wholeMilliseconds + offset;

  // Calendar units move the wall-clock date on a calendar that has no clock changes; the time
  // reached is resolved in the zone afterwards.
  struct Step {
    UCalendarDateFields field;
    std::optional<std::int64_t> value;
    std::int64_t factor;
    double approximateDays;  // for refusing results beyond ICU's range before ICU clamps them
  };
  const std::array<Step, 10> steps = {{
      {UCAL_ERA, components.era, 1, 0},
      {UCAL_YEAR, components.year, 1, 365.2425},
      {UCAL_YEAR_WOY, components.yearForWeekOfYear, 1, 365.2425},
      {UCAL_MONTH, components.quarter, 3, 30.436875},
      {UCAL_MONTH, components.month, 1, 30.436875},
      {UCAL_WEEK_OF_YEAR, components.weekOfYear, 1, 7},
      {UCAL_WEEK_OF_MONTH, components.weekOfMonth, 1, 7},
      {UCAL_DAY_OF_WEEK_IN_MONTH, components.weekdayOrdinal, 1, 7},
      {UCAL_DAY_OF_WEEK, components.weekday, 1, 1},
      {UCAL_DATE, components.day, 1, 1},
  }};
  auto present = [](const std::optional<std::int64_t>& value) {
    return value && *value != 0 && *value != DateComponents::undefined;
  };
  double expectedDays = 0;
  double toleranceDays = 3;
  bool movesDate = false;
  for (const Step& step : steps) {
    if (!present(step.value)) continue;
    movesDate = true;
    std::int64_t amount = 0;
    if (__builtin_mul_overflow(*step.value, step.factor, &amount)) return std::nullopt;
    if (step.field == UCAL_ERA && !narrow(amount)) return std::nullopt;
    expectedDays += static_cast<double>(amount) * step.approximateDays;
    // Lunar and lunisolar years and months vary by up to a tenth around their mean.
    toleranceDays += std::abs(static_cast<double>(amount)) * step.approximateDays * 0.15;
  }
  UDate instant = start.wholeMilliseconds;
  if (movesDate) {
    if (!wall_clock::inRange(wall + expectedDays * 86400000.0)) return std::nullopt;
    // Days and weeks are the same length on every calendar's wall clock; only eras, years and
    // months need the calendar.
    std::optional<UDate> reached = wall;
    double days = 0;
    icu_support::CalendarPtr cal;
    for (const Step& step : steps) {
      if (!present(step.value)) continue;
      std::int64_t amount = *step.value * step.factor;
      if (step.approximateDays == 1 || step.approximateDays == 7) {
        days += static_cast<double>(amount) * step.approximateDays;
        continue;
      }
      if (!cal) {
        cal = icu_support::makeCalendar(*this, TimeZone::gmt());
        if (!setTime(*cal, wall)) return std::nullopt;
      }
      // ICU adds 32-bit amounts; larger counts go in pieces.
      while (amount != 0) {
        std::int64_t piece = std::clamp<std::int64_t>(amount, -(1 << 30), 1 << 30);
        UErrorCode status = U_ZERO_ERROR;
        cal->add(step.field, static_cast<int32_t>(piece), status);
        if (U_FAILURE(status)) return std::nullopt;
        amount -= piece;
      }
    }
    if (cal) reached = timeOf(*cal);
    if (reached) *reached += days * 86400000.0;
    if (!reached || !wall_clock::inRange(*reached)) return std::nullopt;
    // A clamped or wrapped answer lies far from where the counts lead.
    // (Eras have no length to expect.)
    if (!present(components.era) &&
        std::abs((*reached - wall) / 86400000.0 - expectedDays) > toleranceDays) {
      return std::nullopt;
    }
    auto travel = *reached < wall ? wall_clock::Travel::backward : wall_clock::Travel::forward;
    instant = wall_clock::resolve(zone, *reached, offset, travel);
  }

  // Hours, minutes and seconds are elapsed time.
  std::int64_t elapsed = 0;
  const std::array<std::pair<std::optional<std::int64_t>, std::int64_t>, 3> times = {{
      {components.hour, 3600},
      {components.minute, 60},
      {components.second, 1},
  }};
  for (const auto& [value, length] : times) {
    if (!present(value)) continue;
    std::int64_t seconds = 0;
    if (__builtin_mul_overflow(*value, length, &seconds) ||
        __builtin_add_overflow(elapsed, seconds, &elapsed)) {
      return std::nullopt;
    }
  }
  double milliseconds = instant + static_cast<double>(elapsed) * 1000.0 + start.fraction;
  if (present(components.nanosecond)) {
    milliseconds += static_cast<double>(*components.nanosecond) / 1e6;
  }
  if (!wall_clock::inRange(milliseconds)) return std::nullopt;
  return icu_support::fromUDate(milliseconds);
}

std::optional<Date> Calendar::dateByAdding(Component component, std::int64_t value, Date date,
                                           bool wrapping) const {
  DateComponents components;
  switch (component) {
    case Component::calendar:
    case Component::timeZone:
    case Component::isLeapMonth:
      return std::nullopt;
    default:
      components.setValue(value, component);
      break;
  }
  return dateByAdding(components, date, wrapping);
}

DateComponents Calendar::dateComponents(const ComponentSet& components, Date start,
                                        Date end) const {
  DateComponents result;
  auto cal = icu_support::makeCalendar(*this);
  SplitTime from = split(start);
  setTime(*cal, from.wholeMilliseconds);
  // Both ends move by the same fraction, so whole units are counted between whole milliseconds.
  UDate target = icu_support::toUDate(end) - from.fraction;

  auto difference = [&](Component component, UCalendarDateFields field) {
    if (!components.contains(component)) return;
    UErrorCode status = U_ZERO_ERROR;
    int32_t count = cal->fieldDifference(target, field, status);
    if (U_SUCCESS(status)) result.setValue(count, component);
  };

  if (components.contains(Component::era)) {
    // ICU cannot step a calendar by eras within one era (the era stays pinned and its search
    // never ends), so a span inside one era is answered here: no era elapsed.
    auto other = icu_support::makeCalendar(*this);
    if (setTime(*other, target) && get(*other, UCAL_ERA) == get(*cal, UCAL_ERA)) {
      result.era = 0;
    } else {
      difference(Component::era, UCAL_ERA);
    }
  }
  difference(Component::year, UCAL_YEAR);
  difference(Component::yearForWeekOfYear, UCAL_YEAR_WOY);
  if (components.contains(Component::quarter)) {
    UErrorCode status = U_ZERO_ERROR;
    UDate before = cal->getTime(status);
    int32_t months = cal->fieldDifference(target, UCAL_MONTH, status);
    // Quarters count months without using them up: the months stay for the month component.
    setTime(*cal, before);
    if (U_SUCCESS(status)) result.quarter = months / 3;
  }
  difference(Component::month, UCAL_MONTH);
  difference(Component::weekOfYear, UCAL_WEEK_OF_YEAR);
  difference(Component::weekOfMonth, UCAL_WEEK_OF_MONTH);
  // Weekdays and weekday ordinals are counts beside the days, not units that use them up.
  auto uncounted = [&](Component component, UCalendarDateFields field) {
    UErrorCode status = U_ZERO_ERROR;
    UDate before = cal->getTime(status);
    difference(component, field);
    setTime(*cal, before);
  };
  uncounted(Component::weekdayOrdinal, UCAL_DAY_OF_WEEK_IN_MONTH);
  uncounted(Component::weekday, UCAL_DAY_OF_WEEK);
  difference(Component::day, UCAL_DATE);

  // Below a day, units are elapsed time: counted here in 64 bits, as ICU's 32-bit differences
  // cannot hold the seconds of long spans.
  UErrorCode status = U_ZERO_ERROR;
  UDate reached = cal->getTime(status);
  if (U_FAILURE(status)) return result;
  double remaining = std::trunc(target - reached);  // whole milliseconds
  double fraction = (target - reached) - remaining;
  for (auto [component, length] :
       {std::pair{Component::hour, 3600000.0}, std::pair{Component::minute, 60000.0},
        std::pair{Component::second, 1000.0}}) {
    if (!components.contains(component)) continue;
    double count = std::trunc(remaining / length);
    if (std::abs(count) > 9.2e18) continue;
    result.setValue(static_cast<std::int64_t>(count), component);
    remaining -= count * length;
  }
  if (components.contains(Component::nanosecond)) {
    double nanoseconds = std::round((remaining + fraction) * 1e6);
    // Beyond 64 bits (spans of some 292 years) there is no count rather than a wrapped one.
    if (std::abs(nanoseconds) < 9.2e18) result.nanosecond = static_cast<std::int64_t>(nanoseconds);
  }
  if (components.contains(Component::calendar)) result.calendar = *this;
  if (components.contains(Component::timeZone)) result.timeZone = timeZone_;
  return result;
}

std::optional<Calendar::Range> Calendar::minimumRange(Component component) const {
  return fieldRange(*this, component, &icu::Calendar::getGreatestMinimum,
                    &icu::Calendar::getLeastMaximum);
}

std::optional<Calendar::Range> Calendar::maximumRange(Component component) const {
  return fieldRange(*this, component, &icu::Calendar::getMinimum, &icu::Calendar::getMaximum);
}

std::optional<Calendar::Range> Calendar::range(Component smaller, Component larger,
                                               Date date) const {
  if (rank(smaller) < 0 || rank(larger) < 0 || rank(smaller) >= rank(larger)) {
    // A week holds the days of the week, which share its rank only by position.
    bool dayInWeek = (smaller == Component::weekday || smaller == Component::day) &&
                     (larger == Component::weekOfMonth || larger == Component::weekOfYear);
    if (!dayInWeek) return std::nullopt;
  }
  auto cal = icu_support::makeCalendar(*this);
  if (!setTime(*cal, icu_support::toUDate(date))) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  auto actualMax = [&](UCalendarDateFields field) { return cal->getActualMaximum(field, status); };
  auto actualMin = [&](UCalendarDateFields field) { return cal->getActualMinimum(field, status); };

  switch (smaller) {
    case Component::nanosecond:
      return Range{0, 1'000'000'000};
    case Component::second:
    case Component::minute:
      return Range{0, 60};
    case Component::hour:
      return Range{0, 24};
    case Component::weekday:
      return Range{1, 8};
    case Component::quarter:
      return Range{1, 5};
    case Component::weekdayOrdinal:
      if (larger != Component::month) return std::nullopt;
      return Range{1, actualMax(UCAL_DAY_OF_WEEK_IN_MONTH) + 1};
    case Component::weekOfMonth:
      if (larger != Component::month) return std::nullopt;
      return Range{actualMin(UCAL_WEEK_OF_MONTH), actualMax(UCAL_WEEK_OF_MONTH) + 1};
    case Component::weekOfYear: {
      if (larger == Component::year || larger == Component::yearForWeekOfYear) {
        return Range{actualMin(UCAL_WEEK_OF_YEAR), actualMax(UCAL_WEEK_OF_YEAR) + 1};
      }
      if (larger != Component::month) return std::nullopt;
      int32_t lastDay = actualMax(UCAL_DATE);
      cal->set(UCAL_DATE, 1);
      int32_t first = get(*cal, UCAL_WEEK_OF_YEAR);
      int32_t offset = daysIntoWeek(*cal);
      // Counted from the first week, so that a December running into next year's week 1 still
      // gives one range.
      int32_t weeks = (offset + lastDay - 1) / 7 + 1;
      return Range{first, first + weeks};
    }
    case Component::day: {
      if (larger == Component::month) return Range{1, actualMax(UCAL_DATE) + 1};
      if (larger == Component::weekOfMonth || larger == Component::weekOfYear) {
        int32_t day = get(*cal, UCAL_DATE);
        int32_t offset = daysIntoWeek(*cal);
        int32_t monthEnd = actualMax(UCAL_DATE);
        int32_t first = std::max(1, day - offset);
        int32_t last = std::min(monthEnd, day - offset + 6);
        return Range{first, last + 1};
      }
      // Within a quarter or a year: the days of its longest month.
      int32_t months = larger == Component::quarter ? 3 : actualMax(UCAL_MONTH) + 1;
      if (larger == Component::quarter) {
        int32_t index = get(*cal, UCAL_MONTH);
        cal->set(UCAL_MONTH, index - index % 3);
      } else {
        cal->set(UCAL_MONTH, 0);
      }
      cal->set(UCAL_DATE, 1);
      int32_t longest = 0;
      for (int32_t i = 0; i < months; ++i) {
        longest = std::max(longest, actualMax(UCAL_DATE));
        cal->add(UCAL_MONTH, 1, status);
      }
      return Range{1, longest + 1};
    }
    case Component::month:
      if (larger == Component::quarter) {
        std::int64_t q = quarterOf(*cal);
        return Range{q * 3 - 2, q * 3 + 1};
      }
      if (larger == Component::year) return Range{1, actualMax(UCAL_MONTH) + 2};
      return Range{1, cal->getMaximum(UCAL_MONTH) + 2};
    case Component::year:
      if (larger != Component::era) return std::nullopt;
      return Range{actualMin(UCAL_YEAR), actualMax(UCAL_YEAR) + 1};
    default:
      return std::nullopt;
  }
}

std::optional<std::int64_t> Calendar::ordinality(Component smaller, Component larger,
                                                 Date date) const {
  auto cal = icu_support::makeCalendar(*this);
  if (!setTime(*cal, icu_support::toUDate(date))) return std::nullopt;
  auto isWeek = [](Component c) {
    return c == Component::weekOfMonth || c == Component::weekOfYear;
  };
  auto isDay = [](Component c) { return c == Component::day || c == Component::weekday; };

  if (isDay(smaller) && isWeek(larger)) {
    return daysIntoWeek(*cal) + 1;
  }
  if (isDay(smaller) && larger == Component::month) return get(*cal, UCAL_DATE);
  if (isDay(smaller) && larger == Component::year) return get(*cal, UCAL_DAY_OF_YEAR);
  if (isWeek(smaller) && larger == Component::month) return get(*cal, UCAL_WEEK_OF_MONTH);
  if (isWeek(smaller) && (larger == Component::year || larger == Component::yearForWeekOfYear)) {
    return get(*cal, UCAL_WEEK_OF_YEAR);
  }
  if (smaller == Component::weekdayOrdinal && larger == Component::month) {
    return get(*cal, UCAL_DAY_OF_WEEK_IN_MONTH);
  }
  if (smaller == Component::quarter && larger == Component::year) return quarterOf(*cal);
  if (smaller == Component::year && larger == Component::era) return get(*cal, UCAL_YEAR);
  if (larger == Component::era) return ordinalityInEra(*this, *cal, smaller, date);
  if (smaller == Component::nanosecond && larger == Component::second) {
    return nanosecondOf(date) + 1;
  }
  if (rank(smaller) < 0 || rank(larger) < 0 || rank(smaller) >= rank(larger)) return std::nullopt;
  if (larger == Component::era) return std::nullopt;

  // Otherwise: whole units of the smaller kind since the start of the larger unit, plus one.
  auto interval = dateInterval(larger, date);
  if (!interval) return std::nullopt;
  Component counted = isDay(smaller) ? Component::day : smaller;
  if (counted == Component::weekdayOrdinal || isWeek(counted) || counted == Component::quarter ||
      counted == Component::nanosecond) {
    return std::nullopt;
  }
  auto difference = dateComponents({counted}, interval->start, date).value(counted);
  if (!difference) return std::nullopt;
  return *difference + 1;
}

std::optional<DateInterval> Calendar::dateInterval(Component component, Date date) const {
  auto shared = icu_support::sharedZone(timeZone_);
  const icu::TimeZone& zone = *shared;
  UDate instant = std::floor(icu_support::toUDate(date));
  if (!wall_clock::inRange(instant)) return std::nullopt;
  std::int32_t offset = wall_clock::offsetAt(zone, instant);
  UDate wall = instant + offset;

  // Units shorter than a day start within the instant's own offset, so that in an hour that
  // repeats each occurrence holds its own seconds, minutes and hour.
  auto within = [&](double length) -> std::optional<DateInterval> {
    double into = std::fmod(wall, length * 1000.0);
    if (into < 0) into += length * 1000.0;
    return DateInterval{icu_support::fromUDate(instant - into), length};
  };
  switch (component) {
    case Component::second:
      return within(1);
    case Component::minute:
      return within(60);
    case Component::hour:
      return within(3600);
    case Component::day:
    case Component::weekday:
    case Component::weekdayOrdinal: {
      // Every calendar's day runs from midnight to midnight on the wall clock.
      UDate midnight = wall - std::fmod(wall, 86400000.0);
      if (midnight > wall) midnight -= 86400000.0;
      UDate start = wall_clock::resolve(zone, midnight, std::nullopt);
      UDate end = wall_clock::resolve(zone, midnight + 86400000.0, std::nullopt);
      return DateInterval{icu_support::fromUDate(start), (end - start) / 1000.0};
    }
    default:
      break;
  }

  // Longer units are found on the wall clock, on a calendar without clock changes, and each
  // ends where the next one starts, wherever the zone puts that start.
  auto cal = icu_support::makeCalendar(*this, TimeZone::gmt());
  if (!setTime(*cal, wall)) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  auto interval = [&](UDate startWall, UDate endWall) -> std::optional<DateInterval> {
    UDate start = wall_clock::resolve(zone, startWall, std::nullopt);
    UDate end = wall_clock::resolve(zone, endWall, std::nullopt);
    return DateInterval{icu_support::fromUDate(start), (end - start) / 1000.0};
  };
  auto startOfWeek = [&] {
    int32_t offsetInWeek = daysIntoWeek(*cal);
    cal->add(UCAL_DATE, -offsetInWeek, status);
    zeroTimeOfDay(*cal);
  };
  UCalendarDateFields step = UCAL_DATE;
  int32_t stepAmount = 1;
  switch (component) {
    case Component::day:
    case Component::weekday:
    case Component::weekdayOrdinal:
      zeroTimeOfDay(*cal);
      step = UCAL_DATE;
      break;
    case Component::weekOfMonth:
    case Component::weekOfYear:
      startOfWeek();
      step = UCAL_DATE;
      stepAmount = 7;
      break;
    case Component::month:
      cal->set(UCAL_DATE, 1);
      zeroTimeOfDay(*cal);
      step = UCAL_MONTH;
      break;
    case Component::quarter: {
      int32_t months = cal->getMaximum(UCAL_MONTH) + 1;
      std::int64_t q = quarterOf(*cal);
      auto firstIndex = static_cast<int32_t>(((q - 1) * months + 3) / 4);
      cal->set(UCAL_MONTH, firstIndex);
      cal->set(UCAL_DATE, 1);
      zeroTimeOfDay(*cal);
      auto start = timeOf(*cal);
      if (!start) return std::nullopt;
      // The next quarter starts where the quarter number changes (or the next year starts).
      auto next = icu_support::makeCalendar(*this, TimeZone::gmt());
      setTime(*next, *start);
      do {
        next->add(UCAL_MONTH, 1, status);
      } while (U_SUCCESS(status) && quarterOf(*next) == q && get(*next, UCAL_MONTH) != 0);
      auto end = timeOf(*next);
      if (!end) return std::nullopt;
      return interval(*start, *end);
    }
    case Component::year: {
      int32_t era = get(*cal, UCAL_ERA);
      cal->set(UCAL_DAY_OF_YEAR, 1);
      zeroTimeOfDay(*cal);
      auto start = timeOf(*cal);
      if (!start) return std::nullopt;
      setTime(*cal, *start);
      cal->add(UCAL_YEAR, 1, status);
      auto end = timeOf(*cal);
      if (U_FAILURE(status) || !end) return std::nullopt;
      // An era that begins within a calendar year (as Japanese eras do) begins a year of its
      // own: year 1 of the new era starts on the era's first day, and the year before it ends
      // there.
      auto probe = icu_support::makeCalendar(*this, TimeZone::gmt());
      auto eraAt = [&](UDate at) {
        setTime(*probe, at);
        return get(*probe, UCAL_ERA);
      };
      auto eraBoundary = [&](UDate low, UDate high) {
        // The first day of `high`'s era, knowing `low` lies in an earlier one.
        int32_t target = eraAt(high);
        while (high - low > 86400000.0) {
          UDate middle = low + std::floor((high - low) / 2 / 86400000.0) * 86400000.0;
          if (eraAt(middle) == target) {
            high = middle;
          } else {
            low = middle;
          }
        }
        return high;
      };
      if (eraAt(*start) != era) start = eraBoundary(*start, wall - std::fmod(wall, 86400000.0));
      if (eraAt(*end - 86400000.0) != era) end = eraBoundary(*start, *end - 86400000.0);
      return interval(*start, *end);
    }
    case Component::yearForWeekOfYear:
      moveToStartOfWeekYear(*cal);
      step = UCAL_YEAR_WOY;
      break;
    default:
      return std::nullopt;
  }
  auto start = timeOf(*cal);
  if (!start) return std::nullopt;
  // Recompute from the start, so that the fields resolved above do not linger in the addition.
  setTime(*cal, *start);
  cal->add(step, stepAmount, status);
  if (component == Component::yearForWeekOfYear) moveToStartOfWeekYear(*cal);
  auto end = timeOf(*cal);
  if (U_FAILURE(status) || !end) return std::nullopt;
  return interval(*start, *end);
}

Date Calendar::startOfDay(Date date) const {
  auto shared = icu_support::sharedZone(timeZone_);
  UDate instant = std::floor(icu_support::toUDate(date));
  if (!wall_clock::inRange(instant)) return date;
  UDate wall = instant + wall_clock::offsetAt(*shared, instant);
  UDate midnight = wall - std::fmod(wall, 86400000.0);
  if (midnight > wall) midnight -= 86400000.0;
  return icu_support::fromUDate(wall_clock::resolve(*shared, midnight, std::nullopt));
}

bool Calendar::isDateInToday(Date date) const {
  return isDateInSameDay(date, Date::now());
}

// A day lasts far longer than a second, so one second before today's start lies in yesterday
// and one second after its end in tomorrow, however long either day is.
bool Calendar::isDateInYesterday(Date date) const {
  auto today = dateInterval(Component::day, Date::now());
  return today && isDateInSameDay(date, today->start - 1);
}

bool Calendar::isDateInTomorrow(Date date) const {
  auto today = dateInterval(Component::day, Date::now());
  return today && isDateInSameDay(date, today->end() + 1);
}

bool Calendar::isDateInWeekend(Date date) const {
  auto cal = icu_support::makeCalendar(*this);
  UErrorCode status = U_ZERO_ERROR;
  UBool weekend = cal->isWeekend(icu_support::toUDate(date), status);
  return U_SUCCESS(status) && weekend;
}

ComparisonResult Calendar::compare(Date a, Date b, Component granularity) const {
  auto order = [](auto x, auto y) {
    if (x < y) return ComparisonResult::orderedAscending;
    if (y < x) return ComparisonResult::orderedDescending;
    return ComparisonResult::orderedSame;
  };
  if (granularity == Component::nanosecond) return order(a, b);
  if (granularity == Component::era) {
    return order(component(Component::era, a), component(Component::era, b));
  }
  // Units shorter than a day, each within its instant's own offset.
  auto within = [&](double length) {
    auto shared = icu_support::sharedZone(timeZone_);
    auto start = [&](Date date) {
      UDate instant = std::floor(icu_support::toUDate(date));
      UDate wall = instant + wall_clock::offsetAt(*shared, instant);
      double into = std::fmod(wall, length);
      return instant - (into < 0 ? into + length : into);
    };
    return order(start(a), start(b));
  };
  switch (granularity) {
    case Component::second:
      return within(1000.0);
    case Component::minute:
      return within(60000.0);
    case Component::hour:
      return within(3600000.0);
    case Component::day: {
      // Every calendar's day runs from midnight to midnight on the wall clock: the wall dates.
      auto shared = icu_support::sharedZone(timeZone_);
      auto day = [&](Date date) {
        UDate instant = std::floor(icu_support::toUDate(date));
        return std::floor((instant + wall_clock::offsetAt(*shared, instant)) / 86400000.0);
      };
      return order(day(a), day(b));
    }
    case Component::month:
    case Component::year: {
      // Days, months and years through the fields of the two instants: the local day number, or
      // the running year (with the era where eras start within a year) and the month.
      auto cal = icu_support::makeCalendar(*this);
      bool eraStartsYears = identifier_ == Identifier::japanese;
      auto key = [&](Date date) {
        std::array<std::int64_t, 4> fields{};
        setTime(*cal, std::floor(icu_support::toUDate(date)));
        fields[0] = get(*cal, UCAL_EXTENDED_YEAR);
        fields[1] = eraStartsYears ? get(*cal, UCAL_ERA) : 0;
        if (granularity == Component::month) {
          fields[2] = get(*cal, UCAL_MONTH);
          fields[3] = get(*cal, UCAL_IS_LEAP_MONTH);
        }
        return fields;
      };
      return order(key(a), key(b));
    }
    default:
      break;
  }
  auto first = dateInterval(granularity, a);
  auto second = dateInterval(granularity, b);
  if (!first || !second) return order(a, b);
  return order(first->start, second->start);
}

bool operator==(const Calendar& a, const Calendar& b) {
  if (a.identifier_ != b.identifier_ || !(a.timeZone_ == b.timeZone_) || a.locale_ != b.locale_) {
    return false;
  }
  // Same system and locale with the same explicit settings have the same week rules; only a
  // setting on one side that may equal the locale's default needs ICU's answer.
  if (a.firstWeekday_ == b.firstWeekday_ &&
      a.minimumDaysInFirstWeek_ == b.minimumDaysInFirstWeek_) {
    return true;
  }
  return a.firstWeekday() == b.firstWeekday() &&
         a.minimumDaysInFirstWeek() == b.minimumDaysInFirstWeek();
}

}  // namespace platform
