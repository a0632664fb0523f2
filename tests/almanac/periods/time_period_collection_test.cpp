#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "almanac/periods/support/period_fixtures.h"
#include "almanac/periods/time_period_collection.h"

namespace almanac {
namespace {

using period_testing::at;
using period_testing::bounds;
using period_testing::period;
using period_testing::seconds;
using period_testing::secondsAt;
using period_testing::span;

// Positions in `named` of each period of the list, to compare orders by name.
std::string order(const std::vector<TimePeriodPointer>& list,
                  const std::map<std::string, TimePeriodPointer>& named) {
  std::string text;
  for (const auto& p : list) {
    for (const auto& [name, q] : named) {
      if (q == p) text += name;
    }
  }
  return text;
}

TEST(TimePeriodCollection, WidensItsBoundsAsPeriodsArrive) {
  TimePeriodCollection c;
  c.appendPeriod(period(10, 0, 11, 0));
  c.appendPeriod(period(9, 0, 12, 0));
  EXPECT_EQ(seconds(c.start()), secondsAt(9));
  EXPECT_EQ(seconds(c.end()), secondsAt(12));
  c.appendPeriods({period(10, 30, 10, 45)});
  EXPECT_EQ(seconds(c.start()), secondsAt(9));
  EXPECT_EQ(seconds(c.end()), secondsAt(12));

  c.appendPeriod(period(std::nullopt, at(11)));
  EXPECT_FALSE(c.start().has_value());
  EXPECT_TRUE(c.insertPeriod(period(8, 0, 9, 0), 0));
  EXPECT_FALSE(c.start().has_value());
  EXPECT_TRUE(c.removePeriod(4));  // the period without start
  EXPECT_EQ(seconds(c.start()), secondsAt(8));

  TimePeriodCollection ends({period(10, 0, 11, 0), period(9, 0, 10, 0), period(12, 0, 13, 0)});
  EXPECT_TRUE(ends.removePeriod(1));
  EXPECT_EQ(seconds(ends.end()), secondsAt(13));
  EXPECT_EQ(seconds(ends.start()), secondsAt(10));
}

// A collection built from a list has no bounds, and appends cannot widen what is absent.
TEST(TimePeriodCollection, KeepsAbsentBoundsFromItsListUntilARemoval) {
  TimePeriodCollection c({period(10, 0, 11, 0), period(12, 0, 13, 0)});
  c.appendPeriod(period(9, 0, 10, 0));
  EXPECT_TRUE(c.insertPeriod(period(14, 0, 15, 0), 1));
  EXPECT_FALSE(c.start().has_value());
  EXPECT_FALSE(c.end().has_value());
  EXPECT_TRUE(c.removePeriod(0));
  EXPECT_EQ(seconds(c.start()), secondsAt(9));
  EXPECT_EQ(seconds(c.end()), secondsAt(15));
  c.removeAllPeriods();
  EXPECT_FALSE(c.start().has_value());
  EXPECT_FALSE(c.end().has_value());
}

TEST(TimePeriodCollection, RefusesIndexesOutsideTheList) {
  TimePeriodCollection c;
  c.appendPeriod(period(10, 0, 11, 0));
  EXPECT_FALSE(c.insertPeriod(period(8, 0, 9, 0), 2));
  EXPECT_FALSE(c.insertPeriod(period(8, 0, 9, 0), -1));
  EXPECT_FALSE(c.removePeriod(1));
  EXPECT_FALSE(c.removePeriod(-1));
  EXPECT_EQ(bounds(c.periods()), (std::vector{span(10, 0, 11, 0)}));
  EXPECT_EQ(seconds(c.start()), secondsAt(10));
  EXPECT_EQ(c.period(1), nullptr);
  EXPECT_EQ(c.period(-1), nullptr);
}

struct SortCase {
  const char* name;
  SortType type;
  std::string expected;
};

TEST(TimePeriodCollection, SortsStablyWithMissingBoundsFirst) {
  using S = SortType;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  DateInRegion notANumber(platform::Date::fromTimeIntervalSince1970(nan), at(0).region());
  const std::map<std::string, TimePeriodPointer> named = {
      {"a", period(12, 0, 13, 0)},        {"b", period(std::nullopt, at(9))},
      {"c", period(8, 0, 8, 30)},         {"d", period(12, 0, 12, 30)},
      {"e", period(at(7), std::nullopt)}, {"f", period(notANumber, at(10))},
      {"g", period(at(11), notANumber)},
  };
  const std::vector<SortCase> cases = {
      {"start ascending", S::start{SortMode::ascending}, "becgadf"},
      {"start descending", S::start{SortMode::descending}, "badgcef"},
      {"end ascending", S::end{SortMode::ascending}, "ecbfdag"},
      {"end descending", S::end{SortMode::descending}, "eadfbcg"},
      // Equal lengths keep their order; missing bounds are the longest; NaN lengths come last.
      {"duration ascending", S::duration{SortMode::ascending}, "cdabefg"},
      {"duration descending", S::duration{SortMode::descending}, "beacdfg"},
      {"custom", S::custom{[](const TimePeriodProtocol& x, const TimePeriodProtocol& y) {
         return x.hasDefinedStart() && !y.hasDefinedStart();
       }},
       "acdefgb"},
  };
  std::vector<TimePeriodPointer> list;
  for (const char* name : {"a", "b", "c", "d", "e", "f", "g"})
    list.push_back(named.at(name));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TimePeriodCollection collection;
    collection.appendPeriods(list);
    collection.appendPeriod(period(1, 0, 2, 0));
    EXPECT_TRUE(collection.removePeriod(7));
    const double start = seconds(collection.start());

    auto sorted = collection.sortedPeriods(c.type);
    EXPECT_EQ(order(sorted->periods(), named), c.expected);
    EXPECT_FALSE(sorted->start().has_value());
    EXPECT_FALSE(sorted->end().has_value());
    EXPECT_EQ(order(collection.periods(), named), "abcdefg");

    collection.sortPeriods(c.type);
    EXPECT_EQ(order(collection.periods(), named), c.expected);
    EXPECT_EQ(seconds(collection.start()), start);
  }
}

struct QueryCase {
  const char* name;
  std::function<std::shared_ptr<TimePeriodCollection>(const TimePeriodCollection&)> query;
  std::string expected;
};

// Against [10:00, 12:00]: a touches its start, b its end, c lies inside, d has no length, e no
// start, f lies after it and g encloses it.
TEST(TimePeriodCollection, AnswersQueriesWithTheSamePeriods) {
  const std::map<std::string, TimePeriodPointer> named = {
      {"a", period(8, 0, 10, 0)},          {"b", period(12, 0, 13, 0)},
      {"c", period(10, 30, 11, 30)},       {"d", period(11, 0, 11, 0)},
      {"e", period(std::nullopt, at(11))}, {"f", period(13, 0, 14, 0)},
      {"g", period(9, 0, 13, 0)},
  };
  auto p = period(10, 0, 12, 0);
  auto unbounded = period(at(10), std::nullopt);
  const std::vector<QueryCase> cases = {
      {"within", [&](const auto& c) { return c.periodsWithin(*p); }, "cd"},
      {"within an unbounded period", [&](const auto& c) { return c.periodsWithin(*unbounded); },
       ""},
      {"including its start", [&](const auto& c) { return c.periodsIncluding(at(10)); }, "ag"},
      {"including its end", [&](const auto& c) { return c.periodsIncluding(at(12)); }, "bg"},
      {"not separated", [&](const auto& c) { return c.periodsNotSeparatedFrom(*p); }, "abcdeg"},
      {"sharing time", [&](const auto& c) { return c.periodsSharingTimeWith(*p); }, "cdg"},
      {"sharing time with an unbounded period",
       [&](const auto& c) { return c.periodsSharingTimeWith(*unbounded); }, ""},
  };
  TimePeriodCollection collection;
  for (const auto& [name, q] : named)
    collection.appendPeriod(q);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto found = c.query(collection);
    EXPECT_EQ(order(found->periods(), named), c.expected);
    EXPECT_FALSE(found->start().has_value());
    EXPECT_FALSE(found->end().has_value());
  }
}

