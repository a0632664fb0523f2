// Parking and waking threads: a wake-up is never lost, whichever comes first, never counts twice,
// and timed sleeps end; the pool's hand-offs built on it give every item a thread of its own
// even when every worker was asleep.

#include "platform/dispatch/parking.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/spin_wait.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::int64_t inMillis(int millis) {
  return spin_detail::nowNanos() + std::int64_t(millis) * 1'000'000;
}

TEST(ParkingTest, ParkerKeepsOneWakeUpAndOtherwiseTimesOut) {
  struct Case {
    const char* name;
    int unparksBefore;          // before the first park
    int unparkAfterMillis;      // from another thread, once parked; < 0: never
    std::vector<bool> results;  // of successive parks with a 30 ms deadline
  };
  const Case cases[] = {
      {"a wake-up before the park is kept", 1, -1, {true}},
      {"wake-ups before a park count once", 3, -1, {true, false}},
      {"no wake-up times out", 0, -1, {false}},
      {"a wake-up during the park ends it", 0, 5, {true, false}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Parker parker;
    for (int i = 0; i < c.unparksBefore; ++i)
      parker.unpark();
    std::thread waker;
    if (c.unparkAfterMillis >= 0) {
      waker = std::thread([&] {
        std::this_thread::sleep_for(milliseconds(c.unparkAfterMillis));
        parker.unpark();
      });
    }
    for (bool expected : c.results) {
      const auto start = Clock::now();
      EXPECT_EQ(parker.parkUntil(inMillis(30)), expected);
      // A park that times out does not end early.
      if (!expected) {
        EXPECT_GE(Clock::now() - start, milliseconds(30));
      }
    }
    if (waker.joinable()) waker.join();
  }
}

// Threads parked on their own parkers, woken over and over, some before they park and some
// after: each wake-up ends exactly one park, and none is lost.
TEST(ParkingTest, EveryWakeUpEndsExactlyOnePark) {
  constexpr int kThreads = 6;
  constexpr int kRounds = 300;
  std::vector<Parker> parkers(kThreads);
  std::vector<std::atomic<int>> woken(kThreads);
  std::atomic<int> timedOut{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(static_cast<unsigned>(t) + 1u);
      for (int r = 0; r < kRounds; ++r) {
        if (random() % 2) std::this_thread::sleep_for(std::chrono::microseconds(random() % 50));
        if (parkers[t].parkUntil(inMillis(10'000))) {
          woken[t].fetch_add(1);
        } else {
          timedOut.fetch_add(1);
        }
      }
    });
  }
  std::mt19937 random(99);
  for (int r = 0; r < kRounds; ++r) {
    for (int t = 0; t < kThreads; ++t) {
      // One wake-up per park: the last one must have been taken before the next is given.
      while (woken[t].load() < r && timedOut.load() == 0)
        std::this_thread::yield();
      if (random() % 3 == 0) std::this_thread::sleep_for(std::chrono::microseconds(random() % 50));
      parkers[t].unpark();
    }
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(timedOut.load(), 0);
  for (int t = 0; t < kThreads; ++t)
    EXPECT_EQ(woken[t].load(), kRounds) << "thread " << t;
}

TEST(ParkingTest, DoorbellWakesEveryWaiterForRingsAfterItsTicketOnly) {
  struct Case {
    const char* name;
    int waiters;
    bool ringBeforeTicket;
    bool ringBeforeWait;
    int ringAfterMillis;  // once, from another thread; < 0: never
    bool wakesEarly;      // false: waits out its 30 ms
  };
  const Case cases[] = {
      {"a ring between ticket and wait is not lost", 1, false, true, -1, true},
      {"a ring during the wait ends it", 1, false, false, 5, true},
      {"one ring ends every waiter's wait", 4, false, false, 5, true},
      {"no ring times out", 1, false, false, -1, false},
      {"a ring before the ticket does not count", 1, true, false, -1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Doorbell bell;
    if (c.ringBeforeTicket) bell.ring();
    const auto ticket = bell.ticket();
    if (c.ringBeforeWait) bell.ring();
    std::vector<Clock::duration> waited(c.waiters);
    std::vector<std::thread> threads;
    for (int w = 0; w < c.waiters; ++w) {
      threads.emplace_back([&, w] {
        const auto start = Clock::now();
        bell.wait(ticket, inMillis(c.wakesEarly ? 10'000 : 30));
        waited[w] = Clock::now() - start;
      });
    }
    if (c.ringAfterMillis >= 0) {
      std::this_thread::sleep_for(milliseconds(c.ringAfterMillis));
      bell.ring();
    }
    for (auto& thread : threads)
      thread.join();
    for (auto time : waited) {
      if (c.wakesEarly) {
        EXPECT_LT(time, std::chrono::seconds(5));
      } else {
        EXPECT_GE(time, milliseconds(30));
      }
    }
  }
}

// Bursts onto a pool whose workers have spun out (or are spinning, or just parked): every item of
// a burst waits for all the others, so each must get a thread of its own at once, and each runs
// exactly once. A hand-off that counted on the wrong worker strands an item until the bound.
TEST(ParkingTest, BurstsOntoParkedWorkersEachGetAThread) {
  const int burst = std::clamp(static_cast<int>(std::thread::hardware_concurrency()) - 1, 2, 4);
  constexpr int kRounds = 60;
  std::mt19937 random(7);
  // Gaps around the spin budget, and some long enough for every worker to park.
  std::uniform_int_distribution<int> gapMicros(0, 2 * SpinBudget::kMostNanos / 1000);
  for (int round = 0; round < kRounds; ++round) {
    const int gap = round % 5 == 0 ? 3000 : gapMicros(random);
    std::this_thread::sleep_for(std::chrono::microseconds(gap));
    struct Burst {
      std::atomic<int> arrived{0}, together{0}, done{0};
      std::vector<std::atomic<int>> runs;
      explicit Burst(int n) : runs(n) {}
    };
    auto state = std::make_shared<Burst>(burst);
    std::vector<std::thread> submitters;
    for (int i = 0; i < burst; ++i) {
      submitters.emplace_back([&, i] {
        DispatchQueue::global()->async([state, burst, i] {
          state->runs[i].fetch_add(1);
          state->arrived.fetch_add(1);
          const auto until = Clock::now() + std::chrono::seconds(5);
          while (state->arrived.load() < burst && Clock::now() < until)
            std::this_thread::yield();
          if (state->arrived.load() == burst) state->together.fetch_add(1);
          state->done.fetch_add(1);
        });
      });
    }
    for (auto& submitter : submitters)
      submitter.join();
    const auto until = Clock::now() + std::chrono::seconds(30);
    while (state->done.load() < burst && Clock::now() < until)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    ASSERT_EQ(state->together.load(), burst) << "round " << round << " (gap " << gap << " us)";
    for (int i = 0; i < burst; ++i)
      EXPECT_EQ(state->runs[i].load(), 1) << "item " << i;
  }
}

}  // namespace
}  // namespace platform
