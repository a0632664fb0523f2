#pragma once

// Private to platform/time: how a wall-clock reading of a zone becomes an instant. Calendar
// arithmetic works on wall-clock readings (a local time counted as if it were GMT) and then
// resolves the reading here, so that every operation that lands on a time that does not exist,
// or exists twice, lands on the same instant.

#include <unicode/calendar.h>
#include <unicode/timezone.h>

#include <cstdint>
#include <optional>

namespace platform::wall_clock {

// ICU's own limits: beyond them it clamps or wraps instead of failing.
constexpr double minimumMilliseconds = -184303902528000000.0;
constexpr double maximumMilliseconds = 183882168921600000.0;

inline bool inRange(double milliseconds) {
  return milliseconds >= minimumMilliseconds && milliseconds <= maximumMilliseconds;
}

enum class Travel { forward, backward };

// Milliseconds the zone is ahead of GMT at the instant.
std::int32_t offsetAt(const icu::TimeZone& zone, UDate instant);

// The instant at which the zone's clocks read `wall`:
// - a reading that exists once is that instant;
// - a reading that exists twice is the occurrence at `preferredOffset` when one has it,
//   otherwise the first;
// - a reading inside a gap moves forward by the length of the gap, except that a whole day the
//   zone skipped gives the same reading on the next existing day in the direction of travel.
UDate resolve(const icu::TimeZone& zone, UDate wall, std::optional<std::int32_t> preferredOffset,
              Travel travel = Travel::forward);

// Both instants a reading can name: the one by the offset in force before a change and the one
// by the offset after it (equal when the reading exists once and no change is near).
struct Occurrences {
  UDate former;
  UDate latter;
  bool exists;  // whether either instant reads `wall`
};
Occurrences occurrences(const icu::TimeZone& zone, UDate wall);

}  // namespace platform::wall_clock
