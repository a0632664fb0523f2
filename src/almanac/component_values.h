#pragma once

#include <cstdint>
#include <map>
#include <optional>

#include "almanac/region.h"
#include "platform/time/calendar.h"
#include "platform/time/date_components.h"

namespace almanac {

// A compact form of date components: a count per component (day: 3, hour: -2). Entries for
// `calendar` and `timeZone` carry no meaning and are skipped wherever components are made.
using ComponentValues = std::map<platform::Calendar::Component, std::int64_t>;

// The components of the values, each times `multiplier` when one is given, in the region's
// calendar and zone when one is given. A product beyond 64 bits gives no components, and so does
// the largest 64-bit value, which components read as "no value".
std::optional<platform::DateComponents> dateComponents(
    const ComponentValues& values, std::optional<std::int64_t> multipliedBy = std::nullopt,
    const std::optional<Region>& region = std::nullopt);

// Every value negated; the least 64-bit value has no negation, so then there is none.
std::optional<ComponentValues> negated(const ComponentValues& values);

}  // namespace almanac
