#include <algorithm>
#include <cmath>

#include "almanac/almanac.h"
#include "almanac/date_comparison_type.h"
#include "almanac/date_components_arithmetic.h"
#include "almanac/date_in_region.h"
#include "almanac/plain_date.h"

namespace almanac {

namespace {

PlainDate plain(const DateInRegion& date) {
  return PlainDate(date.date());
}

std::optional<PlainDate> plain(const std::optional<DateInRegion>& date) {
  if (!date) return std::nullopt;
  return PlainDate(date->date());
}

std::vector<PlainDate> plain(const std::vector<DateInRegion>& dates) {
  std::vector<PlainDate> result;
  result.reserve(dates.size());
  for (const auto& date : dates)
    result.emplace_back(date.date());
  return result;
}

std::vector<DateInRegion> lifted(const std::vector<PlainDate>& dates) {
  std::vector<DateInRegion> result;
  result.reserve(dates.size());
  for (const auto& date : dates)
    result.push_back(date.inDefaultRegion());
  return result;
}

}  // namespace

DateInRegion PlainDate::inDefaultRegion() const {
  return DateInRegion(date_, Almanac::defaultRegion());
}

PlainDate PlainDate::distantPastDate() {
  return PlainDate(platform::Date::distantPast());
}

PlainDate PlainDate::distantFutureDate() {
  return PlainDate(platform::Date::distantFuture());
}

bool PlainDate::isCloseTo(const PlainDate& other, double precision) const {
  return std::abs(date_.timeIntervalSince(other.date_)) < precision;
}

bool PlainDate::compare(const DateComparisonType& type) const {
  return inDefaultRegion().compare(type);
}

platform::ComparisonResult PlainDate::compare(const PlainDate& to, Component granularity) const {
  return inDefaultRegion().compare(to.inDefaultRegion(), granularity);
}

bool PlainDate::isSame(const PlainDate& other, Component granularity) const {
  return compare(other, granularity) == platform::ComparisonResult::orderedSame;
}

bool PlainDate::isBefore(const PlainDate& other, bool orEqual, Component granularity) const {
  return inDefaultRegion().isBefore(other.inDefaultRegion(), orEqual, granularity);
}

bool PlainDate::isAfter(const PlainDate& other, bool orEqual, Component granularity) const {
  return inDefaultRegion().isAfter(other.inDefaultRegion(), orEqual, granularity);
}

bool PlainDate::isInRange(const PlainDate& start, const PlainDate& end, bool orEqual,
                          Component granularity) const {
  return inDefaultRegion().isInRange(start.inDefaultRegion(), end.inDefaultRegion(), orEqual,
                                     granularity);
}

std::optional<double> PlainDate::positionInRange(const PlainDate& start,
                                                 const PlainDate& end) const {
  return inDefaultRegion().positionInRange(start.inDefaultRegion(), end.inDefaultRegion());
}

PlainDate PlainDate::earlierDate(const PlainDate& other) const {
  return date_.timeIntervalSince(other.date_) <= 0 ? *this : other;
}

PlainDate PlainDate::laterDate(const PlainDate& other) const {
  return date_.timeIntervalSince(other.date_) >= 0 ? *this : other;
}

std::optional<PlainDate> PlainDate::oldestIn(const std::vector<PlainDate>& list) {
  auto found = DateInRegion::oldestIn(lifted(list));
  if (!found) return std::nullopt;
  // The element itself, so that its attached formatter comes along.
  return *std::find_if(list.begin(), list.end(), [&](const PlainDate& date) {
    return date.date_.timeIntervalSince1970() == found->timeIntervalSince1970() ||
           (std::isnan(date.date_.timeIntervalSince1970()) &&
            std::isnan(found->timeIntervalSince1970()));
  });
}

std::optional<PlainDate> PlainDate::newestIn(const std::vector<PlainDate>& list) {
  auto found = DateInRegion::newestIn(lifted(list));
  if (!found) return std::nullopt;
  return *std::find_if(list.begin(), list.end(), [&](const PlainDate& date) {
    return date.date_.timeIntervalSince1970() == found->timeIntervalSince1970() ||
           (std::isnan(date.date_.timeIntervalSince1970()) &&
            std::isnan(found->timeIntervalSince1970()));
  });
}

bool PlainDate::isLeapYear() const {
  return inDefaultRegion().isLeapYear();
}

bool PlainDate::isLeapMonth() const {
  return inDefaultRegion().isLeapMonth();
}

double PlainDate::julianDay() const {
  return inDefaultRegion().julianDay();
}

std::int64_t PlainDate::interval(const std::optional<PlainDate>& to, Component component) const {
  return inDefaultRegion().interval(
      to ? std::optional<DateInRegion>(to->inDefaultRegion()) : std::nullopt, component);
}

std::optional<std::int64_t> PlainDate::differenceFrom(Component component,
                                                      const PlainDate& other) const {
  auto all = differencesFrom({component}, other);
  auto found = all.find(component);
  if (found == all.end()) return std::nullopt;
  return found->second;
}

std::map<Component, std::int64_t> PlainDate::differencesFrom(
    const platform::Calendar::ComponentSet& components, const PlainDate& other) const {
  bool otherIsEarlier = other.date_ <= date_;
  platform::Date start = otherIsEarlier ? other.date_ : date_;
  platform::Date end = otherIsEarlier ? date_ : other.date_;
  auto between = Almanac::defaultRegion().calendar().dateComponents(components, start, end);
  std::map<Component, std::int64_t> result;
  for (Component component : components) {
    if (auto value = componentValue(between, component)) result.emplace(component, *value);
  }
  return result;
}

std::vector<PlainDate> PlainDate::enumerateDates(
    const PlainDate& from, const PlainDate& to,
    const std::function<platform::DateComponents(const PlainDate&)>& increment) {
  return plain(DateInRegion::enumerateDates(
      from.inDefaultRegion(), to.inDefaultRegion(),
      [&](const DateInRegion& date) { return increment(PlainDate(date.date())); }));
}

std::vector<PlainDate> PlainDate::enumerateDates(const PlainDate& from, const PlainDate& to,
                                                 const platform::DateComponents& increment) {
  return plain(
      DateInRegion::enumerateDates(from.inDefaultRegion(), to.inDefaultRegion(), increment));
}

PlainDate PlainDate::dateRoundedAt(const RoundDateMode& mode) const {
  return plain(inDefaultRegion().dateRoundedAt(mode));
}

PlainDate PlainDate::dateAtStartOf(Component component) const {
  return plain(inDefaultRegion().dateAtStartOf(component));
}

PlainDate PlainDate::dateAtEndOf(Component component) const {
  return plain(inDefaultRegion().dateAtEndOf(component));
}

PlainDate PlainDate::dateAtStartOf(const std::vector<Component>& components) const {
  return plain(inDefaultRegion().dateAtStartOf(components));
}

PlainDate PlainDate::dateAtEndOf(const std::vector<Component>& components) const {
  return plain(inDefaultRegion().dateAtEndOf(components));
}

std::optional<PlainDate> PlainDate::dateBySet(
    const std::map<Component, std::int64_t>& values) const {
  std::map<Component, std::optional<std::int64_t>> wrapped(values.begin(), values.end());
  return plain(inDefaultRegion().dateBySet(wrapped));
}

std::optional<PlainDate> PlainDate::dateBySet(std::optional<std::int64_t> hour,
                                              std::optional<std::int64_t> min,
                                              std::optional<std::int64_t> secs,
                                              std::optional<std::int64_t> ms,
                                              const TimeCalculationOptions& options) const {
  return plain(inDefaultRegion().dateBySet(hour, min, secs, ms, options));
}

std::optional<PlainDate> PlainDate::dateTruncated(const std::vector<Component>& at) const {
  return plain(inDefaultRegion().dateTruncated(at));
}

std::optional<PlainDate> PlainDate::dateTruncated(Component from) const {
  return plain(inDefaultRegion().dateTruncated(from));
}

PlainDate PlainDate::dateByAdding(std::int64_t count, Component component) const {
  return plain(inDefaultRegion().dateByAdding(count, component));
}

PlainDate PlainDate::dateAt(const DateRelatedType& type) const {
  return plain(inDefaultRegion().dateAt(type));
}

PlainDate PlainDate::dateAtNow(const DateRelatedType& type) {
  return PlainDate(platform::Date::now()).dateAt(type);
}

PlainDate PlainDate::dateAt(std::int64_t weekdayOrdinal, WeekDay weekday,
                            std::optional<std::int64_t> monthNumber,
                            std::optional<std::int64_t> yearNumber) const {
  return plain(inDefaultRegion().dateAt(weekdayOrdinal, weekday, monthNumber, yearNumber));
}

PlainDate PlainDate::nextWeekday(WeekDay weekday, const Region& region) const {
  return plain(DateInRegion(date_, region).nextWeekday(weekday));
}

std::vector<PlainDate> PlainDate::datesForWeekday(WeekDay weekday, const PlainDate& from,
                                                  const PlainDate& to, const Region& region) {
  return plain(DateInRegion::datesForWeekday(weekday, DateInRegion(from.date_, region),
                                             DateInRegion(to.date_, region), region));
}

std::vector<PlainDate> PlainDate::datesForWeekday(WeekDay weekday, std::int64_t inMonth,
                                                  std::int64_t ofYear, const Region& region) {
  return plain(DateInRegion::datesForWeekday(weekday, inMonth, ofYear, region));
}

std::int64_t PlainDate::monthDays() const {
  return inDefaultRegion().monthDays();
}

std::optional<std::int64_t> componentValue(const platform::DateComponents& components,
                                           platform::Calendar::Component component) {
  using C = platform::Calendar::Component;
  if (component == C::calendar || component == C::timeZone || component == C::isLeapMonth) {
    return std::nullopt;
  }
  return components.value(component);
}

std::optional<PlainDate> operator+(const PlainDate& date,
                                   const platform::DateComponents& components) {
  return plain(date.inDefaultRegion().adding(components));
}

std::optional<PlainDate> operator+(const platform::DateComponents& components,
                                   const PlainDate& date) {
  return date + components;
}

std::optional<PlainDate> operator-(const PlainDate& date,
                                   const platform::DateComponents& components) {
  return plain(date.inDefaultRegion() - components);
}

platform::DateComponents operator-(const PlainDate& a, const PlainDate& b) {
  return Almanac::defaultRegion().calendar().dateComponents(allCalendarComponents(), b.date(),
                                                            a.date());
}

}  // namespace almanac
