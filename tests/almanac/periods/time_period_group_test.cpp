#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "almanac/periods/support/period_fixtures.h"
#include "almanac/periods/time_period_chain.h"
#include "almanac/periods/time_period_group.h"

namespace almanac {
namespace {

using period_testing::at;
using period_testing::bounds;
using period_testing::period;
using period_testing::seconds;
using period_testing::secondsAt;
using period_testing::span;

TEST(TimePeriodGroup, StartsWithoutBoundsWhateverItHolds) {
  TimePeriodGroup empty;
  EXPECT_EQ(empty.numberOfPeriods(), 0u);
  EXPECT_FALSE(empty.start().has_value());
  EXPECT_FALSE(empty.end().has_value());
  EXPECT_FALSE(empty.span().has_value());

  TimePeriodGroup listed({period(10, 0, 11, 0), nullptr, period(12, 0, 13, 0)});
  EXPECT_EQ(listed.numberOfPeriods(), 2u);  // an empty pointer is no period
  EXPECT_FALSE(listed.span().has_value());
  EXPECT_EQ(listed.period(2), nullptr);
  EXPECT_EQ(listed.period(-1), nullptr);
  EXPECT_EQ(seconds(listed.period(1)->start()), secondsAt(12));

  // The span is signed: a chain whose last period ends before its first starts.
  TimePeriodChain chain({period(10, 0, 11, 0), period(8, 0, 9, 0)});
  chain.refreshBounds();
  EXPECT_EQ(chain.span(), -3600);

  auto snapshot = listed.periods();
  listed.setPeriods({});
  EXPECT_EQ(snapshot.size(), 2u);
}

struct EqualityCase {
  const char* name;
  std::vector<TimePeriodPointer> left, right;
  bool equal;
};

TEST(TimePeriodGroup, ComparesPeriodsByBoundsInWhateverOrder) {
  auto a = period(10, 0, 11, 0);
  auto sameStartAsA = period(10, 0, 12, 0);
  auto b = period(8, 0, 9, 0);
  auto noStart = period(std::nullopt, at(9));
  const std::vector<EqualityCase> cases = {
      {"no periods", {}, {}, true},
      {"the same periods reordered", {a, b, noStart}, {noStart, b, a}, true},
      {"equal copies", {a, b}, {period(8, 0, 9, 0), period(10, 0, 11, 0)}, true},
      {"ends differ", {a, b}, {period(10, 0, 11, 1), b}, false},
      {"a start missing on one side", {a, b}, {period(std::nullopt, at(11)), b}, false},
      // Equal starts keep their list order, so these two pair off differently.
      {"equal starts swapped", {a, sameStartAsA}, {sameStartAsA, a}, false},
      {"different counts", {a}, {a, a}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TimePeriodGroup left(c.left);
    TimePeriodGroup right(c.right);
    EXPECT_EQ(left == right, c.equal);
    EXPECT_EQ(right == left, c.equal);
    EXPECT_EQ(left.periods(), c.left);  // the lists themselves are not reordered
  }
  // The groups' own bounds take no part.
  TimePeriodChain withBounds({a, b});
  withBounds.refreshBounds();
  EXPECT_TRUE(withBounds == TimePeriodGroup({b, a}));
}

struct SplitCase {
  const char* name;
  std::string list;  // "s" marks a separator
  std::int64_t maxSplits;
  bool omitting;
  std::vector<std::string> runs;
};

TEST(TimePeriodGroup, SplitsAtSeparatorsWithinTheMaximum) {
  constexpr auto unlimited = std::numeric_limits<std::int64_t>::max();
  const std::vector<SplitCase> cases = {
      {"no cuts", "asbssc", 0, true, {"asbssc"}},
      {"no cuts, empties kept", "asbssc", 0, false, {"asbssc"}},
      {"one cut", "asbssc", 1, true, {"a", "bssc"}},
      {"one cut, empties kept", "asbssc", 1, false, {"a", "bssc"}},
      {"a negative maximum", "asbssc", -1, true, {"asbssc"}},
      {"a negative maximum, empties kept", "asbssc", -1, false, {"asbssc"}},
      {"every cut", "asbssc", unlimited, true, {"a", "b", "c"}},
      {"every cut, empties kept", "asbssc", unlimited, false, {"a", "b", "", "c"}},
      {"an empty run is no cut", "sas", 1, true, {"a"}},
      {"an empty run kept is a cut", "sas", 1, false, {"", "as"}},
      {"nothing", "", 1, true, {}},
      {"nothing, kept", "", 1, false, {""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::map<TimePeriodPointer, char> names;
    std::vector<TimePeriodPointer> list;
    int minute = 0;
    for (char name : c.list) {
      list.push_back(period(10, minute, 10, minute + 1));
      names[list.back()] = name;
      ++minute;
    }
    TimePeriodGroup group(list);
    int calls = 0;
    auto runs = group.splitPeriods(c.maxSplits, c.omitting, [&](const TimePeriodPointer& p) {
      ++calls;
      return names.at(p) == 's';
    });
    std::vector<std::string> named;
    for (const auto& run : runs) {
      named.emplace_back();
      for (const auto& p : run)
        named.back().push_back(names.at(p));
    }
    EXPECT_EQ(named, c.runs);
    if (c.maxSplits <= 0) {
      EXPECT_EQ(calls, 0);
    }
  }
}

// Every walk runs over the list as it was when the walk began.
TEST(TimePeriodGroup, WalksASnapshotWhileTheGroupChanges) {
  TimePeriodChain chain;
  chain.appendPeriod(period(9, 0, 10, 0));
  chain.appendPeriod(period(10, 0, 10, 30));
  for (const auto& p : chain.makeIterator())
    chain.appendPeriod(p);
  EXPECT_EQ(bounds(chain.periods()), (std::vector{span(9, 0, 10, 0), span(10, 0, 10, 30),
                                                  span(10, 30, 11, 30), span(11, 30, 12, 0)}));

  int visited = 0;
  chain.forEachPeriod([&](const TimePeriodPointer&) {
    ++visited;
    chain.removeLastPeriod();
  });
  EXPECT_EQ(visited, 4);
  EXPECT_EQ(chain.numberOfPeriods(), 0u);

  chain.appendPeriod(period(9, 0, 10, 0));
  chain.appendPeriod(period(9, 0, 9, 15));
  auto lengths = chain.mapPeriods([&](const TimePeriodPointer& p) {
    chain.removeAllPeriods();
    return p->timeSpan();
  });
  EXPECT_EQ(lengths, (std::vector<double>{3600, 900}));

  TimePeriodGroup group({period(9, 0, 10, 0), period(10, 0, 12, 0)});
  auto iterator = group.makeIterator();
  group.setPeriods({});
  EXPECT_NE(iterator.next(), nullptr);
  EXPECT_NE(iterator.next(), nullptr);
  EXPECT_EQ(iterator.next(), nullptr);
}

TEST(TimePeriodGroup, PassesClosureFailuresOnUnchanged) {
  struct Refused : std::runtime_error {
    using std::runtime_error::runtime_error;
  };
  TimePeriodGroup group({period(9, 0, 10, 0), period(10, 0, 12, 0), period(12, 0, 13, 0)});
  int calls = 0;
  auto failSecond = [&](const TimePeriodPointer&) -> bool {
    if (++calls == 2) throw Refused("second");
    return true;
  };
  EXPECT_THROW(group.filterPeriods(failSecond), Refused);
  calls = 0;
  EXPECT_THROW(group.forEachPeriod([&](const TimePeriodPointer& p) { failSecond(p); }), Refused);
  calls = 0;
  EXPECT_THROW(group.mapPeriods(failSecond), Refused);
  calls = 0;
  EXPECT_THROW(group.splitPeriods(5, true, failSecond), Refused);
  EXPECT_EQ(calls, 2);  // the walk stopped at the failure

  auto longer =
      group.filterPeriods([](const TimePeriodPointer& p) { return p->timeSpan() > 3600; });
  EXPECT_EQ(bounds(longer), (std::vector{span(10, 0, 12, 0)}));
}

}  // namespace
}  // namespace almanac
