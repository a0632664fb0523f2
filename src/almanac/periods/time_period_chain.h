#pragma once

#include <cstdint>
#include <memory>

#include "almanac/periods/time_period_group.h"

namespace almanac {

// Periods laid end to end: each starts where the one before it ends. Appending adds a new
// period of the given one's length after the last; inserting and removing move the later
// periods so the chain stays closed, and those moves change the period objects themselves, so
// every other holder sees them.
//
// A change the chain cannot make whole (a period without both bounds where one is needed, an
// index outside the list) is refused before anything is touched: a chain is never left half
// moved.
class TimePeriodChain : public TimePeriodGroup {
 public:
  // The list as given, neither chained nor checked; the bounds stay absent.
  using TimePeriodGroup::TimePeriodGroup;

  static constexpr const char* boundsMessage =
      "All TimePeriods in a TimePeriodChain must contain a defined start and end date";

  // Refused, with the chain's line printed, when the period lacks a bound or the last period
  // lacks its end.
  virtual void appendPeriod(const TimePeriodPointer& period);
  // Each period of a snapshot of the group's list, so a chain may append itself.
  virtual void appendGroup(const TimePeriodGroup& group);
  // The period itself goes in, keeping its own bounds; each later period then starts where the
  // one before it ends and keeps its length. False, with nothing changed, for an index beyond
  // the count or a period (given or later) without both bounds; the latter prints the line.
  virtual bool insertPeriod(const TimePeriodPointer& period, std::int64_t index);
  // The later periods move back by the removed one's length, each object once; when that
  // length is unknown (a bound missing) they stay. False for an index outside the list.
  virtual bool removePeriod(std::int64_t index);
  virtual void removeAllPeriods();
  // Each distinct period object once, then the chain's own bounds.
  virtual void moveAll(double seconds);
  // The last period, or an empty pointer when there is none.
  virtual TimePeriodPointer removeLastPeriod();
  virtual void refreshBounds();
};

}  // namespace almanac