TEST(TimePeriodCollection, SelectsWhilePredicatesThrowOrChangeIt) {
  auto collection = std::make_shared<TimePeriodCollection>();
  collection->appendPeriods({period(10, 0, 11, 0), period(9, 0, 10, 0), period(12, 0, 13, 0)});
  auto selected = collection->selectPeriods([](const TimePeriodPointer& q) {
    return q->start()->timeIntervalSince1970() >= secondsAt(10);
  });
  EXPECT_EQ(bounds(selected->periods()), (std::vector{span(10, 0, 11, 0), span(12, 0, 13, 0)}));
  EXPECT_EQ(seconds(selected->start()), secondsAt(10));
  EXPECT_EQ(seconds(selected->end()), secondsAt(13));

  int calls = 0;
  EXPECT_THROW(collection->selectPeriods([&](const TimePeriodPointer&) -> bool {
    if (++calls == 2) throw std::runtime_error("no");
    return true;
  }),
               std::runtime_error);
  EXPECT_EQ(collection->numberOfPeriods(), 3u);

  // The walk runs over the list as it was when it started.
  auto all = collection->selectPeriods([&](const TimePeriodPointer& q) {
    collection->removePeriod(0);
    collection->appendPeriod(q);
    return true;
  });
  EXPECT_EQ(all->numberOfPeriods(), 3u);
  EXPECT_EQ(collection->numberOfPeriods(), 3u);
}

