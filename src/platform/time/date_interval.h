#pragma once

#include "platform/foundation/date.h"

namespace platform {

// A closed span of time: a start and a non-negative duration in seconds.
struct DateInterval {
  Date start;
  double duration = 0;

  Date end() const { return start + duration; }
  bool contains(Date date) const { return start <= date && date <= end(); }
  friend bool operator==(const DateInterval&, const DateInterval&) = default;
};

}  // namespace platform
