#include "almanac/periods/time_period_group.h"

#include <algorithm>

#include "almanac/periods/stable_merge_sort.h"

namespace almanac {
namespace {

std::vector<TimePeriodPointer> withoutEmpty(std::vector<TimePeriodPointer> periods) {
  std::erase(periods, nullptr);
  return periods;
}

// No start first, then the latest start first.
bool laterStartFirst(const TimePeriodPointer& a, const TimePeriodPointer& b) {
  auto aStart = a->start();
  auto bStart = b->start();
  if (!aStart) return bStart.has_value();
  if (!bStart) return false;
  return periods_detail::numberBefore(aStart->timeIntervalSince1970(),
                                      bStart->timeIntervalSince1970(), /*descending=*/true);
}

}  // namespace

TimePeriodGroup::TimePeriodGroup(std::vector<TimePeriodPointer> periods)
    : periods_(withoutEmpty(std::move(periods))) {}

void TimePeriodGroup::setPeriods(std::vector<TimePeriodPointer> periods) {
  periods_ = withoutEmpty(std::move(periods));
}

std::optional<double> TimePeriodGroup::span() const {
  if (!start_ || !end_) return std::nullopt;
  return end_->timeIntervalSince(*start_);
}

TimePeriodPointer TimePeriodGroup::period(std::int64_t index) const {
  if (index < 0 || static_cast<std::uint64_t>(index) >= periods_.size()) return nullptr;
  return periods_[static_cast<std::size_t>(index)];
}

std::vector<TimePeriodPointer> TimePeriodGroup::filterPeriods(const Predicate& isIncluded) const {
  std::vector<TimePeriodPointer> result;
  for (const auto& period : periods()) {
    if (isIncluded(period)) result.push_back(period);
  }
  return result;
}

void TimePeriodGroup::forEachPeriod(const Body& body) const {
  for (const auto& period : periods())
    body(period);
}

std::vector<std::vector<TimePeriodPointer>> TimePeriodGroup::splitPeriods(
    std::int64_t maxSplits, bool omittingEmptySubsequences, const Predicate& isSeparator) const {
  const auto snapshot = periods();
  std::vector<std::vector<TimePeriodPointer>> runs;
  auto runStart = snapshot.begin();
  auto appendRun = [&](auto runEnd) {
    if (runStart == runEnd && omittingEmptySubsequences) return false;
    runs.emplace_back(runStart, runEnd);
    return true;
  };
  if (maxSplits <= 0 || snapshot.empty()) {
    appendRun(snapshot.end());
    return runs;
  }
  for (auto it = snapshot.begin(); it != snapshot.end(); ++it) {
    if (!isSeparator(*it)) continue;
    bool appended = appendRun(it);
    runStart = it + 1;
    if (appended && static_cast<std::int64_t>(runs.size()) == maxSplits) break;
  }
  if (runStart != snapshot.end() || !omittingEmptySubsequences) appendRun(snapshot.end());
  return runs;
}

bool operator==(const TimePeriodGroup& a, const TimePeriodGroup& b) {
  if (a.periods_.size() != b.periods_.size()) return false;
  auto left = periods_detail::stableMergeSorted(a.periods_, laterStartFirst);
  auto right = periods_detail::stableMergeSorted(b.periods_, laterStartFirst);
  for (std::size_t i = 0; i < left.size(); ++i) {
    if (!left[i]->hasSameBounds(*right[i])) return false;
  }
  return true;
}

}  // namespace almanac
