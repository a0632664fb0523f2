#include "platform/time/system_time_zone.h"

#include <unicode/tzrule.h>
#include <unicode/tztrans.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>

#include "platform/time/icu_support.h"

namespace platform {

namespace {

using Seconds = cctz::time_point<cctz::seconds>;

Seconds secondsSince1970(std::int64_t seconds) {
  return Seconds(cctz::seconds(seconds));
}

std::int64_t toSeconds(const Seconds& point) {
  return point.time_since_epoch().count();
}

std::int64_t floorSeconds(UDate milliseconds) {
  return static_cast<std::int64_t>(std::floor(milliseconds / 1000.0));
}

// Zone file names: letters, digits and "/_+-", never a path out of the database.
bool isZoneFileName(std::string_view name) {
  if (name.empty() || name.front() == '/' || name.find("..") != std::string_view::npos) {
    return false;
  }
  for (char c : name) {
    bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                   c == '/' || c == '_' || c == '+' || c == '-';
    if (!allowed) return false;
  }
  return true;
}

const cctz::civil_second epochCivil(1970, 1, 1, 0, 0, 0);

}  // namespace

std::unique_ptr<SystemTimeZone> SystemTimeZone::load(std::string_view identifier) {
  if (!isZoneFileName(identifier)) return nullptr;
  cctz::time_zone zone;
  if (!cctz::load_time_zone(std::string(identifier), &zone)) return nullptr;
  return std::unique_ptr<SystemTimeZone>(
      new SystemTimeZone(icu_support::toUnicode(identifier), zone));
}

std::string SystemTimeZone::dataVersion() {
  static const std::string version = [] {
    // The database libcctz reads: TZDIR's when set.
    const char* directory = std::getenv("TZDIR");
    std::string root = directory && *directory ? directory : "/usr/share/zoneinfo";
    std::ifstream file(root + "/tzdata.zi");
    std::string line;
    if (std::getline(file, line) && line.rfind("# version ", 0) == 0) return line.substr(10);
    cctz::time_zone zone;
    if (cctz::load_time_zone("Europe/London", &zone)) return zone.version();
    return std::string();
  }();
  return version;
}

bool SystemTimeZone::operator==(const icu::TimeZone& other) const {
  return hasSameRules(other) && icu::TimeZone::operator==(other);
}

SystemTimeZone::Split SystemTimeZone::offsetAt(std::int64_t second) const {
  auto found = zone_.lookup(secondsSince1970(second));
  if (!found.is_dst) return {found.offset * 1000, 0};
  // The standard offset behind a daylight period takes a search; the last period asked for on
  // this thread is kept (zones are shared between threads, so nothing is kept in the zone).
  struct Period {
    cctz::time_zone zone;
    std::int64_t from = 0;
    std::int64_t to = -1;
    Split split{};
  };
  thread_local Period last;
  if (last.zone == zone_ && second >= last.from && second < last.to) return last.split;
  cctz::time_zone::civil_transition bound;
  std::int64_t from = std::numeric_limits<std::int64_t>::min();
  std::int64_t to = std::numeric_limits<std::int64_t>::max();
  if (zone_.prev_transition(secondsSince1970(second) + cctz::seconds(1), &bound)) {
    from = toSeconds(zone_.lookup(bound.from).pre);
  }
  if (zone_.next_transition(secondsSince1970(second), &bound)) {
    to = toSeconds(zone_.lookup(bound.to).trans);
  }
  Split split = standardAndSavings(second, found.offset);
  last = Period{zone_, from, to, split};
  return split;
}

SystemTimeZone::Split SystemTimeZone::standardAndSavings(std::int64_t second, int offset) const {
  // Daylight saving is the step from the standard offset, found at the nearest standard time
  // before (or else after) the instant.
  Seconds at = secondsSince1970(second);
  cctz::time_zone::civil_transition transition;
  int standard = offset - 3600;
  for (int i = 0; i < 4 && zone_.prev_transition(at, &transition); ++i) {
    at = zone_.lookup(transition.from).pre;
    auto before = zone_.lookup(at - cctz::seconds(1));
    if (!before.is_dst) {
      standard = before.offset;
      break;
    }
    at = at - cctz::seconds(1);
  }
  int savings = offset - standard;
  // Negative or zero savings (a zone that marks winter as its daylight time) count as none.
  if (savings <= 0) return {offset * 1000, 0};
  return {standard * 1000, savings * 1000};
}

void SystemTimeZone::getOffset(UDate date, UBool local, int32_t& rawOffset, int32_t& dstOffset,
                               UErrorCode& status) const {
  if (U_FAILURE(status)) return;
  if (local) {
    // As ICU's own zones: a skipped time by the offset before the change, a repeated one by the
    // offset after it.
    getOffsetFromLocal(date, UCAL_TZ_LOCAL_FORMER, UCAL_TZ_LOCAL_LATTER, rawOffset, dstOffset,
                       status);
    return;
  }
  Split split = offsetAt(floorSeconds(date));
  rawOffset = split.raw;
  dstOffset = split.dst;
}

void SystemTimeZone::getOffsetFromLocal(UDate date, UTimeZoneLocalOption nonExistingTimeOpt,
                                        UTimeZoneLocalOption duplicatedTimeOpt, int32_t& rawOffset,
                                        int32_t& dstOffset, UErrorCode& status) const {
  if (U_FAILURE(status)) return;
  std::int64_t wall = floorSeconds(date);
  auto found = zone_.lookup(epochCivil + wall);
  Seconds chosen = found.pre;
  auto pick = [&](int option) {
    Seconds former = found.pre;
    Seconds latter = found.post;
    // Standard or daylight when asked, else the earlier or later side of the change.
    // The low two bits: 1 asks for standard time, 3 for daylight time.
    int kind = option & 0x03;
    if (kind == 0x01 || kind == 0x03) {
      bool wantDaylight = kind == 0x03;
      bool formerDaylight = zone_.lookup(former).is_dst;
      bool latterDaylight = zone_.lookup(latter).is_dst;
      if (formerDaylight != latterDaylight) return formerDaylight == wantDaylight ? former : latter;
    }
    return (option & 0x0C) == UCAL_TZ_LOCAL_LATTER ? latter : former;
  };
  if (found.kind == cctz::time_zone::civil_lookup::SKIPPED) chosen = pick(nonExistingTimeOpt);
  if (found.kind == cctz::time_zone::civil_lookup::REPEATED) chosen = pick(duplicatedTimeOpt);
  // The offsets that name `wall` at the chosen instant: around a change, those of the side
  // chosen, which in a gap is not the side the instant lies on.
  std::int64_t offset = (wall - toSeconds(chosen)) * 1000;
  Split split = offsetAt(toSeconds(chosen));
  if (found.kind != cctz::time_zone::civil_lookup::UNIQUE) {
    Split before = offsetAt(toSeconds(found.trans) - 1);
    Split after = offsetAt(toSeconds(found.trans));
    split = before.raw + before.dst == offset ? before : after;
  }
  rawOffset = split.raw;
  dstOffset = split.dst;
}

int32_t SystemTimeZone::getOffset(uint8_t era, int32_t year, int32_t month, int32_t day,
                                  uint8_t dayOfWeek, int32_t millis, UErrorCode& status) const {
  return getOffset(era, year, month, day, dayOfWeek, millis, 31, status);
}

int32_t SystemTimeZone::getOffset(uint8_t era, int32_t year, int32_t month, int32_t day, uint8_t,
                                  int32_t millis, int32_t, UErrorCode& status) const {
  if (U_FAILURE(status)) return 0;
  int32_t fullYear = era == 0 ? 1 - year : year;  // GregorianCalendar::BC is 0
  cctz::civil_day civil(fullYear, month + 1, day);
  std::int64_t days = civil - cctz::civil_day(1970, 1, 1);
  // The fields are local standard time.
  UDate local = static_cast<double>(days) * 86400000.0 + millis;
  int32_t raw = 0;
  int32_t dst = 0;
  getOffset(local, true, raw, dst, status);
  return raw + dst;
}

int32_t SystemTimeZone::getRawOffset() const {
  auto now = std::chrono::system_clock::now();
  return offsetAt(std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count())
      .raw;
}

UBool SystemTimeZone::useDaylightTime() const {
  // Whether daylight time is in force now or at some time within the coming year.
  auto now = std::chrono::duration_cast<std::chrono::seconds>(
                 std::chrono::system_clock::now().time_since_epoch())
                 .count();
  for (std::int64_t step = 0; step <= 366; step += 30) {
    if (zone_.lookup(secondsSince1970(now + step * 86400)).is_dst) return true;
  }
  return false;
}

UBool SystemTimeZone::inDaylightTime(UDate date, UErrorCode& status) const {
  if (U_FAILURE(status)) return false;
  return offsetAt(floorSeconds(date)).dst != 0;
}

UBool SystemTimeZone::hasSameRules(const icu::TimeZone& other) const {
  const auto* system = dynamic_cast<const SystemTimeZone*>(&other);
  return system && system->zone_ == zone_;
}

UBool SystemTimeZone::getNextTransition(UDate base, UBool inclusive,
                                        icu::TimeZoneTransition& result) const {
  return transitionFrom(floorSeconds(base) - (inclusive ? 1 : 0), true, result);
}

UBool SystemTimeZone::getPreviousTransition(UDate base, UBool inclusive,
                                            icu::TimeZoneTransition& result) const {
  return transitionFrom(floorSeconds(base) + (inclusive ? 1 : 0), false, result);
}

UBool SystemTimeZone::transitionFrom(std::int64_t from, bool forward,
                                     icu::TimeZoneTransition& result) const {
  cctz::time_zone::civil_transition transition;
  Seconds at = secondsSince1970(from);
  // Changes of name alone are no transition of offsets.
  for (int i = 0; i < 64; ++i) {
    const bool found =
        forward ? zone_.next_transition(at, &transition) : zone_.prev_transition(at, &transition);
    if (!found) return false;
    Seconds when = zone_.lookup(transition.to).trans;
    Split before = offsetAt(toSeconds(when) - 1);
    Split after = offsetAt(toSeconds(when));
    if (before.raw != after.raw || before.dst != after.dst) {
      icu::UnicodeString id;
      getID(id);
      result.setTime(static_cast<double>(toSeconds(when)) * 1000.0);
      result.adoptFrom(new icu::InitialTimeZoneRule(id, before.raw, before.dst));
      result.adoptTo(new icu::InitialTimeZoneRule(id, after.raw, after.dst));
      return true;
    }
    at = when;
  }
  return false;
}

void SystemTimeZone::getTimeZoneRules(const icu::InitialTimeZoneRule*& initial,
                                      const icu::TimeZoneRule*[], int32_t& trscount,
                                      UErrorCode& status) const {
  // Offsets come from the database by instant; there are no rule objects to hand out.
  initial = nullptr;
  trscount = 0;
  status = U_UNSUPPORTED_ERROR;
}

UOBJECT_DEFINE_RTTI_IMPLEMENTATION(SystemTimeZone)

}  // namespace platform
