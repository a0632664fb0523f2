#pragma once

#include <any>
#include <optional>
#include <string>
#include <string_view>

#include "almanac/date_in_region.h"
#include "almanac/region.h"

namespace almanac {

class DateRepresentable;

// Reads the JSON date form of .NET services, "/Date(<milliseconds><+|-hhmm>)/", found anywhere
// in the text (inside quotes, say) and in any letter case.
//
// Matched by a small linear scan of our own rather than a regular expression: the standard
// library's matcher recurses per character and overflows the stack on long digit runs.
class DOTNETParser {
 public:
  // Seconds since 1970, or nothing: no form found, no offset, an offset of fewer than four
  // digits or one the platform has no zone for, or a count beyond ±100,000,000 days.
  static std::optional<double> instant(std::string_view text);
  // The instant in the given region (or the Gregorian "GMT" "en_US_POSIX" region); the text's
  // offset only decides whether it is read. Options are ignored.
  static std::optional<DateInRegion> parse(std::string_view text,
                                           const std::optional<Region>& region,
                                           const std::any& options);
};

// Writes "/Date(<milliseconds><+|-hh>00)/": the whole hours of the region's offset at the
// instant, truncated toward zero. Options are ignored.
class DOTNETFormatter {
 public:
  static std::string format(const DateRepresentable& date, const std::any& options);
};

}  // namespace almanac
