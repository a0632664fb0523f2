#pragma once

#include <memory>
#include <optional>
#include <string>

#include "almanac/conversions.h"
#include "almanac/region.h"
#include "platform/time/date_components_formatter.h"
#include "platform/time/date_formatter.h"
#include "platform/time/number_formatter.h"

namespace almanac {

// Formatters are costly to make, so each thread keeps one of each kind in its thread dictionary
// under "Almanac_" + the class name, and every use reconfigures it. A formatter returned here
// belongs to the calling thread and is reconfigured by that thread's next call: use it at once,
// on this thread only. Anything else found under a key is replaced by a new formatter.

// The thread's date formatter. With a region: set to the region's zone, calendar and locale.
// Without one: zone, calendar and locale stay as this thread's last use left them. The pattern
// becomes `format`, or "yyyy-MM-dd'T'HH:mm:ssZZZZZ" when none is given.
std::shared_ptr<platform::DateFormatter> sharedDateFormatter(
    const std::optional<Region>& region = std::nullopt,
    const std::optional<std::string>& format = std::nullopt);

// The thread's number formatter, set to the ordinal style and the locale on every call.
std::shared_ptr<platform::NumberFormatter> sharedOrdinalFormatter(const LocaleConvertible& locale);

// The thread's date-components formatter, made without the approximation and time-remaining
// phrases and otherwise as its last use on this thread left it.
std::shared_ptr<platform::DateComponentsFormatter> sharedDateComponentsFormatter();

}  // namespace almanac
