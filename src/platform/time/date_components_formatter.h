#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/date.h"
#include "platform/time/calendar.h"
#include "platform/time/date_components.h"

namespace platform {

// The platform's bits for which zero-valued units a components text leaves out.
enum class ZeroFormattingBehavior : std::uint64_t {
  none = 0,
  default_ = 1,  // positional: drop leading zero units; other styles: drop every zero unit
  dropLeading = 2,
  dropMiddle = 4,
  dropTrailing = 8,
  dropAll = 14,
  pad = 65536,  // positional: two digits in every field, the first included
};

constexpr ZeroFormattingBehavior operator|(ZeroFormattingBehavior a, ZeroFormattingBehavior b) {
  return ZeroFormattingBehavior(std::uint64_t(a) | std::uint64_t(b));
}
constexpr bool contains(ZeroFormattingBehavior set, ZeroFormattingBehavior flag) {
  return flag != ZeroFormattingBehavior::none &&
         (std::uint64_t(set) & std::uint64_t(flag)) == std::uint64_t(flag);
}

// Writes a duration as calendar units: "1:01:01", "1h 1m 1s", "1 hour, 1 minute, 1 second".
// A reference type: share it with `std::shared_ptr`; one instance must not be used by two
// threads at once.
class DateComponentsFormatter {
 public:
  // The platform's style numbers. `short_` carries an underscore because its plain name is a
  // C++ keyword.
  enum class UnitsStyle {
    positional = 0,
    abbreviated = 1,
    short_ = 2,
    full = 3,
    spellOut = 4,
    brief = 5
  };

  static constexpr std::string_view className = "DateComponentsFormatter";

  DateComponentsFormatter() = default;
  DateComponentsFormatter(const DateComponentsFormatter&) = delete;
  DateComponentsFormatter& operator=(const DateComponentsFormatter&) = delete;

  // Units a text may use, largest to smallest among year, month, week of month, day, hour,
  // minute and second. None set means all of them (weeks not in the positional style).
  CalendarUnit allowedUnits = CalendarUnit::none;
  // The smallest unit shown takes a fraction for what smaller units would have held.
  bool allowsFractionalUnits = false;
  // A largest unit of exactly 1 is folded into the next unit ("1h 10m" becomes "70m").
  bool collapsesLargestUnit = false;
  // At most this many units (0: no limit); what the dropped units held is left out.
  int maximumUnitCount = 0;
  ZeroFormattingBehavior zeroFormattingBehavior = ZeroFormattingBehavior::default_;
  UnitsStyle unitsStyle = UnitsStyle::positional;
  // The calendar units are counted in and whose locale names them; the autoupdating current
  // calendar when none is set.
  std::optional<Calendar> calendar;
  // The start of durations given as seconds; now when none is set.
  std::optional<Date> referenceDate;
  // English phrases around the text: "About 1 hour", "1 hour remaining".
  bool includesApproximationPhrase = false;
  bool includesTimeRemainingPhrase = false;

  std::optional<std::string> string(double timeInterval) const;
  std::optional<std::string> string(Date start, Date end) const;
  std::optional<std::string> string(const DateComponents& components) const;
};

}  // namespace platform
