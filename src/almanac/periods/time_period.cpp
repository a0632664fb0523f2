#include "almanac/periods/time_period.h"

#include <cmath>
#include <limits>

#include "almanac/date_components_arithmetic.h"

namespace almanac {
namespace {

using Component = platform::Calendar::Component;

constexpr double unboundedSpan = std::numeric_limits<double>::max();
constexpr std::int64_t uncountable = std::numeric_limits<std::int64_t>::max();

// A new date at the instant plus the seconds, in the date's region, without its formatter.
DateInRegion newDate(const DateInRegion& date, double seconds) {
  return DateInRegion(date.date() + seconds, date.region());
}

std::optional<DateInRegion> newDate(const std::optional<DateInRegion>& date, double seconds) {
  if (!date) return std::nullopt;
  return newDate(*date, seconds);
}

// Only the instant moves; the region and the attached formatter stay.
std::optional<DateInRegion> movedInPlace(std::optional<DateInRegion> date, double seconds) {
  if (date) date->addTimeInterval(seconds);
  return date;
}

bool sameInstant(const DateInRegion& a, const DateInRegion& b) {
  return a.timeIntervalSince1970() == b.timeIntervalSince1970();
}

// Whether the calendar can place the instant at all: beyond its range it would clamp or wrap
// the date and count from a wrong one.
bool calendarReaches(const DateInRegion& date) {
  return date.calendar().dateInterval(Component::second, date.date()).has_value();
}

// The overlap test shared by both forms of `sharesTimeWith`; both periods bounded.
bool overlaps(const DateInRegion& sStart, const DateInRegion& sEnd, const DateInRegion& pStart,
              const DateInRegion& pEnd) {
  if (pStart < sStart && pEnd > sStart) return true;
  if (pStart >= sStart && pEnd <= sEnd) return true;
  return pStart < sEnd && pEnd > sEnd;
}

}  // namespace

double TimePeriodProtocol::timeSpan() const {
  auto s = start();
  auto e = end();
  if (!s || !e) return unboundedSpan;
  return std::fabs(e->timeIntervalSince1970() - s->timeIntervalSince1970());
}

std::int64_t TimePeriodProtocol::duration(Component component) const {
  return difference(component).value_or(uncountable);
}

std::int64_t TimePeriodProtocol::durationInYears() const {
  return duration(Component::year);
}
std::int64_t TimePeriodProtocol::durationInMonths() const {
  return duration(Component::month);
}
std::int64_t TimePeriodProtocol::durationInWeeks() const {
  return duration(Component::weekOfMonth);
}
std::int64_t TimePeriodProtocol::durationInDays() const {
  return duration(Component::day);
}
std::int64_t TimePeriodProtocol::durationInHours() const {
  return duration(Component::hour);
}
std::int64_t TimePeriodProtocol::durationInMinutes() const {
  return duration(Component::minute);
}
std::int64_t TimePeriodProtocol::durationInSeconds() const {
  return duration(Component::second);
}

std::optional<platform::DateComponents> TimePeriodProtocol::componentsBetweenBounds(
    const platform::Calendar::ComponentSet& components) const {
  auto s = start();
  auto e = end();
  if (!s || !e || !calendarReaches(*s) || !calendarReaches(*e)) return std::nullopt;
  return s->calendar().dateComponents(components, s->date(), e->date());
}

std::optional<std::int64_t> TimePeriodProtocol::difference(Component component) const {
  auto components = componentsBetweenBounds({component});
  if (!components) return std::nullopt;
  auto value = components->value(component);
  if (!value || *value == platform::DateComponents::undefined) return std::nullopt;
  return value;
}

bool TimePeriodProtocol::isInstant(double tolerance) const {
  auto s = start();
  auto e = end();
  if (!s || !e) return false;
  return tolerance >= std::fabs(s->timeIntervalSince1970() - e->timeIntervalSince1970());
}

TimePeriodRelation TimePeriodProtocol::relationToPeriod(const TimePeriodProtocol& other) const {
  using R = TimePeriodRelation;
  auto sStart = start();
  auto sEnd = end();
  auto pStart = other.start();
  auto pEnd = other.end();
  if (!sStart || !sEnd || !pStart || !pEnd) return R::none;
  // Not earlier rather than later or equal, so that an instant that is not a number also
  // makes the period unrelated.
  if (!(*sStart < *sEnd) || !(*pStart < *pEnd)) return R::none;

  const DateInRegion& ss = *sStart;
  const DateInRegion& se = *sEnd;
  const DateInRegion& ps = *pStart;
  const DateInRegion& pe = *pEnd;
  if (pe < ss) return R::after;
  if (sameInstant(pe, ss)) return R::startTouching;
  if (ps < ss && pe < se) return R::startInside;
  if (sameInstant(ps, ss) && pe > se) return R::insideStartTouching;
  if (sameInstant(ps, ss) && pe < se) return R::enclosingStartTouching;
  if (ps > ss && pe < se) return R::enclosing;
  if (ps > ss && sameInstant(pe, se)) return R::enclosingEndTouching;
  if (sameInstant(ps, ss) && sameInstant(pe, se)) return R::exactMatch;
  if (ps < ss && pe > se) return R::inside;
  if (ps < ss && sameInstant(pe, se)) return R::insideEndTouching;
  if (ps < se && pe > se) return R::endInside;
  if (sameInstant(ps, se) && pe > se) return R::endTouching;
  if (ps > se) return R::before;
  return R::none;
}

bool TimePeriodProtocol::liesBefore(const TimePeriodProtocol& other) const {
  return relationToPeriod(other) == TimePeriodRelation::before;
}

bool TimePeriodProtocol::liesAfter(const TimePeriodProtocol& other) const {
  return relationToPeriod(other) == TimePeriodRelation::after;
}

bool TimePeriodProtocol::isSeparatedFrom(const TimePeriodProtocol& other) const {
  return liesBefore(other) || liesAfter(other);
}

bool TimePeriodProtocol::isNotSeparatedFrom(const TimePeriodProtocol& other) const {
  auto relation = relationToPeriod(other);
  return relation != TimePeriodRelation::after && relation != TimePeriodRelation::before;
}

double TimePeriodProtocol::distanceTo(const TimePeriodProtocol& other) const {
  auto sStart = start();
  auto sEnd = end();
  auto pStart = other.start();
  auto pEnd = other.end();
  if (!sStart || !sEnd || !pStart || !pEnd) return unboundedSpan;
  if (*sEnd < *pStart) return std::fabs(pStart->timeIntervalSince(*sEnd));
  if (*pEnd < *sStart) return std::fabs(sStart->timeIntervalSince(*pEnd));
  return 0;
}

bool TimePeriodProtocol::liesWithin(const TimePeriodProtocol& other) const {
  auto sStart = start();
  auto sEnd = end();
  auto pStart = other.start();
  auto pEnd = other.end();
  if (!sStart || !sEnd || !pStart || !pEnd) return false;
  return *pStart <= *sStart && *pEnd >= *sEnd;
}

bool TimePeriodProtocol::includesDate(const DateInRegion& date, IntervalType intervalType) const {
  auto s = start();
  auto e = end();
  if (!s || !e) return false;
  if (intervalType == IntervalType::closed) return *s <= date && date <= *e;
  return *s < date && date < *e;
}

bool TimePeriodProtocol::sharesTimeWith(const TimePeriodProtocol& other) const {
  return sharesTimeWithBounded(other);
}

bool TimePeriodProtocol::sharesTimeWithBounded(const TimePeriodProtocol& other) const {
  auto sStart = start();
  auto sEnd = end();
  auto pStart = other.start();
  auto pEnd = other.end();
  if (!sStart || !sEnd || !pStart || !pEnd) return false;
  return overlaps(*sStart, *sEnd, *pStart, *pEnd);
}

bool TimePeriodProtocol::hasSameBounds(const TimePeriodProtocol& other) const {
  auto same = [](const std::optional<DateInRegion>& a, const std::optional<DateInRegion>& b) {
    if (!a || !b) return !a && !b;
    return sameInstant(*a, *b);
  };
  return same(start(), other.start()) && same(end(), other.end());
}

void TimePeriodProtocol::move(double seconds) {
  if (hasDefinedStart()) setStart(movedInPlace(start(), seconds));
  if (hasDefinedEnd()) setEnd(movedInPlace(end(), seconds));
}

void TimePeriodProtocol::extend(double seconds, TimePeriodAnchor anchor) {
  switch (anchor) {
    case TimePeriodAnchor::beginning:
      if (hasDefinedEnd()) setEnd(movedInPlace(end(), seconds));
      return;
    case TimePeriodAnchor::center:
      if (hasDefinedStart()) setStart(newDate(start(), -seconds / 2));
      if (hasDefinedEnd()) setEnd(newDate(end(), seconds / 2));
      return;
    case TimePeriodAnchor::end:
      if (hasDefinedStart()) setStart(movedInPlace(start(), -seconds));
      return;
  }
}

void TimePeriodProtocol::reduce(double seconds, TimePeriodAnchor anchor) {
  switch (anchor) {
    case TimePeriodAnchor::beginning:
      if (hasDefinedEnd()) setEnd(movedInPlace(end(), -seconds));
      return;
    case TimePeriodAnchor::center:
      if (hasDefinedStart()) setStart(movedInPlace(start(), seconds / 2));
      if (hasDefinedEnd()) setEnd(movedInPlace(end(), -seconds / 2));
      return;
    case TimePeriodAnchor::end:
      if (hasDefinedStart()) setStart(movedInPlace(start(), seconds));
      return;
  }
}

std::shared_ptr<TimePeriod> TimePeriod::fromStart(const DateInRegion& start, double seconds) {
  return std::make_shared<TimePeriod>(start, newDate(start, seconds));
}

std::shared_ptr<TimePeriod> TimePeriod::fromEnd(const DateInRegion& end, double seconds) {
  return std::make_shared<TimePeriod>(newDate(end, -seconds), end);
}

std::shared_ptr<TimePeriod> TimePeriod::fromStart(const DateInRegion& start,
                                                  const platform::DateComponents& components) {
  auto end = start.adding(components);
  if (!end) return nullptr;
  return std::make_shared<TimePeriod>(start, std::move(end));
}

std::shared_ptr<TimePeriod> TimePeriod::fromEnd(const DateInRegion& end,
                                                const platform::DateComponents& components) {
  auto back = negated(components);
  if (!back) return nullptr;
  auto start = end.adding(*back);
  if (!start) return nullptr;
  return std::make_shared<TimePeriod>(std::move(start), end);
}

std::shared_ptr<TimePeriod> TimePeriod::widestPeriod() {
  return std::make_shared<TimePeriod>(DateInRegion::distantPast(), DateInRegion::distantFuture());
}

std::shared_ptr<TimePeriod> TimePeriod::moved(double seconds) const {
  return std::make_shared<TimePeriod>(newDate(start_, seconds), newDate(end_, seconds));
}

std::shared_ptr<TimePeriod> TimePeriod::moved(const platform::DateComponents& components) const {
  std::optional<DateInRegion> start;
  std::optional<DateInRegion> end;
  if (start_) {
    start = start_->adding(components);
    if (!start) return nullptr;
  }
  if (end_) {
    end = end_->adding(components);
    if (!end) return nullptr;
  }
  return std::make_shared<TimePeriod>(std::move(start), std::move(end));
}

std::shared_ptr<TimePeriod> TimePeriod::extended(double seconds, TimePeriodAnchor anchor) const {
  switch (anchor) {
    case TimePeriodAnchor::beginning:
      return std::make_shared<TimePeriod>(start_, newDate(end_, seconds));
    case TimePeriodAnchor::center:
      return std::make_shared<TimePeriod>(newDate(start_, -seconds), newDate(end_, seconds));
    case TimePeriodAnchor::end:
      break;
  }
  return std::make_shared<TimePeriod>(newDate(start_, -seconds), end_);
}

std::shared_ptr<TimePeriod> TimePeriod::reduced(double seconds, TimePeriodAnchor anchor) const {
  switch (anchor) {
    case TimePeriodAnchor::beginning:
      return std::make_shared<TimePeriod>(start_, newDate(end_, -seconds));
    case TimePeriodAnchor::center:
      return std::make_shared<TimePeriod>(newDate(start_, seconds / 2),
                                          newDate(end_, -seconds / 2));
    case TimePeriodAnchor::end:
      break;
  }
  return std::make_shared<TimePeriod>(newDate(start_, seconds), end_);
}

}  // namespace almanac
