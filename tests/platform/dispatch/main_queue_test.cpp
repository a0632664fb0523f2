#include "platform/dispatch/main_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"

namespace platform {
namespace {

TEST(MainQueue, DrainRunsQueuedItemsAndTheItemsTheyAdd) {
  drainMainQueue();
  std::vector<int> seen;
  auto main = DispatchQueue::main();
  main->async([&] {
    seen.push_back(1);
    main->async([&] { seen.push_back(3); });
  });
  main->async([&] { seen.push_back(2); });
  EXPECT_EQ(drainMainQueue(), 3);
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(drainMainQueue(), 0);
}

TEST(MainQueue, RunMainUntilWakesForWorkFromOtherThreadsAndRunsItOnTheCaller) {
  std::atomic<bool> onMain{false};
  std::thread::id ranOn;
  bool done = false;
  std::thread poster([&] {
    DispatchQueue::main()->async([&] {
      onMain = DispatchQueue::main()->isCurrent();
      ranOn = std::this_thread::get_id();
      done = true;
    });
  });
  EXPECT_TRUE(runMainUntil([&] { return done; }));
  poster.join();
  EXPECT_TRUE(onMain);
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(MainQueue, RunMainUntilNoticesConditionsSetByOtherThreads) {
  std::atomic<bool> flag{false};
  DispatchQueue::global()->async([&] { flag = true; });
  EXPECT_TRUE(runMainUntil([&] { return flag.load(); }));
}

TEST(MainQueue, RunMainUntilGivesUpAfterTheTimeout) {
  EXPECT_FALSE(runMainUntil([] { return false; }, 0.05));
  EXPECT_TRUE(runMainUntil([] { return true; }, 0));
}

TEST(MainQueue, MainThreadIsOnTheMainQueueOtherThreadsAreNot) {
  EXPECT_TRUE(DispatchQueue::main()->isCurrent());
  auto onWorker = DispatchQueue::global()->sync([] { return DispatchQueue::main()->isCurrent(); });
  EXPECT_FALSE(onWorker);
}

TEST(MainQueue, QueuesTargetingMainRunOnTheMainThreadInOrder) {
  auto ui = DispatchQueue::serial("test.ui", DispatchQueue::main());
  std::vector<int> seen;
  bool allOnMain = true;
  for (int i = 0; i < 20; ++i) {
    ui->async([&, i] {
      allOnMain = allOnMain && DispatchQueue::main()->isCurrent() && ui->isCurrent();
      seen.push_back(i);
    });
  }
  ASSERT_TRUE(runMainUntil([&] { return seen.size() == 20; }));
  EXPECT_TRUE(allOnMain);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
}

TEST(MainQueue, SyncOntoMainFromAnotherThreadRunsWhenMainDrains) {
  std::atomic<int> result{0};
  std::thread worker([&] { result = DispatchQueue::main()->sync([] { return 5; }); });
  EXPECT_TRUE(runMainUntil([&] { return result == 5; }));
  worker.join();
}

TEST(MainQueue, DriverIsWokenForNewWork) {
  struct CountingDriver : MainQueueDriver {
    std::atomic<int> wakes{0};
    void wake() override { ++wakes; }
  };
  drainMainQueue();
  DispatchQueue::main()->async([] {});
  auto driver = std::make_shared<CountingDriver>();
  setMainQueueDriver(driver);
  EXPECT_EQ(driver->wakes, 1) << "work queued before the driver arrived";
  DispatchQueue::main()->async([] {});
  EXPECT_EQ(driver->wakes, 2);
  setMainQueueDriver(nullptr);
  EXPECT_EQ(drainMainQueue(), 2) << "a driver never runs the work itself";
}

// A quiet item wakes nobody, and runs in its place with the next drain, whatever wakes it.
TEST(MainQueue, QuietItemsWaitForTheNextDrainInOrder) {
  struct CountingDriver : MainQueueDriver {
    std::atomic<int> wakes{0};
    void wake() override { ++wakes; }
  };
  drainMainQueue();
  auto driver = std::make_shared<CountingDriver>();
  setMainQueueDriver(driver);
  std::vector<int> seen;
  DispatchQueue::main()->async([&] { seen.push_back(1); });
  enqueueOnMainQuietly([&] { seen.push_back(2); });
  DispatchQueue::main()->async([&] { seen.push_back(3); });
  enqueueOnMainQuietly([&] { seen.push_back(4); });
  EXPECT_EQ(driver->wakes, 2) << "quiet items wake nobody";
  wakeMainQueue();
  EXPECT_EQ(driver->wakes, 3);
  setMainQueueDriver(nullptr);
  EXPECT_EQ(drainMainQueue(), 4);
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4}));
  // Waiting for a quiet item posted elsewhere ends once somebody wakes the main queue.
  bool ran = false;
  std::thread poster([&] {
    enqueueOnMainQuietly([&] { ran = true; });
    wakeMainQueue();
  });
  EXPECT_TRUE(runMainUntil([&] { return ran; }));
  poster.join();
}

