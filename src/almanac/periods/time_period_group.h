#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

#include "almanac/date_in_region.h"
#include "almanac/periods/time_period.h"

namespace almanac {

// An ordered list of shared periods with the group's own start and end, which only the chain
// and the collection keep. The list holds the period objects themselves, duplicates allowed.
//
// Every walk over the list runs over a snapshot taken when it starts, so the closures given to
// the walks (and the body of a loop over the group) may change the group freely. An empty
// pointer is no period: it is never stored.
class TimePeriodGroup {
 public:
  using Predicate = std::function<bool(const TimePeriodPointer&)>;
  using Body = std::function<void(const TimePeriodPointer&)>;

  // A walk over a snapshot of the list, usable in a range-based for loop.
  class Iterator {
   public:
    explicit Iterator(std::vector<TimePeriodPointer> periods) : periods_(std::move(periods)) {}
    // The next period, or an empty pointer after the last.
    TimePeriodPointer next() {
      return position_ < periods_.size() ? periods_[position_++] : nullptr;
    }
    auto begin() const { return periods_.begin(); }
    auto end() const { return periods_.end(); }

   private:
    std::vector<TimePeriodPointer> periods_;
    std::size_t position_ = 0;
  };

  // The list in the given order, neither sorted nor chained; the bounds stay absent.
  TimePeriodGroup() = default;
  explicit TimePeriodGroup(std::vector<TimePeriodPointer> periods);
  explicit TimePeriodGroup(std::optional<std::vector<TimePeriodPointer>> periods)
      : TimePeriodGroup(std::move(periods).value_or(std::vector<TimePeriodPointer>{})) {}
  virtual ~TimePeriodGroup() = default;

  // A copy: later changes to the group do not reach it.
  std::vector<TimePeriodPointer> periods() const { return periods_; }
  void setPeriods(std::vector<TimePeriodPointer> periods);
  std::optional<DateInRegion> start() const { return start_; }
  std::optional<DateInRegion> end() const { return end_; }

  // End minus start in seconds, signed; none without both.
  std::optional<double> span() const;
  std::size_t numberOfPeriods() const { return periods_.size(); }
  Iterator makeIterator() const { return Iterator(periods_); }
  // The period at the index; an empty pointer outside the list.
  TimePeriodPointer period(std::int64_t index) const;

  // The closures may throw; the exception reaches the caller as it is.
  template <class Transform>
  auto mapPeriods(Transform&& transform) const
      -> std::vector<std::decay_t<std::invoke_result_t<Transform&, const TimePeriodPointer&>>> {
    std::vector<std::decay_t<std::invoke_result_t<Transform&, const TimePeriodPointer&>>> result;
    auto snapshot = periods_;
    result.reserve(snapshot.size());
    for (const auto& period : snapshot)
      result.push_back(transform(period));
    return result;
  }
  std::vector<TimePeriodPointer> filterPeriods(const Predicate& isIncluded) const;
  void forEachPeriod(const Body& body) const;
  // Runs of the list between the separators, separators left out; at most `maxSplits` cuts (a
  // negative maximum makes none), the rest forming the last run. With the flag set, empty runs
  // are left out and do not count as cuts.
  std::vector<std::vector<TimePeriodPointer>> splitPeriods(std::int64_t maxSplits,
                                                           bool omittingEmptySubsequences,
                                                           const Predicate& isSeparator) const;

  // The same periods by bounds, whatever their order: both lists sorted (no start first, then
  // the latest start first, ties in list order) and compared pair by pair. The groups' own
  // bounds take no part.
  friend bool operator==(const TimePeriodGroup& a, const TimePeriodGroup& b);

 protected:
  void setStart(std::optional<DateInRegion> start) { start_ = std::move(start); }
  void setEnd(std::optional<DateInRegion> end) { end_ = std::move(end); }
  // The list itself, for the subclasses' changes.
  std::vector<TimePeriodPointer>& list() { return periods_; }
  const std::vector<TimePeriodPointer>& list() const { return periods_; }

 private:
  std::vector<TimePeriodPointer> periods_;
  std::optional<DateInRegion> start_;
  std::optional<DateInRegion> end_;
};

}  // namespace almanac
