#include "almanac/periods/time_period_chain.h"

#include <unordered_set>

#include "platform/foundation/log.h"

namespace almanac {
namespace {

// Moves each distinct object once: a period standing at several positions is still one period.
template <class Iterator>
void moveEachOnce(Iterator first, Iterator last, double seconds) {
  std::unordered_set<const TimePeriodProtocol*> moved;
  for (auto it = first; it != last; ++it) {
    if (moved.insert(it->get()).second) (*it)->move(seconds);
  }
}

}  // namespace

void TimePeriodChain::appendPeriod(const TimePeriodPointer& period) {
  if (!period) return;
  auto& periods = list();
  std::optional<DateInRegion> start = periods.empty() ? period->start() : periods.back()->end();
  if (!period->isBounded() || !start) {
    platform::print(boundsMessage);
    return;
  }
  const double length = period->timeSpan();
  auto added =
      std::make_shared<TimePeriod>(*start, DateInRegion(start->date() + length, start->region()));
  periods.push_back(added);
  if (periods.size() == 1) {
    setStart(period->start());
    // The chain ends where its only period does; for an inverted period that is not the given
    // end, which lies before the start.
    auto givenEnd = period->end();
    bool sameEnd = givenEnd->timeIntervalSince1970() == added->end()->timeIntervalSince1970();
    setEnd(sameEnd ? givenEnd : added->end());
  } else if (auto chainEnd = end()) {
    setEnd(DateInRegion(chainEnd->date() + length, chainEnd->region()));
  }
}

void TimePeriodChain::appendGroup(const TimePeriodGroup& group) {
  for (const auto& period : group.periods())
    appendPeriod(period);
}

bool TimePeriodChain::insertPeriod(const TimePeriodPointer& period, std::int64_t index) {
  if (!period) return false;
  auto& periods = list();
  if (!period->isBounded()) {
    platform::print(boundsMessage);
    return false;
  }
  if (index < 0 || static_cast<std::uint64_t>(index) > periods.size()) return false;
  const auto position = static_cast<std::size_t>(index);
  for (std::size_t i = position; i < periods.size(); ++i) {
    if (!periods[i]->isBounded()) {
      platform::print(boundsMessage);
      return false;
    }
  }
  periods.insert(periods.begin() + static_cast<std::ptrdiff_t>(position), period);
  for (std::size_t i = position + 1; i < periods.size(); ++i) {
    auto& current = periods[i];
    const double length = current->timeSpan();
    auto start = *periods[i - 1]->end();
    current->setStart(start);
    current->setEnd(DateInRegion(start.date() + length, start.region()));
  }
  refreshBounds();
  return true;
}

bool TimePeriodChain::removePeriod(std::int64_t index) {
  auto& periods = list();
  if (index < 0 || static_cast<std::uint64_t>(index) >= periods.size()) return false;
  const auto position = static_cast<std::ptrdiff_t>(index);
  auto removed = periods[static_cast<std::size_t>(index)];
  const bool lengthKnown = removed->isBounded();
  const double length = removed->timeSpan();
  periods.erase(periods.begin() + position);
  if (lengthKnown) moveEachOnce(periods.begin() + position, periods.end(), -length);
  refreshBounds();
  return true;
}

void TimePeriodChain::removeAllPeriods() {
  list().clear();
  refreshBounds();
}

void TimePeriodChain::moveAll(double seconds) {
  auto snapshot = periods();
  moveEachOnce(snapshot.begin(), snapshot.end(), seconds);
  if (auto s = start()) setStart(DateInRegion(s->date() + seconds, s->region()));
  if (auto e = end()) setEnd(DateInRegion(e->date() + seconds, e->region()));
}

TimePeriodPointer TimePeriodChain::removeLastPeriod() {
  auto& periods = list();
  TimePeriodPointer last;
  if (!periods.empty()) {
    last = periods.back();
    periods.pop_back();
  }
  refreshBounds();
  return last;
}

void TimePeriodChain::refreshBounds() {
  const auto& periods = list();
  if (periods.empty()) {
    setStart(std::nullopt);
    setEnd(std::nullopt);
    return;
  }
  setStart(periods.front()->start());
  setEnd(periods.back()->end());
}

}  // namespace almanac
