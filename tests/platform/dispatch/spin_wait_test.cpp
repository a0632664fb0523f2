// Bounded spinning and the hand-offs that count on it: a spin ends as soon as its work shows up
// and never outlasts its budget by much, a beacon vouches for a spinner only while it spins, and
// work handed over at any moment of a spin (just before it ends, while it offers its core, long
// after) always runs.

#include "platform/dispatch/spin_wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/main_queue.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

TEST(SpinWaitTest, EndsWhenReadyOrWhenTheBudgetIsSpent) {
  struct Case {
    const char* name;
    int readyAfterMicros;  // < 0: never
    bool expected;
  };
  const Case cases[] = {
      {"ready from the start", 0, true},
      {"ready while spinning", 30, true},
      {"never ready", -1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::atomic<bool> ready{c.readyAfterMicros == 0};
    std::thread setter;
    if (c.readyAfterMicros > 0) {
      setter = std::thread([&] {
        std::this_thread::sleep_for(std::chrono::microseconds(c.readyAfterMicros));
        ready = true;
      });
    }
    SpinBeacon beacon;
    SpinBudget budget;
    const auto start = Clock::now();
    const bool found = spinUntil(
        budget, [&] { return ready.load(); }, &beacon);
    const auto spent = Clock::now() - start;
    if (setter.joinable()) setter.join();
    // A spin may end before a late setter (or not spin at all on a small or overloaded
    // machine); one that saw nothing ready never says it did.
    if (c.readyAfterMicros == 0) {
      EXPECT_TRUE(found);
    }
    if (!c.expected) {
      EXPECT_FALSE(found);
    }
    // Bounded: even a spin that finds nothing gives up after its budget (the slack is for a
    // machine that takes the core away now and then).
    EXPECT_LT(spent, std::chrono::seconds(1));
    // Whatever ended it, the spinner no longer vouches for itself.
    EXPECT_FALSE(beacon.fresh());
  }
}

TEST(SpinWaitTest, BeaconIsFreshOnlyRightAfterABeat) {
  struct Case {
    const char* name;
    std::int64_t beatAgeNanos;  // < 0: cleared after the beat
    bool fresh;
  };
  const Case cases[] = {
      {"just beat", 0, true},
      {"beat a millisecond ago", 1'000'000, false},
      {"cleared", -1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SpinBeacon beacon;
    // A slow (instrumented) build can let a beat age past freshness before it is read: a fresh
    // beat must be seen fresh at least once in a few tries, a stale one never.
    bool seenFresh = false;
    for (int attempt = 0; attempt < 20 && !seenFresh; ++attempt) {
      beacon.beat(spin_detail::nowNanos() - std::max<std::int64_t>(c.beatAgeNanos, 0));
      if (c.beatAgeNanos < 0) beacon.clear();
      seenFresh = beacon.fresh();
    }
    EXPECT_EQ(seenFresh, c.fresh);
  }
}

TEST(SpinWaitTest, BudgetFollowsHowLongWorkTakesToComeBack) {
  // What one wait taught the budget: work found this far into a spin, a spin that missed, or
  // work that came this long after a spin that missed (the thread had parked meanwhile).
  enum class Kind { found, missed, cameAfterSpin };
  struct Step {
    Kind kind;
    std::int64_t nanos = 0;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    std::int64_t expected;
    std::int64_t placeMost = SpinBudget::kMostNanos;  // the most the place allows
    std::int64_t placeLeast = SpinBudget::kLeastNanos;
  };
  constexpr auto least = SpinBudget::kLeastNanos;
  constexpr auto most = SpinBudget::kMostNanos;
  using enum Kind;
  const Case cases[] = {
      {"work found at once leaves it", {{found, 0}, {found, 0}}, 50'000},
      {"work found late grows it to twice the wait", {{found, 40'000}}, 80'000},
      {"never beyond the most", {{found, 150'000}, {found, 190'000}}, most},
      {"a miss halves it", {{found, 80'000}, {missed}}, 80'000},
      {"misses shrink it to the least", {{missed}, {missed}, {missed}, {missed}, {missed}}, least},
      {"it grows back after misses", {{missed}, {missed}, {missed}, {found, 60'000}}, 120'000},
      // A cycle longer than the spin: a spin that keeps missing learns it from the wake-ups.
      {"work just past a missed spin grows it", {{missed}, {cameAfterSpin, 90'000}}, 180'000},
      {"a late wake-up never shrinks it", {{found, 90'000}, {cameAfterSpin, 30'000}}, 180'000},
      {"work later than the most teaches nothing",
       {{missed}, {cameAfterSpin, most + 1}},
       50'000 / 2},
      // A place that allows less starts and stays within it.
      {"a lower most bounds the start", {}, 30'000, 30'000},
      {"a lower most bounds the growth", {{found, 60'000}}, 80'000, 80'000},
      {"a wake-up past a lower most teaches nothing", {{cameAfterSpin, 90'000}}, 50'000, 80'000},
      {"a least above the most is the most", {{missed}}, 30'000, 30'000, 50'000},
      {"a lower least lets misses shrink it further",
       {{missed}, {missed}, {missed}, {missed}, {missed}},
       2'000,
       least,
       2'000},
      {"it grows back from a lower least",
       {{missed}, {missed}, {missed}, {found, 3'000}},
       6'000,
       least,
       2'000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SpinBudget budget(c.placeMost, c.placeLeast);
    for (const auto& step : c.steps) {
      switch (step.kind) {
        case found:
          budget.found(step.nanos);
          break;
        case missed:
          budget.missed();
          break;
        case cameAfterSpin:
          budget.cameAfterSpin(step.nanos);
          break;
      }
    }
    EXPECT_EQ(budget.nanos(), c.expected);
  }
}

// Work handed over with gaps around the spin budget (so that it lands on spinning, yielding,
// parking and parked threads alike) all runs, on every kind of queue: a lost wake-up would leave
// an item waiting until the test gives up.
TEST(SpinWaitTest, HandOffsAtAnyPointOfASpinAllRun) {
  struct Case {
    const char* name;
    DispatchQueuePtr queue;  // null: the main queue, drained by this thread
  };
  const Case cases[] = {
      {"global queue", DispatchQueue::global()},
      {"serial queue", DispatchQueue::make("spin.serial")},
      {"main queue", nullptr},
  };
  constexpr int kThreads = 4;
  constexpr int kItems = 400;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::atomic<int> ran{0};
    std::vector<std::thread> submitters;
    for (int t = 0; t < kThreads; ++t) {
      submitters.emplace_back([&, t] {
        std::mt19937 random(static_cast<unsigned>(t) * 7919u + 1u);
        std::uniform_int_distribution<int> gapMicros(0, 400);
        auto queue = c.queue ? c.queue : DispatchQueue::main();
        for (int i = 0; i < kItems; ++i) {
          queue->async([&] { ran.fetch_add(1); });
          std::this_thread::sleep_for(std::chrono::microseconds(gapMicros(random)));
        }
      });
    }
    const bool all = runMainUntil([&] { return ran.load() == kThreads * kItems; }, 60);
    for (auto& submitter : submitters)
      submitter.join();
    EXPECT_TRUE(all) << ran.load() << " of " << kThreads * kItems << " ran";
  }
}

}  // namespace
}  // namespace platform