// Whatever a comparator answers, a sort yields the same periods; if it throws, the list stays.
TEST(TimePeriodCollection, SortsIntoAPermutationWhateverTheComparatorAnswers) {
  std::mt19937 random(20261209);
  std::uniform_int_distribution<int> sizes(0, 100);
  std::uniform_int_distribution<int> minutes(0, 24 * 60);
  std::bernoulli_distribution coin(0.5);
  using Comparator = TimePeriodCollection::Comparator;
  const std::vector<std::pair<const char*, Comparator>> comparators = {
      {"at random",
       [&](const TimePeriodProtocol&, const TimePeriodProtocol&) { return coin(random); }},
      {"always", [](const TimePeriodProtocol&, const TimePeriodProtocol&) { return true; }},
      {"or equal", [](const TimePeriodProtocol& a,
                      const TimePeriodProtocol& b) { return a.timeSpan() <= b.timeSpan(); }},
  };
  for (int round = 0; round < 10'000; ++round) {
    std::vector<TimePeriodPointer> list;
    for (int n = sizes(random); n > 0; --n) {
      int from = minutes(random);
      list.push_back(period(0, from, 0, from + minutes(random) % 5 * 30));
    }
    TimePeriodCollection collection(list);
    const auto& [name, comparator] = comparators[round % comparators.size()];
    collection.sortPeriods(SortType::custom{comparator});
    auto sorted = collection.periods();
    ASSERT_EQ(sorted.size(), list.size()) << name;
    auto expected = list;
    std::ranges::sort(expected);
    std::ranges::sort(sorted);
    ASSERT_EQ(sorted, expected) << name << " in round " << round;

    // The first round of merges alone asks half as many questions as there are periods.
    int calls = 0;
    const int failAt = std::max(1, static_cast<int>(list.size()) / 2);
    bool thrown = false;
    TimePeriodCollection failing(list);
    try {
      failing.sortPeriods(
          SortType::custom{[&](const TimePeriodProtocol& a, const TimePeriodProtocol& b) {
            if (++calls == failAt) throw std::runtime_error("halfway");
            return comparator(a, b);
          }});
    } catch (const std::runtime_error&) {
      thrown = true;
    }
    ASSERT_EQ(thrown, list.size() >= 2) << name << " in round " << round;
    ASSERT_EQ(failing.periods(), list) << name << " in round " << round;
  }
}

}  // namespace
}  // namespace almanac