class VirtualClockTest : public ::testing::Test {
 protected:
  VirtualMainClock clock;
  std::vector<std::string> seen;
  std::function<void()> record(std::string name) {
    return [this, name] { seen.push_back(name + "@" + std::to_string(clock.now())); };
  }
};

TEST_F(VirtualClockTest, RunsDueItemsInTimeThenSubmissionOrder) {
  auto main = DispatchQueue::main();
  main->asyncAfter(2, record("c"));
  main->asyncAfter(1, record("a"));
  main->asyncAfter(1, record("b"));
  main->asyncAfter(5, record("late"));
  clock.advance(1.5);
  EXPECT_EQ(seen, (std::vector<std::string>{"a@1.000000", "b@1.000000"}));
  EXPECT_DOUBLE_EQ(clock.now(), 1.5);
  clock.advance(1.5);
  EXPECT_EQ(seen.back(), "c@2.000000");
  EXPECT_EQ(seen.size(), 3u);
  EXPECT_DOUBLE_EQ(clock.now(), 3);
}

TEST_F(VirtualClockTest, DrainsMainAfterEachItemAndRunsItemsScheduledOnTheWay) {
  auto main = DispatchQueue::main();
  main->asyncAfter(1, [&] {
    seen.push_back("first");
    main->async(record("follow-up"));
    main->asyncAfter(0.5, record("chained"));  // due at 1.5, inside the window
  });
  main->asyncAfter(2, record("second"));
  clock.advance(3);
  EXPECT_EQ(seen, (std::vector<std::string>{"first", "follow-up@1.000000", "chained@1.500000",
                                            "second@2.000000"}));
}

TEST_F(VirtualClockTest, OnlyTheMainQueueUsesVirtualTime) {
  auto main = DispatchQueue::main();
  auto cancelled = std::make_shared<DispatchWorkItem>(record("cancelled"));
  main->asyncAfter(1, cancelled);
  cancelled->cancel();
  std::atomic<bool> realRan{false};
  DispatchQueue::serial("test.real")->asyncAfter(0.01, [&] { realRan = true; });
  EXPECT_TRUE(runMainUntil([&] { return realRan.load(); }));
  EXPECT_TRUE(seen.empty()) << "real time passing does not move the virtual clock";
  clock.advance(2);
  EXPECT_TRUE(seen.empty());
}

TEST(VirtualClock, PendingItemsAreDroppedWithTheClockAndRealTimeReturns) {
  auto owned = std::make_shared<int>(1);
  {
    VirtualMainClock clock;
    DispatchQueue::main()->asyncAfter(1, [owned] {});
  }
  EXPECT_EQ(owned.use_count(), 1);
  bool ran = false;
  DispatchQueue::main()->asyncAfter(0.01, [&] { ran = true; });
  EXPECT_TRUE(runMainUntil([&] { return ran; }));
}

TEST(VirtualClockDeathTest, OnlyOneClockAtATime) {
  EXPECT_DEATH(
      {
        VirtualMainClock a;
        VirtualMainClock b;
      },
      "already installed");
}

}  // namespace
}  // namespace platform
