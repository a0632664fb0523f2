#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/date.h"

namespace platform {

// A time zone of the time-zone database, or a fixed offset from GMT. A value: copies share the
// immutable rules. The autoupdating zone is a zone that always answers as the current zone does
// at the moment of each question.
class TimeZone {
 public:
  // Fixed offsets further than this from GMT are refused.
  static constexpr int maximumSecondsFromGMT = 18 * 3600;

  // The zone with that identifier: a database name ("Europe/Paris", aliases included) or a
  // "GMT+hh:mm"-style offset. An unknown identifier gives no zone.
  static std::optional<TimeZone> withIdentifier(std::string_view identifier);
  // A fixed zone named "GMT", "GMT+0530" or "GMT-0800"; no zone beyond ±18 hours.
  static std::optional<TimeZone> withSecondsFromGMT(int seconds);
  // The zone the abbreviation dictionary maps the abbreviation to ("EST" → America/New_York).
  static std::optional<TimeZone> withAbbreviation(std::string_view abbreviation);
  static const std::map<std::string, std::string>& abbreviationDictionary();
  static std::vector<std::string> knownTimeZoneIdentifiers();

  // Zones of regions ("Europe/Rome") follow the system's time-zone database (the tzdata
  // package's TZif files), which system updates keep current; ICU's own rules serve names the
  // system lacks. This names both versions: "2025b (system database; ICU 2022e for zones it
  // lacks)".
  static std::string dataVersion();

  static TimeZone gmt();
  // The zone of this machine (TZ, then /etc/localtime), read once and kept, unless an
  // override is installed.
  static TimeZone current();
  static TimeZone autoupdatingCurrent();
  // Replaces what `current()` answers (an empty value removes the override).
  static void setCurrent(std::optional<TimeZone> zone);

  bool isAutoupdating() const { return impl_ == nullptr; }

  std::string identifier() const;
  int secondsFromGMT(Date date) const;
  int secondsFromGMT() const { return secondsFromGMT(Date::now()); }
  // The short English name at that instant ("EST", "GMT+9"), as the platform's abbreviations go.
  std::string abbreviation(Date date) const;
  std::string abbreviation() const { return abbreviation(Date::now()); }
  bool isDaylightSavingTime(Date date) const;
  bool isDaylightSavingTime() const { return isDaylightSavingTime(Date::now()); }
  double daylightSavingTimeOffset(Date date) const;
  double daylightSavingTimeOffset() const { return daylightSavingTimeOffset(Date::now()); }
  // The first change of offset strictly after the instant, if the zone has one.
  std::optional<Date> nextDaylightSavingTimeTransition(Date after) const;
  std::optional<Date> nextDaylightSavingTimeTransition() const {
    return nextDaylightSavingTimeTransition(Date::now());
  }

  // Equal zones have the same identifier; the autoupdating zone equals only another
  // autoupdating zone.
  friend bool operator==(const TimeZone& a, const TimeZone& b);

  struct Impl;

 private:
  explicit TimeZone(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {}
  // The rules to answer with: this zone's, or the current zone's when autoupdating.
  std::shared_ptr<const Impl> resolved() const;

  std::shared_ptr<const Impl> impl_;  // empty for the autoupdating zone

  friend struct TimeZoneAccess;
};

}  // namespace platform

template <>
struct std::hash<platform::TimeZone> {
  std::size_t operator()(const platform::TimeZone& zone) const noexcept {
    return std::hash<std::string>{}(zone.identifier()) ^ (zone.isAutoupdating() ? 0x9e37 : 0);
  }
};
