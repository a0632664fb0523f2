#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "almanac/date_in_region.h"
#include "platform/time/calendar.h"
#include "platform/time/date_components.h"

namespace almanac {

// Where one period lies with respect to another, read from the receiver's side: `inside` means
// the receiver lies inside the other period, `enclosing` that it encloses the other.
enum class TimePeriodRelation {
  after,
  startTouching,
  startInside,
  insideStartTouching,
  enclosingStartTouching,
  enclosing,
  enclosingEndTouching,
  exactMatch,
  inside,
  insideEndTouching,
  endInside,
  endTouching,
  before,
  none,
};

// Whether a containment test counts the bounds themselves.
enum class IntervalType { open, closed };

// The point of a period that stays put while it grows or shrinks.
enum class TimePeriodAnchor { beginning, center, end };

// A span between two dates, either of which may be missing. A missing bound is never an error:
// every operation answers a neutral value for it (no relation, false, the greatest length). The
// bounds are not kept in order either; the operations that need an ordered period check it.
class TimePeriodProtocol {
 public:
  virtual ~TimePeriodProtocol() = default;

  virtual std::optional<DateInRegion> start() const = 0;
  virtual void setStart(std::optional<DateInRegion> start) = 0;
  virtual std::optional<DateInRegion> end() const = 0;
  virtual void setEnd(std::optional<DateInRegion> end) = 0;

  bool hasDefinedStart() const { return start().has_value(); }
  bool hasDefinedEnd() const { return end().has_value(); }
  bool isBounded() const { return hasDefinedStart() && hasDefinedEnd(); }

  // Seconds between the bounds, made positive; the greatest finite double without both bounds.
  double timeSpan() const;
  // Whole calendar units from start to end in the start's region (negative for an inverted
  // period); the greatest 64-bit integer without both bounds, or when the calendar cannot count
  // them (a bound beyond its range). Weeks are weeks of the month.
  std::int64_t durationInYears() const;
  std::int64_t durationInMonths() const;
  std::int64_t durationInWeeks() const;
  std::int64_t durationInDays() const;
  std::int64_t durationInHours() const;
  std::int64_t durationInMinutes() const;
  std::int64_t durationInSeconds() const;
  // The components from start to end in the start's calendar; none unless bounded, or when a
  // bound lies beyond the calendar's range.
  std::optional<platform::DateComponents> componentsBetweenBounds(
      const platform::Calendar::ComponentSet& components) const;
  // One component of that computation; none unless bounded or when the calendar gives no value.
  std::optional<std::int64_t> difference(platform::Calendar::Component component) const;
  bool isInstant(double tolerance) const;

  // Zero-length and inverted periods relate to nothing, themselves included (`none`).
  TimePeriodRelation relationToPeriod(const TimePeriodProtocol& other) const;
  bool liesBefore(const TimePeriodProtocol& other) const;
  bool liesAfter(const TimePeriodProtocol& other) const;
  bool isSeparatedFrom(const TimePeriodProtocol& other) const;
  bool isNotSeparatedFrom(const TimePeriodProtocol& other) const;
  // Seconds of the gap between the two, 0 when they touch or overlap; the greatest finite
  // double unless both are bounded.
  double distanceTo(const TimePeriodProtocol& other) const;
  bool liesWithin(const TimePeriodProtocol& other) const;
  bool includesDate(const DateInRegion& date, IntervalType intervalType) const;
  // Touching alone is not sharing time.
  bool sharesTimeWith(const TimePeriodProtocol& other) const;
  // The same test; false when either period lacks a bound rather than reading an absent date.
  bool sharesTimeWithBounded(const TimePeriodProtocol& other) const;
  // Absent bounds match only absent bounds; present ones match by instant.
  bool hasSameBounds(const TimePeriodProtocol& other) const;

  // In place. A bound moved in place keeps its region and attached formatter; only the center
  // anchor of `extend` makes new dates, without formatter. Absent bounds stay absent.
  void move(double seconds);
  void extend(double seconds, TimePeriodAnchor anchor);
  void reduce(double seconds, TimePeriodAnchor anchor);

 protected:
  TimePeriodProtocol() = default;
  TimePeriodProtocol(const TimePeriodProtocol&) = default;
  TimePeriodProtocol& operator=(const TimePeriodProtocol&) = default;

 private:
  std::int64_t duration(platform::Calendar::Component component) const;
};

using TimePeriodPointer = std::shared_ptr<TimePeriodProtocol>;

// The period object. Periods are shared: whoever holds the pointer sees every change made
// through any other holder (a chain moving its periods, say).
class TimePeriod : public TimePeriodProtocol, public std::enable_shared_from_this<TimePeriod> {
 public:
  TimePeriod() = default;
  TimePeriod(std::optional<DateInRegion> start, std::optional<DateInRegion> end)
      : start_(std::move(start)), end_(std::move(end)) {}

  // The end (start) a new date at that many seconds after the start (before the end), in the
  // given bound's region.
  static std::shared_ptr<TimePeriod> fromStart(const DateInRegion& start, double seconds);
  static std::shared_ptr<TimePeriod> fromEnd(const DateInRegion& end, double seconds);
  // The other bound the given one plus the components (minus them, from the end) in its
  // calendar; no period when the calendar makes no date or the components cannot be negated,
  // so a period never comes back with a bound silently missing.
  static std::shared_ptr<TimePeriod> fromStart(const DateInRegion& start,
                                               const platform::DateComponents& components);
  static std::shared_ptr<TimePeriod> fromEnd(const DateInRegion& end,
                                             const platform::DateComponents& components);
  // From 0001-01-01 to 4001-01-01 in the default region; a new period at every call, since the
  // caller may change it.
  static std::shared_ptr<TimePeriod> widestPeriod();
  static bool isSamePeriod(const TimePeriod& period, const TimePeriodProtocol& other) {
    return period.hasSameBounds(other);
  }

  std::optional<DateInRegion> start() const override { return start_; }
  void setStart(std::optional<DateInRegion> start) override { start_ = std::move(start); }
  std::optional<DateInRegion> end() const override { return end_; }
  void setEnd(std::optional<DateInRegion> end) override { end_ = std::move(end); }

  // New periods; the receiver is left as it is. Recomputed bounds are new dates in the region
  // of the bound they came from, without formatter; absent bounds stay absent.
  std::shared_ptr<TimePeriod> moved(double seconds) const;
  // No period when the calendar makes no date for a present bound.
  std::shared_ptr<TimePeriod> moved(const platform::DateComponents& components) const;
  // At the center both bounds move by the full amount, so the period grows by twice it.
  std::shared_ptr<TimePeriod> extended(double seconds, TimePeriodAnchor anchor) const;
  std::shared_ptr<TimePeriod> reduced(double seconds, TimePeriodAnchor anchor) const;
  std::shared_ptr<TimePeriod> extendedAtBeginning(double seconds) const {
    return extended(seconds, TimePeriodAnchor::beginning);
  }
  std::shared_ptr<TimePeriod> reducedAtBeginning(double seconds) const {
    return reduced(seconds, TimePeriodAnchor::beginning);
  }

 private:
  std::optional<DateInRegion> start_;
  std::optional<DateInRegion> end_;
};

}  // namespace almanac
