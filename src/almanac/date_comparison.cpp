#include <cmath>

#include "almanac/date_comparison_type.h"
#include "almanac/date_in_region.h"

namespace almanac {

namespace {

using Identifier = platform::Calendar::Identifier;
using Component = platform::Calendar::Component;

// Calendars whose years are Gregorian years under another count.
bool hasGregorianYears(Identifier identifier) {
  switch (identifier) {
    case Identifier::gregorian:
    case Identifier::buddhist:
    case Identifier::japanese:
    case Identifier::republicOfChina:
    case Identifier::iso8601:
      return true;
    default:
      return false;
  }
}

// The whole days of the calendar year that holds the date.
std::int64_t daysInYear(const DateInRegion& date) {
  auto year = date.region().calendar().dateInterval(Component::year, date.date());
  if (!year) return 0;
  return std::llround(year->duration / 86400.0);
}

}  // namespace

bool DateInRegion::compare(const DateComparisonType& type) const {
  using T = DateComparisonType;
  auto now = [&] { return DateInRegion(platform::Date::now(), region_); };
  auto nowPlus = [&](std::int64_t count, Component component) {
    return now().dateByAdding(count, component);
  };
  auto same = [&](const DateRepresentable& other, std::initializer_list<Component> components) {
    // Each date is read in its own region.
    for (Component component : components) {
      if (region_.calendar().component(component, date_) !=
          other.calendar().component(component, other.date())) {
        return false;
      }
    }
    return true;
  };
  auto sameDay = [&](const DateRepresentable& other) {
    return region_.calendar().isDateInSameDay(date_, other.date());
  };
  // The week-based year and the week, so that a week of 169 hours is still one week and equal
  // week numbers of different years stay apart.
  auto sameWeek = [&](const DateRepresentable& other) {
    return same(other, {Component::yearForWeekOfYear, Component::weekOfYear});
  };
  auto sameYear = [&](const DateRepresentable& other) {
    return same(other, {Component::era, Component::year});
  };
  auto sameMonth = [&](const DateRepresentable& other) {
    return sameYear(other) && same(other, {Component::month, Component::isLeapMonth});
  };
  std::int64_t h = hour();
  return std::visit(
      [&](const auto& value) -> bool {
        using C = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<C, T::isSameDay>) {
          return sameDay(T::representable(value.date));
        } else if constexpr (std::is_same_v<C, T::isSameWeek>) {
          return sameWeek(T::representable(value.date));
        } else if constexpr (std::is_same_v<C, T::isSameMonth>) {
          return sameMonth(T::representable(value.date));
        } else if constexpr (std::is_same_v<C, T::isSameYear>) {
          return sameYear(T::representable(value.date));
        } else if constexpr (std::is_same_v<C, T::isEarlier>) {
          return date_ <= T::representable(value.than).date();
        } else if constexpr (std::is_same_v<C, T::isLater>) {
          return date_ >= T::representable(value.than).date();
        } else if constexpr (std::is_same_v<C, T::isToday>) {
          return sameDay(now());
        } else if constexpr (std::is_same_v<C, T::isTomorrow>) {
          return sameDay(nowPlus(1, Component::day));
        } else if constexpr (std::is_same_v<C, T::isYesterday>) {
          return sameDay(nowPlus(-1, Component::day));
        } else if constexpr (std::is_same_v<C, T::isThisWeek>) {
          return sameWeek(now());
        } else if constexpr (std::is_same_v<C, T::isNextWeek>) {
          return sameWeek(nowPlus(1, Component::weekOfYear));
        } else if constexpr (std::is_same_v<C, T::isLastWeek>) {
          return sameWeek(nowPlus(-1, Component::weekOfYear));
        } else if constexpr (std::is_same_v<C, T::isThisMonth>) {
          return sameMonth(now());
        } else if constexpr (std::is_same_v<C, T::isNextMonth>) {
          return sameMonth(nowPlus(1, Component::month));
        } else if constexpr (std::is_same_v<C, T::isLastMonth>) {
          return sameMonth(nowPlus(-1, Component::month));
        } else if constexpr (std::is_same_v<C, T::isThisYear>) {
          return sameYear(now());
        } else if constexpr (std::is_same_v<C, T::isNextYear>) {
          return sameYear(nowPlus(1, Component::year));
        } else if constexpr (std::is_same_v<C, T::isLastYear>) {
          return sameYear(nowPlus(-1, Component::year));
        } else if constexpr (std::is_same_v<C, T::isInTheFuture>) {
          return date_ >= now().date_;
        } else if constexpr (std::is_same_v<C, T::isInThePast>) {
          return date_ <= now().date_;
        } else if constexpr (std::is_same_v<C, T::isWeekday>) {
          return !fallsInWeekend();
        } else if constexpr (std::is_same_v<C, T::isWeekend>) {
          // The weekend of the region's locale, which is not Saturday and Sunday everywhere.
          return fallsInWeekend();
        } else if constexpr (std::is_same_v<C, T::isMorning>) {
          return h >= 5 && h <= 11;
        } else if constexpr (std::is_same_v<C, T::isAfternoon>) {
          return h >= 12 && h <= 16;
        } else if constexpr (std::is_same_v<C, T::isEvening>) {
          return h >= 17 && h <= 20;
        } else if constexpr (std::is_same_v<C, T::isNight>) {
          return h >= 21 || h <= 4;
        } else {
          static_assert(std::is_same_v<C, T::isInDST>);
          return region_.timeZone().isDaylightSavingTime(date_);
        }
      },
      type.value());
}

