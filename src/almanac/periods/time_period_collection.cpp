#include "almanac/periods/time_period_collection.h"

#include "almanac/periods/stable_merge_sort.h"

namespace almanac {
namespace {

using Bound = std::optional<DateInRegion> (TimePeriodProtocol::*)() const;

// Without the bound before with it; both without, or both with and tied, neither first.
TimePeriodCollection::Comparator byBound(Bound bound, SortMode mode) {
  return [bound, descending = mode == SortMode::descending](const TimePeriodProtocol& a,
                                                            const TimePeriodProtocol& b) {
    auto aDate = (a.*bound)();
    auto bDate = (b.*bound)();
    if (!aDate) return bDate.has_value();
    if (!bDate) return false;
    return periods_detail::numberBefore(aDate->timeIntervalSince1970(),
                                        bDate->timeIntervalSince1970(), descending);
  };
}

std::shared_ptr<TimePeriodCollection> query(
    const std::vector<TimePeriodPointer>& periods,
    const std::function<bool(const TimePeriodProtocol&)>& isIncluded) {
  std::vector<TimePeriodPointer> found;
  for (const auto& period : periods) {
    if (isIncluded(*period)) found.push_back(period);
  }
  return std::make_shared<TimePeriodCollection>(std::move(found));
}

}  // namespace

TimePeriodCollection::Comparator TimePeriodCollection::comparator(const SortType& type) {
  if (auto s = type.as<SortType::start>()) return byBound(&TimePeriodProtocol::start, s->mode);
  if (auto e = type.as<SortType::end>()) return byBound(&TimePeriodProtocol::end, e->mode);
  if (auto d = type.as<SortType::duration>()) {
    return [descending = d->mode == SortMode::descending](const TimePeriodProtocol& a,
                                                          const TimePeriodProtocol& b) {
      return periods_detail::numberBefore(a.timeSpan(), b.timeSpan(), descending);
    };
  }
  return type.as<SortType::custom>()->comesBefore;
}

void TimePeriodCollection::appendPeriod(const TimePeriodPointer& period) {
  if (!period) return;
  list().push_back(period);
  widenBounds(*period);
}

void TimePeriodCollection::appendPeriods(const std::vector<TimePeriodPointer>& periods) {
  for (const auto& period : periods)
    appendPeriod(period);
}

void TimePeriodCollection::appendGroup(const TimePeriodGroup& group) {
  appendPeriods(group.periods());
}

bool TimePeriodCollection::insertPeriod(const TimePeriodPointer& period, std::int64_t index) {
  auto& periods = list();
  if (!period || index < 0 || static_cast<std::uint64_t>(index) > periods.size()) return false;
  periods.insert(periods.begin() + static_cast<std::ptrdiff_t>(index), period);
  widenBounds(*period);
  return true;
}

bool TimePeriodCollection::removePeriod(std::int64_t index) {
  auto& periods = list();
  if (index < 0 || static_cast<std::uint64_t>(index) >= periods.size()) return false;
  periods.erase(periods.begin() + static_cast<std::ptrdiff_t>(index));
  recomputeBounds();
  return true;
}

void TimePeriodCollection::removeAllPeriods() {
  list().clear();
  recomputeBounds();
}

void TimePeriodCollection::sortPeriods(const SortType& type) {
  auto before = comparator(type);
  auto sorted = periods_detail::stableMergeSorted(
      periods(),
      [&](const TimePeriodPointer& a, const TimePeriodPointer& b) { return before(*a, *b); });
  setPeriods(std::move(sorted));
}

std::shared_ptr<TimePeriodCollection> TimePeriodCollection::sortedPeriods(
    const SortType& type) const {
  auto copy = std::make_shared<TimePeriodCollection>(periods());
  copy->sortPeriods(type);
  return copy;
}

std::shared_ptr<TimePeriodCollection> TimePeriodCollection::periodsWithin(
    const TimePeriodProtocol& period) const {
  return query(periods(), [&](const TimePeriodProtocol& q) { return q.liesWithin(period); });
}

std::shared_ptr<TimePeriodCollection> TimePeriodCollection::periodsIncluding(
    const DateInRegion& date) const {
  return query(periods(), [&](const TimePeriodProtocol& q) {
    return q.includesDate(date, IntervalType::closed);
  });
}

std::shared_ptr<TimePeriodCollection> TimePeriodCollection::periodsNotSeparatedFrom(
    const TimePeriodProtocol& period) const {
  return query(periods(),
               [&](const TimePeriodProtocol& q) { return q.isNotSeparatedFrom(period); });
}

std::shared_ptr<TimePeriodCollection> TimePeriodCollection::periodsSharingTimeWith(
    const TimePeriodProtocol& period) const {
  return query(periods(),
               [&](const TimePeriodProtocol& q) { return q.sharesTimeWithBounded(period); });
}

std::shared_ptr<TimePeriodCollection> TimePeriodCollection::selectPeriods(
    const Predicate& isIncluded) const {
  auto selection = std::make_shared<TimePeriodCollection>();
  for (const auto& period : periods()) {
    if (isIncluded(period)) selection->appendPeriod(period);
  }
  return selection;
}

void TimePeriodCollection::widenBounds(const TimePeriodProtocol& period) {
  if (numberOfPeriods() == 1) {
    setStart(period.start());
    setEnd(period.end());
    return;
  }
  setStart(earlierOf(start(), period.start()));
  setEnd(laterOf(end(), period.end()));
}

void TimePeriodCollection::recomputeBounds() {
  const auto& periods = list();
  if (periods.empty()) {
    setStart(std::nullopt);
    setEnd(std::nullopt);
    return;
  }
  setStart(periods.front()->start());
  setEnd(periods.front()->end());
  for (std::size_t i = 1; i < periods.size(); ++i) {
    setStart(earlierOf(start(), periods[i]->start()));
    setEnd(laterOf(end(), periods[i]->end()));
  }
}

std::optional<DateInRegion> TimePeriodCollection::earlierOf(const std::optional<DateInRegion>& a,
                                                            const std::optional<DateInRegion>& b) {
  if (!a || !b) return std::nullopt;
  return *a <= *b ? a : b;
}

std::optional<DateInRegion> TimePeriodCollection::laterOf(const std::optional<DateInRegion>& a,
                                                          const std::optional<DateInRegion>& b) {
  if (!a || !b) return std::nullopt;
  return *a >= *b ? a : b;
}

}  // namespace almanac
