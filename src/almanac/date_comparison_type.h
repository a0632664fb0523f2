#pragma once

#include <variant>

#include "almanac/date_in_region.h"
#include "almanac/plain_date.h"

namespace almanac {

// The questions `DateInRegion::compare` answers. The first six carry the date they compare
// with, as a copy of either kind of date, read in that date's own region.
class DateComparisonType {
 public:
  using Other = std::variant<PlainDate, DateInRegion>;

  struct isSameDay {
    Other date;
  };
  struct isSameWeek {
    Other date;
  };
  struct isSameMonth {
    Other date;
  };
  struct isSameYear {
    Other date;
  };
  struct isEarlier {
    Other than;
  };
  struct isLater {
    Other than;
  };
  struct isToday {};
  struct isTomorrow {};
  struct isYesterday {};
  struct isThisWeek {};
  struct isNextWeek {};
  struct isLastWeek {};
  struct isThisMonth {};
  struct isNextMonth {};
  struct isLastMonth {};
  struct isThisYear {};
  struct isNextYear {};
  struct isLastYear {};
  struct isInTheFuture {};
  struct isInThePast {};
  struct isWeekday {};
  struct isWeekend {};
  struct isMorning {};
  struct isAfternoon {};
  struct isEvening {};
  struct isNight {};
  struct isInDST {};

  using Case = std::variant<isSameDay, isSameWeek, isSameMonth, isSameYear, isEarlier, isLater,
                            isToday, isTomorrow, isYesterday, isThisWeek, isNextWeek, isLastWeek,
                            isThisMonth, isNextMonth, isLastMonth, isThisYear, isNextYear,
                            isLastYear, isInTheFuture, isInThePast, isWeekday, isWeekend, isMorning,
                            isAfternoon, isEvening, isNight, isInDST>;

  template <class C>
  requires std::is_constructible_v<Case, C> DateComparisonType(C value) : case_(std::move(value)) {}

  const Case& value() const { return case_; }

  // The date a case carries, read through the date protocol.
  static const DateRepresentable& representable(const Other& other) {
    return std::visit([](const auto& date) -> const DateRepresentable& { return date; }, other);
  }

 private:
  Case case_;
};

}  // namespace almanac
