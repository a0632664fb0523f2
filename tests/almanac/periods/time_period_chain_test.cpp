#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "almanac/periods/support/period_fixtures.h"
#include "almanac/periods/time_period_chain.h"
#include "almanac/periods/time_period_collection.h"
#include "platform/foundation/log.h"

namespace almanac {
namespace {

using period_testing::at;
using period_testing::bounds;
using period_testing::period;
using period_testing::seconds;
using period_testing::secondsAt;
using period_testing::span;

const std::string boundsLine =
    "All TimePeriods in a TimePeriodChain must contain a defined start and end date\n";

TEST(TimePeriodChain, AppendsCopiesThatContinueTheChain) {
  TimePeriodChain chain;
  auto first = period(9, 0, 10, 0);
  chain.appendPeriod(first);
  EXPECT_EQ(bounds(chain.periods()), (std::vector{span(9, 0, 10, 0)}));
  EXPECT_NE(chain.period(0), first);  // a new period, not the one given
  EXPECT_EQ(seconds(chain.start()), secondsAt(9));
  EXPECT_EQ(seconds(chain.end()), secondsAt(10));

  chain.appendPeriod(period(15, 0, 15, 30));
  chain.appendPeriod(period(14, 0, 13, 0));  // inverted: its length all the same
  EXPECT_EQ(bounds(chain.periods()),
            (std::vector{span(9, 0, 10, 0), span(10, 0, 10, 30), span(10, 30, 11, 30)}));
  EXPECT_EQ(seconds(chain.start()), secondsAt(9));
  EXPECT_EQ(seconds(chain.end()), secondsAt(11, 30));
}

// The chain's end is its only period's end, not the given inverted period's earlier one.
TEST(TimePeriodChain, EndsAfterAnInvertedFirstPeriod) {
  TimePeriodChain chain;
  chain.appendPeriod(period(12, 0, 10, 0));
  EXPECT_EQ(bounds(chain.periods()), (std::vector{span(12, 0, 14, 0)}));
  EXPECT_EQ(seconds(chain.start()), secondsAt(12));
  EXPECT_EQ(seconds(chain.end()), secondsAt(14));
  chain.appendPeriod(period(8, 0, 9, 0));
  EXPECT_EQ(seconds(chain.end()), secondsAt(15));
  EXPECT_EQ(seconds(chain.end()), seconds(chain.period(1)->end()));
}

TEST(TimePeriodChain, InsertsThePeriodItselfAndRechainsTheLaterOnes) {
  TimePeriodChain chain;
  chain.appendPeriod(period(9, 0, 10, 0));
  chain.appendPeriod(period(10, 0, 10, 30));
  auto later = chain.period(1);
  auto inserted = period(8, 0, 8, 20);
  EXPECT_TRUE(chain.insertPeriod(inserted, 1));
  EXPECT_EQ(bounds(chain.periods()),
            (std::vector{span(9, 0, 10, 0), span(8, 0, 8, 20), span(8, 20, 8, 50)}));
  EXPECT_EQ(chain.period(1), inserted);
  EXPECT_EQ(chain.period(2), later);  // moved in place, so every holder sees it
  EXPECT_EQ(seconds(chain.start()), secondsAt(9));
  EXPECT_EQ(seconds(chain.end()), secondsAt(8, 50));

  EXPECT_TRUE(chain.insertPeriod(period(7, 0, 7, 10), 3));
  EXPECT_EQ(seconds(chain.end()), secondsAt(7, 10));
}

TEST(TimePeriodChain, RemovesAndMovesTheLaterPeriodsBack) {
  auto make = [] {
    auto chain = std::make_shared<TimePeriodChain>();
    chain->appendPeriod(period(9, 0, 10, 0));
    chain->appendPeriod(period(10, 0, 10, 30));
    chain->appendPeriod(period(10, 30, 12, 0));
    return chain;
  };
  auto chain = make();
  EXPECT_TRUE(chain->removePeriod(0));
  EXPECT_EQ(bounds(chain->periods()), (std::vector{span(9, 0, 9, 30), span(9, 30, 11, 0)}));
  EXPECT_EQ(seconds(chain->start()), secondsAt(9));
  EXPECT_EQ(seconds(chain->end()), secondsAt(11));

  chain = make();
  EXPECT_TRUE(chain->removePeriod(2));
  EXPECT_EQ(bounds(chain->periods()), (std::vector{span(9, 0, 10, 0), span(10, 0, 10, 30)}));
  EXPECT_EQ(seconds(chain->end()), secondsAt(10, 30));

  EXPECT_EQ(seconds(chain->removeLastPeriod()->start()), secondsAt(10));
  chain->removeAllPeriods();
  EXPECT_EQ(chain->numberOfPeriods(), 0u);
  EXPECT_EQ(chain->removeLastPeriod(), nullptr);
  EXPECT_FALSE(chain->start().has_value());
  EXPECT_FALSE(chain->end().has_value());
}

struct RefusalCase {
  const char* name;
  std::vector<TimePeriodPointer> list;
  std::function<bool(TimePeriodChain&)> change;  // its answer, true for appends
  bool printsLine;
};

// A change the chain cannot make whole leaves list, periods and bounds exactly as they were.
TEST(TimePeriodChain, RefusesChangesItCannotMakeWhole) {
  auto append = [](std::shared_ptr<TimePeriod> p) {
    return [p](TimePeriodChain& c) {
      c.appendPeriod(p);
      return false;
    };
  };
  auto insert = [](std::shared_ptr<TimePeriod> p, std::int64_t index) {
    return [p, index](TimePeriodChain& c) { return c.insertPeriod(p, index); };
  };
  auto remove = [](std::int64_t index) {
    return [index](TimePeriodChain& c) { return c.removePeriod(index); };
  };
  auto bounded = [] {
    return std::vector<TimePeriodPointer>{period(9, 0, 10, 0), period(10, 0, 11, 0)};
  };
  const std::vector<RefusalCase> cases = {
      {"append without start to an empty chain", {}, append(period(std::nullopt, at(10))), true},
      {"append without end to an empty chain", {}, append(period(at(10), std::nullopt)), true},
      {"append without end after others", bounded(), append(period(at(10), std::nullopt)), true},
      {"append after a last period without end",
       {period(9, 0, 10, 0), period(at(10), std::nullopt)},
       append(period(11, 0, 12, 0)),
       true},
      {"insert without end", bounded(), insert(period(at(8), std::nullopt), 1), true},
      {"insert without start", bounded(), insert(period(std::nullopt, at(8)), 0), true},
      {"insert beyond the count", bounded(), insert(period(8, 0, 9, 0), 3), false},
      {"insert before the list", bounded(), insert(period(8, 0, 9, 0), -1), false},
      {"insert before a period without end",
       {period(9, 0, 10, 0), period(at(10), std::nullopt)},
       insert(period(8, 0, 8, 30), 0),
       true},
      {"insert before a period without start",
       {period(9, 0, 10, 0), period(std::nullopt, at(11)), period(11, 0, 12, 0)},
       insert(period(8, 0, 8, 30), 1),
       true},
      {"remove past the end", bounded(), remove(2), false},
      {"remove before the start", bounded(), remove(-1), false},
      {"remove from an empty chain", {}, remove(0), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TimePeriodChain chain(c.list);
    chain.refreshBounds();
    const auto before = bounds(chain.periods());
    const auto list = chain.periods();
    const double start = seconds(chain.start());
    const double end = seconds(chain.end());
    platform::LogCapture capture;
    EXPECT_FALSE(c.change(chain));
    EXPECT_EQ(capture.text(), c.printsLine ? boundsLine : "");
    EXPECT_EQ(chain.periods(), list);
    EXPECT_EQ(bounds(chain.periods()), before);
    EXPECT_EQ(seconds(chain.start()), start);
    EXPECT_EQ(seconds(chain.end()), end);
  }
}

// Without a length to move by, the later periods stay where they are.
TEST(TimePeriodChain, LeavesLaterPeriodsWhenTheRemovedLengthIsUnknown) {
  TimePeriodChain chain({period(9, 0, 10, 0), period(at(10), std::nullopt), period(11, 0, 12, 0)});
  EXPECT_TRUE(chain.removePeriod(1));
  EXPECT_EQ(bounds(chain.periods()), (std::vector{span(9, 0, 10, 0), span(11, 0, 12, 0)}));
  EXPECT_EQ(seconds(chain.end()), secondsAt(12));
}

TEST(TimePeriodChain, MovesEachSharedPeriodOnceForEveryHolder) {
  auto a = period(9, 0, 10, 0);
  auto b = period(10, 0, 11, 0);
  TimePeriodChain chain({a, b, b});
  TimePeriodCollection collection({b});
  EXPECT_FALSE(chain.start().has_value());  // built from a list: no bounds yet

  chain.moveAll(600);
  EXPECT_EQ(bounds({a, b}), (std::vector{span(9, 10, 10, 10), span(10, 10, 11, 10)}));
  EXPECT_FALSE(chain.start().has_value());

  EXPECT_TRUE(chain.removePeriod(0));
  EXPECT_EQ(bounds(collection.periods()), (std::vector{span(9, 10, 10, 10)}));
  EXPECT_EQ(seconds(chain.start()), secondsAt(9, 10));

  chain.refreshBounds();
  chain.moveAll(-600);
  EXPECT_EQ(bounds(chain.periods()), (std::vector{span(9, 0, 10, 0), span(9, 0, 10, 0)}));
  EXPECT_EQ(seconds(chain.start()), secondsAt(9));
  EXPECT_EQ(seconds(chain.end()), secondsAt(10));
}

TEST(TimePeriodChain, AppendsItselfOnce) {
  TimePeriodChain chain;
  chain.appendPeriod(period(9, 0, 10, 0));
  chain.appendPeriod(period(9, 0, 9, 30));
  chain.appendGroup(chain);
  EXPECT_EQ(bounds(chain.periods()), (std::vector{span(9, 0, 10, 0), span(10, 0, 10, 30),
                                                  span(10, 30, 11, 30), span(11, 30, 12, 0)}));
  EXPECT_EQ(seconds(chain.end()), secondsAt(12));
}

}  // namespace
}  // namespace almanac
