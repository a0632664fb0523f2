#include "platform/time/wall_clock.h"

#include <unicode/basictz.h>

namespace platform::wall_clock {

std::int32_t offsetAt(const icu::TimeZone& zone, UDate instant) {
  std::int32_t raw = 0;
  std::int32_t dst = 0;
  UErrorCode status = U_ZERO_ERROR;
  zone.getOffset(instant, false, raw, dst, status);
  return U_SUCCESS(status) ? raw + dst : 0;
}

Occurrences occurrences(const icu::TimeZone& zone, UDate wall) {
  std::int32_t formerOffset = 0;
  std::int32_t latterOffset = 0;
  if (const auto* basic = dynamic_cast<const icu::BasicTimeZone*>(&zone)) {
    std::int32_t raw = 0;
    std::int32_t dst = 0;
    UErrorCode status = U_ZERO_ERROR;
    basic->getOffsetFromLocal(wall, UCAL_TZ_LOCAL_FORMER, UCAL_TZ_LOCAL_FORMER, raw, dst, status);
    formerOffset = raw + dst;
    status = U_ZERO_ERROR;
    basic->getOffsetFromLocal(wall, UCAL_TZ_LOCAL_LATTER, UCAL_TZ_LOCAL_LATTER, raw, dst, status);
    latterOffset = raw + dst;
  } else {
    formerOffset = latterOffset = offsetAt(zone, wall);
  }
  UDate former = wall - formerOffset;
  UDate latter = wall - latterOffset;
  bool exists = former + offsetAt(zone, former) == wall || latter + offsetAt(zone, latter) == wall;
  return {former, latter, exists};
}

UDate resolve(const icu::TimeZone& zone, UDate wall, std::optional<std::int32_t> preferredOffset,
              Travel travel) {
  if (preferredOffset) {
    UDate candidate = wall - *preferredOffset;
    if (offsetAt(zone, candidate) == *preferredOffset) return candidate;
  }
  Occurrences at = occurrences(zone, wall);
  if (at.exists) {
    // The first occurrence is the earlier instant, whichever offset names it.
    bool formerReads = at.former + offsetAt(zone, at.former) == wall;
    bool latterReads = at.latter + offsetAt(zone, at.latter) == wall;
    if (formerReads && latterReads) return std::min(at.former, at.latter);
    return formerReads ? at.former : at.latter;
  }
  // In a gap the offset before the change reads the time a gap's length later.
  constexpr double day = 86400000.0;
  bool wholeDay = at.former - at.latter >= day;
  if (wholeDay && travel == Travel::backward) return at.latter;
  return at.former;
}

}  // namespace platform::wall_clock
