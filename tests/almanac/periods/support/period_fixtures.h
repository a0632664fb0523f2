#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "almanac/date_in_region.h"
#include "almanac/periods/time_period.h"
#include "almanac/support/date_fixtures.h"

namespace period_testing {

using almanac::DateInRegion;
using almanac::TimePeriod;
using almanac::TimePeriodPointer;

// A wall-clock time on 2024-05-01 in GMT; minutes may run past the hour.
inline DateInRegion at(int hour, int minute = 0) {
  return DateInRegion(testing_dates::at(2024, 5, 1, hour, minute), almanac_testing::region("GMT"));
}

// Seconds since 1970 of the same wall-clock time, for comparing bounds.
inline double secondsAt(int hour, int minute = 0) {
  return at(hour, minute).timeIntervalSince1970();
}

inline std::shared_ptr<TimePeriod> period(std::optional<DateInRegion> start,
                                          std::optional<DateInRegion> end) {
  return std::make_shared<TimePeriod>(std::move(start), std::move(end));
}

// [h1:m1, h2:m2] on the test day.
inline std::shared_ptr<TimePeriod> period(int h1, int m1, int h2, int m2) {
  return period(at(h1, m1), at(h2, m2));
}

// A bound as seconds since 1970, -1 when absent (no test date lies near 1970).
inline double seconds(const std::optional<DateInRegion>& date) {
  return date ? date->timeIntervalSince1970() : -1.0;
}

// [start, end] pairs in seconds of each period, in list order.
inline std::vector<std::pair<double, double>> bounds(const std::vector<TimePeriodPointer>& list) {
  std::vector<std::pair<double, double>> result;
  for (const auto& p : list)
    result.emplace_back(seconds(p->start()), seconds(p->end()));
  return result;
}

inline std::pair<double, double> span(int h1, int m1, int h2, int m2) {
  return {secondsAt(h1, m1), secondsAt(h2, m2)};
}

}  // namespace period_testing
