#include "platform/time/time_zone.h"

#include <unicode/basictz.h>
#include <unicode/simpletz.h>
#include <unicode/strenum.h>
#include <unicode/tztrans.h>

#include <cmath>
#include <cstdlib>
#include <mutex>

#include <fmt/format.h>

#include "platform/time/icu_support.h"
#include "platform/time/system_time_zone.h"

namespace platform {

struct TimeZone::Impl {
  std::string identifier;
  std::unique_ptr<const icu::TimeZone> zone;
};

struct TimeZoneAccess {
  static std::shared_ptr<const TimeZone::Impl> resolved(const TimeZone& zone) {
    return zone.resolved();
  }
};

namespace {

constexpr const char* unknownZone = "Etc/Unknown";

std::shared_ptr<const TimeZone::Impl> makeImpl(std::string identifier,
                                               std::unique_ptr<icu::TimeZone> zone) {
  auto impl = std::make_shared<TimeZone::Impl>();
  impl->identifier = std::move(identifier);
  impl->zone = std::move(zone);
  return impl;
}

std::string offsetIdentifier(int seconds) {
  if (seconds == 0) return "GMT";
  int magnitude = std::abs(seconds);
  std::string text = fmt::format("GMT{}{:02}{:02}", seconds < 0 ? '-' : '+', magnitude / 3600,
                                 magnitude / 60 % 60);
  if (magnitude % 60 != 0) text += fmt::format("{:02}", magnitude % 60);
  return text;
}

std::shared_ptr<const TimeZone::Impl> fixedImpl(int seconds) {
  auto id = offsetIdentifier(seconds);
  auto zone = std::make_unique<icu::SimpleTimeZone>(seconds * 1000, icu_support::toUnicode(id));
  return makeImpl(std::move(id), std::move(zone));
}

struct CurrentState {
  std::mutex mutex;
  std::shared_ptr<const TimeZone::Impl> system;    // read lazily, then kept
  std::shared_ptr<const TimeZone::Impl> override;  // installed by setCurrent
};

CurrentState& currentState() {
  static CurrentState state;
  return state;
}

std::shared_ptr<const TimeZone::Impl> detectSystemZone() {
  std::unique_ptr<icu::TimeZone> host(icu::TimeZone::detectHostTimeZone());
  if (host) {
    icu::UnicodeString id;
    host->getID(id);
    std::string identifier = icu_support::toUTF8(id);
    if (!identifier.empty() && identifier != unknownZone) {
      // Normalise through our own constructor so that offsets get the platform's names.
      if (auto zone = TimeZone::withIdentifier(identifier)) {
        return TimeZoneAccess::resolved(*zone);
      }
    }
  }
  return TimeZoneAccess::resolved(TimeZone::gmt());
}

}  // namespace

std::optional<TimeZone> TimeZone::withIdentifier(std::string_view identifier) {
  if (identifier.empty() || identifier == unknownZone) return std::nullopt;
  // Region zones follow the system's database, which the system keeps current; ICU's own rules
  // (of 2022) serve the names the system lacks and the fixed and GMT-style zones.
  if (identifier.find('/') != std::string_view::npos && identifier.rfind("Etc/", 0) != 0) {
    if (auto system = SystemTimeZone::load(identifier)) {
      return TimeZone(makeImpl(std::string(identifier), std::move(system)));
    }
  }
  std::unique_ptr<icu::TimeZone> zone(
      icu::TimeZone::createTimeZone(icu_support::toUnicode(identifier)));
  if (!zone) return std::nullopt;
  icu::UnicodeString resolvedId;
  zone->getID(resolvedId);
  std::string resolved = icu_support::toUTF8(resolvedId);
  if (resolved == unknownZone) return std::nullopt;

  // ICU parses "GMT+5", "GMT+05:30" and the like as custom zones: give them the platform's names
  // and its limit on the offset.
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString canonical;
  UBool isSystem = false;
  icu::TimeZone::getCanonicalID(resolvedId, canonical, isSystem, status);
  if (U_SUCCESS(status) && !isSystem && resolved.rfind("GMT", 0) == 0 && resolved.size() > 3) {
    return withSecondsFromGMT(zone->getRawOffset() / 1000);
  }
  return TimeZone(makeImpl(std::string(identifier), std::move(zone)));
}

std::optional<TimeZone> TimeZone::withSecondsFromGMT(int seconds) {
  if (seconds < -maximumSecondsFromGMT || seconds > maximumSecondsFromGMT) return std::nullopt;
  return TimeZone(fixedImpl(seconds));
}

const std::map<std::string, std::string>& TimeZone::abbreviationDictionary() {
  static const std::map<std::string, std::string> dictionary = {
      {"ADT", "America/Halifax"},
      {"AKDT", "America/Juneau"},
      {"AKST", "America/Juneau"},
      {"ART", "America/Argentina/Buenos_Aires"},
      {"AST", "America/Halifax"},
      {"BDT", "Asia/Dhaka"},
      {"BRST", "America/Sao_Paulo"},
      {"BRT", "America/Sao_Paulo"},
      {"BST", "Europe/London"},
      {"CAT", "Africa/Harare"},
      {"CDT", "America/Chicago"},
      {"CEST", "Europe/Paris"},
      {"CET", "Europe/Paris"},
      {"CLST", "America/Santiago"},
      {"CLT", "America/Santiago"},
      {"COT", "America/Bogota"},
      {"CST", "America/Chicago"},
      {"EAT", "Africa/Addis_Ababa"},
      {"EDT", "America/New_York"},
      {"EEST", "Europe/Athens"},
      {"EET", "Europe/Athens"},
      {"EST", "America/New_York"},
      {"GMT", "GMT"},
      {"GST", "Asia/Dubai"},
      {"HKT", "Asia/Hong_Kong"},
      {"HST", "Pacific/Honolulu"},
      {"ICT", "Asia/Bangkok"},
      {"IRST", "Asia/Tehran"},
      {"IST", "Asia/Kolkata"},
      {"JST", "Asia/Tokyo"},
      {"KST", "Asia/Seoul"},
      {"MDT", "America/Denver"},
      {"MSD", "Europe/Moscow"},
      {"MSK", "Europe/Moscow"},
      {"MST", "America/Phoenix"},
      {"NZDT", "Pacific/Auckland"},
      {"NZST", "Pacific/Auckland"},
      {"PDT", "America/Los_Angeles"},
      {"PET", "America/Lima"},
      {"PHT", "Asia/Manila"},
      {"PKT", "Asia/Karachi"},
      {"PST", "America/Los_Angeles"},
      {"SGT", "Asia/Singapore"},
      {"TRT", "Europe/Istanbul"},
      {"UTC", "UTC"},
      {"WAT", "Africa/Lagos"},
      {"WEST", "Europe/Lisbon"},
      {"WET", "Europe/Lisbon"},
      {"WIT", "Asia/Jakarta"},
  };
  return dictionary;
}

std::optional<TimeZone> TimeZone::withAbbreviation(std::string_view abbreviation) {
  const auto& dictionary = abbreviationDictionary();
  auto it = dictionary.find(std::string(abbreviation));
  if (it == dictionary.end()) return std::nullopt;
  return withIdentifier(it->second);
}

std::vector<std::string> TimeZone::knownTimeZoneIdentifiers() {
  std::vector<std::string> identifiers;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::StringEnumeration> all(icu::TimeZone::createTimeZoneIDEnumeration(
      UCAL_ZONE_TYPE_CANONICAL_LOCATION, nullptr, nullptr, status));
  if (U_FAILURE(status) || !all) return identifiers;
  while (const icu::UnicodeString* id = all->snext(status)) {
    if (U_FAILURE(status)) break;
    identifiers.push_back(icu_support::toUTF8(*id));
  }
  return identifiers;
}

std::string TimeZone::dataVersion() {
  std::string system = SystemTimeZone::dataVersion();
  UErrorCode status = U_ZERO_ERROR;
  std::string icu = icu::TimeZone::getTZDataVersion(status);
  return fmt::format("{} (system database; ICU {} for zones it lacks)",
                     system.empty() ? "unknown" : system, U_SUCCESS(status) ? icu : "unknown");
}

TimeZone TimeZone::gmt() {
  static const std::shared_ptr<const Impl> impl = fixedImpl(0);
  return TimeZone(impl);
}

TimeZone TimeZone::current() {
  auto& state = currentState();
  std::lock_guard lock(state.mutex);
  if (state.override) return TimeZone(state.override);
  if (!state.system) state.system = detectSystemZone();
  return TimeZone(state.system);
}

TimeZone TimeZone::autoupdatingCurrent() {
  return TimeZone(nullptr);
}

void TimeZone::setCurrent(std::optional<TimeZone> zone) {
  std::shared_ptr<const Impl> impl;
  if (zone) impl = zone->resolved();
  auto& state = currentState();
  std::lock_guard lock(state.mutex);
  state.override = std::move(impl);
}

std::shared_ptr<const TimeZone::Impl> TimeZone::resolved() const {
  if (impl_) return impl_;
  return current().impl_;
}

std::string TimeZone::identifier() const {
  return resolved()->identifier;
}

int TimeZone::secondsFromGMT(Date date) const {
  auto impl = resolved();
  UErrorCode status = U_ZERO_ERROR;
  int32_t raw = 0;
  int32_t dst = 0;
  impl->zone->getOffset(icu_support::toUDate(date), false, raw, dst, status);
  if (U_FAILURE(status)) return 0;
  return (raw + dst) / 1000;
}

std::string TimeZone::abbreviation(Date date) const {
  auto impl = resolved();
  icu::UnicodeString name;
  impl->zone->getDisplayName(isDaylightSavingTime(date), icu::TimeZone::SHORT, icu::Locale("en_US"),
                             name);
  return icu_support::toUTF8(name);
}

bool TimeZone::isDaylightSavingTime(Date date) const {
  return daylightSavingTimeOffset(date) != 0;
}

double TimeZone::daylightSavingTimeOffset(Date date) const {
  auto impl = resolved();
  UErrorCode status = U_ZERO_ERROR;
  int32_t raw = 0;
  int32_t dst = 0;
  impl->zone->getOffset(icu_support::toUDate(date), false, raw, dst, status);
  if (U_FAILURE(status)) return 0;
  return dst / 1000.0;
}

std::optional<Date> TimeZone::nextDaylightSavingTimeTransition(Date after) const {
  auto impl = resolved();
  // Transition lookups fill caches inside the zone object; work on a private copy so that
  // copies of this value can be used from several threads.
  std::unique_ptr<icu::TimeZone> copy(impl->zone->clone());
  auto* basic = dynamic_cast<icu::BasicTimeZone*>(copy.get());
  if (!basic) return std::nullopt;
  icu::TimeZoneTransition transition;
  if (!basic->getNextTransition(icu_support::toUDate(after), false, transition)) {
    return std::nullopt;
  }
  return icu_support::fromUDate(transition.getTime());
}

bool operator==(const TimeZone& a, const TimeZone& b) {
  if (a.isAutoupdating() || b.isAutoupdating()) {
    return a.isAutoupdating() && b.isAutoupdating();
  }
  return a.impl_ == b.impl_ || a.impl_->identifier == b.impl_->identifier;
}

namespace icu_support {

std::unique_ptr<icu::TimeZone> makeZone(const TimeZone& zone) {
  return std::unique_ptr<icu::TimeZone>(TimeZoneAccess::resolved(zone)->zone->clone());
}

std::shared_ptr<const icu::TimeZone> sharedZone(const TimeZone& zone) {
  auto impl = TimeZoneAccess::resolved(zone);
  return std::shared_ptr<const icu::TimeZone>(impl, impl->zone.get());
}

}  // namespace icu_support
}  // namespace platform
