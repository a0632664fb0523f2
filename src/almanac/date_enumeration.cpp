#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "almanac/date_in_region.h"
#include "platform/foundation/log.h"

namespace almanac {

namespace {

std::mt19937_64& generator() {
  thread_local std::mt19937_64 engine{[] {
    std::random_device device;
    return (std::uint64_t(device()) << 32) | device();
  }()};
  return engine;
}

// A strict weak order on instants in which an instant that is not a number comes after every
// other and equals another such.
bool earlier(const DateInRegion& a, const DateInRegion& b) {
  double x = a.timeIntervalSince1970();
  double y = b.timeIntervalSince1970();
  if (std::isnan(x)) return false;
  if (std::isnan(y)) return true;
  return x < y;
}

bool differentCalendars(const DateInRegion& from, const DateInRegion& to) {
  if (from.region().calendar() == to.region().calendar()) return false;
  platform::print(
      "\"Cannot enumerate dates between two different region's calendars. Return "
      "empty array.\"");
  return true;
}

}  // namespace

DateInRegion DateInRegion::randomDate(const DateInRegion& between, const DateInRegion& and_) {
  double span = std::trunc(and_.timeIntervalSince(between));
  if (!(span >= 1)) return between;
  // Any span ICU can hold fits in 64 bits of seconds.
  auto count = static_cast<std::int64_t>(std::min(span, 9.0e18));
  std::uniform_int_distribution<std::int64_t> offset(0, count - 1);
  return DateInRegion(between.date() + static_cast<double>(offset(generator())), between.region());
}

std::vector<DateInRegion> DateInRegion::randomDates(std::int64_t count, const DateInRegion& between,
                                                    const DateInRegion& and_) {
  std::vector<DateInRegion> result;
  if (count <= 0) return result;
  result.reserve(static_cast<std::size_t>(std::min<std::int64_t>(count, 1 << 20)));
  for (std::int64_t i = 0; i < count; ++i)
    result.push_back(randomDate(between, and_));
  return result;
}

DateInRegion DateInRegion::randomDate(std::int64_t withinDaysBeforeToday, const Region& region) {
  DateInRegion now(platform::Date::now(), region);
  if (withinDaysBeforeToday <= 0) return now;
  DateInRegion earlier(now.date() - static_cast<double>(withinDaysBeforeToday) * 86400.0, region);
  return randomDate(earlier, now);
}

DateInRegion DateInRegion::randomDate(const Region& region) {
  std::uniform_int_distribution<std::int64_t> seconds(0, 4'294'967'294);
  return fromSeconds(static_cast<double>(seconds(generator())), region);
}

std::optional<DateInRegion> DateInRegion::oldestIn(const std::vector<DateInRegion>& list) {
  if (list.empty()) return std::nullopt;
  const DateInRegion* held = &list.front();
  for (const auto& date : list) {
    if (earlier(date, *held)) held = &date;
  }
  return *held;
}

std::optional<DateInRegion> DateInRegion::newestIn(const std::vector<DateInRegion>& list) {
  if (list.empty()) return std::nullopt;
  const DateInRegion* held = &list.front();
  for (const auto& date : list) {
    double instant = date.timeIntervalSince1970();
    if (std::isnan(instant)) continue;
    if (std::isnan(held->timeIntervalSince1970()) || instant > held->timeIntervalSince1970()) {
      held = &date;
    }
  }
  return *held;
}

std::vector<DateInRegion> DateInRegion::sortedByOldest(const std::vector<DateInRegion>& list) {
  std::vector<DateInRegion> sorted = list;
  std::stable_sort(sorted.begin(), sorted.end(), earlier);
  return sorted;
}

std::vector<DateInRegion> DateInRegion::sortedByNewest(const std::vector<DateInRegion>& list) {
  std::vector<DateInRegion> sorted = list;
  // Newest first; instants that are not a number still go last.
  std::stable_sort(sorted.begin(), sorted.end(), [](const DateInRegion& a, const DateInRegion& b) {
    bool aNaN = std::isnan(a.timeIntervalSince1970());
    bool bNaN = std::isnan(b.timeIntervalSince1970());
    if (aNaN || bNaN) return !aNaN && bNaN;
    return earlier(b, a);
  });
  return sorted;
}

std::vector<DateInRegion> DateInRegion::enumerateDates(const DateInRegion& from,
                                                       const DateInRegion& to,
                                                       const Increment& increment) {
  if (differentCalendars(from, to)) return {};
  std::vector<DateInRegion> result;
  DateInRegion current = from;
  while (current.date() <= to.date()) {
    result.push_back(current);
    auto next = current.adding(increment(current));
    // A step that gives no date, or does not move forward, would never reach the end.
    if (!next || next->date() <= current.date()) break;
    current = DateInRegion(next->date(), from.region());
  }
  return result;
}

std::vector<DateInRegion> DateInRegion::enumerateDates(const DateInRegion& from,
                                                       const DateInRegion& to,
                                                       const platform::DateComponents& increment) {
  if (differentCalendars(from, to)) return {};
  std::vector<DateInRegion> result;
  if (from.date() > to.date()) return result;
  result.push_back(from);
  int behind = 0;
  // Each date is counted from `from`, so a month end clamped once does not stay clamped.
  for (std::int64_t n = 1; behind < 2; ++n) {
    auto step = increment.multiplied(n);
    if (!step) break;
    auto candidate = from.adding(*step);
    if (!candidate) break;
    if (candidate->date() <= result.back().date()) {
      ++behind;
      continue;
    }
    if (candidate->date() > to.date()) break;
    behind = 0;
    result.push_back(DateInRegion(candidate->date(), from.region()));
  }
  return result;
}

std::vector<DateInRegion> DateInRegion::datesForWeekday(WeekDay weekday, const DateInRegion& from,
                                                        const DateInRegion& to,
                                                        const Region& region) {
  const platform::Calendar& calendar = region.calendar();
  std::int64_t w = calendar.component(Component::weekday, from.date());
  std::int64_t advance = (weekday.rawValue() - w + 7) % 7;
  auto startOfDayAfter = [&](platform::Date date,
                             std::int64_t days) -> std::optional<platform::Date> {
    auto moved = calendar.dateByAdding(Component::day, days, date);
    if (!moved) return std::nullopt;
    return calendar.startOfDay(*moved);
  };
  std::vector<DateInRegion> result;
  auto candidate = startOfDayAfter(from.date(), advance);
  // Every date is the start of its day: the next is the start of the day a week after the last
  // day, not the last instant plus a week, which keeps a late start after a short night.
  while (candidate && *candidate < to.date() &&
         (result.empty() || *candidate > result.back().date())) {
    result.emplace_back(*candidate, region);
    candidate = startOfDayAfter(*candidate, 7);
  }
  return result;
}

}  // namespace almanac