platform::ComparisonResult DateInRegion::compare(const DateInRegion& to,
                                                 Component granularity) const {
  return region_.calendar().compare(date_, to.date_, granularity);
}

bool DateInRegion::isBefore(const DateInRegion& other, bool orEqual, Component granularity) const {
  auto result = compare(other, granularity);
  return result == platform::ComparisonResult::orderedAscending ||
         (orEqual && result == platform::ComparisonResult::orderedSame);
}

bool DateInRegion::isAfter(const DateInRegion& other, bool orEqual, Component granularity) const {
  auto result = compare(other, granularity);
  return result == platform::ComparisonResult::orderedDescending ||
         (orEqual && result == platform::ComparisonResult::orderedSame);
}

bool DateInRegion::isInRange(const DateInRegion& start, const DateInRegion& end, bool orEqual,
                             Component granularity) const {
  return isAfter(start, orEqual, granularity) && isBefore(end, orEqual, granularity);
}

bool DateInRegion::isSame(const DateInRegion& other, Component granularity) const {
  return compare(other, granularity) == platform::ComparisonResult::orderedSame;
}

bool DateInRegion::isCloseTo(const DateInRegion& other, double precision) const {
  return std::abs(timeIntervalSince(other)) <= precision;
}

std::optional<double> DateInRegion::positionInRange(const DateInRegion& start,
                                                    const DateInRegion& end) const {
  double offset = timeIntervalSince(start);
  if (offset < 0) return std::nullopt;
  double span = end.timeIntervalSince(start);
  if (!(span > 0) || offset > span) return std::nullopt;
  return offset / span;
}

DateInRegion DateInRegion::earlierDate(const DateInRegion& other) const {
  return timeIntervalSince(other) <= 0 ? *this : other;
}

DateInRegion DateInRegion::laterDate(const DateInRegion& other) const {
  return timeIntervalSince(other) >= 0 ? *this : other;
}

bool DateInRegion::isLeapMonth() const {
  const platform::Calendar& calendar = region_.calendar();
  Identifier identifier = calendar.identifier();
  if (hasGregorianYears(identifier)) {
    // By the Gregorian year, which these calendars count under other numbers.
    platform::Calendar gregorian(Identifier::gregorian);
    gregorian.setTimeZone(calendar.timeZone());
    if (gregorian.component(Component::year, date_) > 1582) {
      auto days = gregorian.range(Component::day, Component::month, date_);
      return days && days->count() == 29;
    }
  }
  if (identifier == Identifier::hebrew) {
    // Adar I, the month only leap years have.
    return calendar.component(Component::month, date_) == 6;
  }
  auto parts = calendar.dateComponents(
      {Component::day, Component::month, Component::year, Component::isLeapMonth}, date_);
  return parts.isLeapMonth.value_or(false);
}

bool DateInRegion::isLeapYear() const {
  Identifier identifier = region_.calendar().identifier();
  if (hasGregorianYears(identifier)) {
    auto parts = region_.calendar().dateComponents(
        {Component::era, Component::year, Component::hour, Component::minute}, date_);
    parts.month = 2;
    parts.day = 10;
    auto february = fromComponents(parts, region_);
    return february && february->isLeapMonth();
  }
  std::int64_t days = daysInYear(*this);
  switch (identifier) {
    case Identifier::chinese:
    case Identifier::hebrew:
      // Twelve lunar months make 353 to 355 days, thirteen 383 to 385.
      return days >= 376;
    case Identifier::islamic:
    case Identifier::islamicCivil:
    case Identifier::islamicTabular:
    case Identifier::islamicUmmAlQura:
      return days > 354;
    default:
      return days > 365;
  }
}

}  // namespace almanac
