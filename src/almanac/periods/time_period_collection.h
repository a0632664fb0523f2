#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <variant>
#include <vector>

#include "almanac/periods/time_period_group.h"

namespace almanac {

enum class SortMode { ascending, descending };

// How a collection orders its periods: by start, by end or by length with a direction, or by the
// caller's "comes before" answer.
class SortType {
 public:
  struct start {
    SortMode mode;
  };
  struct end {
    SortMode mode;
  };
  struct duration {
    SortMode mode;
  };
  struct custom {
    std::function<bool(const TimePeriodProtocol&, const TimePeriodProtocol&)> comesBefore;
  };

  using Case = std::variant<start, end, duration, custom>;

  template <class C>
  requires std::is_constructible_v<Case, C> SortType(C value) : case_(std::move(value)) {}

  const Case& value() const { return case_; }
  template <class C>
  const C* as() const {
    return std::get_if<C>(&case_);
  }

 private:
  Case case_;
};

// Periods anywhere in time, overlapping or repeated, stored as given. The collection's start and
// end are the earliest start and latest end of its periods; a period without a start (an end)
// leaves the collection's start (end) absent until it is removed.
//
// The collections that sorts and queries answer hold the same period objects as the receiver.
class TimePeriodCollection : public TimePeriodGroup {
 public:
  using Comparator = std::function<bool(const TimePeriodProtocol&, const TimePeriodProtocol&)>;

  // The list as given; the bounds stay absent (and, widened only by appends, stay so until a
  // removal recomputes them).
  using TimePeriodGroup::TimePeriodGroup;

  virtual void appendPeriod(const TimePeriodPointer& period);
  virtual void appendPeriods(const std::vector<TimePeriodPointer>& periods);
  // Each period of a snapshot of the group's list, so a collection may append itself.
  virtual void appendGroup(const TimePeriodGroup& group);
  // False, with nothing changed, for an index beyond the count.
  virtual bool insertPeriod(const TimePeriodPointer& period, std::int64_t index);
  // False, with nothing changed, for an index outside the list.
  virtual bool removePeriod(std::int64_t index);
  virtual void removeAllPeriods();

  // A stable sort. Periods without the sorted bound come first in both directions; instants and
  // lengths that are not a number come after every number. A custom comparator may answer
  // anything (the result is still an order of the same periods) or throw (the list is then left
  // as it was). The bounds do not change.
  virtual void sortPeriods(const SortType& type);
  // A sorted copy with absent bounds; the receiver stays as it is.
  virtual std::shared_ptr<TimePeriodCollection> sortedPeriods(const SortType& type) const;

  // Queries in list order; the answers have absent bounds.
  virtual std::shared_ptr<TimePeriodCollection> periodsWithin(
      const TimePeriodProtocol& period) const;
  // Bounds included.
  virtual std::shared_ptr<TimePeriodCollection> periodsIncluding(const DateInRegion& date) const;
  // Touching, zero-length and unbounded periods are not separated from anything.
  virtual std::shared_ptr<TimePeriodCollection> periodsNotSeparatedFrom(
      const TimePeriodProtocol& period) const;
  // Periods that lack a bound share time with nothing.
  virtual std::shared_ptr<TimePeriodCollection> periodsSharingTimeWith(
      const TimePeriodProtocol& period) const;
  // Built by appending, so its bounds are computed. The predicate may throw: the exception
  // reaches the caller and the receiver is unchanged.
  virtual std::shared_ptr<TimePeriodCollection> selectPeriods(const Predicate& isIncluded) const;

  virtual void widenBounds(const TimePeriodProtocol& period);
  virtual void recomputeBounds();
  // Absent when either is; the earlier (later) one, the first on a tie.
  static std::optional<DateInRegion> earlierOf(const std::optional<DateInRegion>& a,
                                               const std::optional<DateInRegion>& b);
  static std::optional<DateInRegion> laterOf(const std::optional<DateInRegion>& a,
                                             const std::optional<DateInRegion>& b);

 private:
  // The "comes before" answer of the sort type.
  static Comparator comparator(const SortType& type);
};

}  // namespace almanac
