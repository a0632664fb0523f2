#include "platform/dispatch/operation_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/dispatch/main_queue.h"
#include "support/gate.h"

namespace platform {
namespace {

TEST(OperationQueue, RunsOneOperationAtATimeInOrderEvenOnAConcurrentQueue) {
  OperationQueue queue("test.ops", DispatchQueue::concurrent("test.ops.concurrent"));
  EXPECT_EQ(queue.name(), "test.ops");
  EXPECT_EQ(queue.maxConcurrentOperationCount(), 1);
  std::atomic<int> inFlight{0};
  std::atomic<bool> overlapped{false};
  std::vector<int> seen;
  for (int i = 0; i < 200; ++i) {
    queue.addOperation([&, i] {
      if (++inFlight > 1) overlapped = true;
      for (int k = 0; k < 20; ++k)
        std::this_thread::yield();
      seen.push_back(i);
      --inFlight;
    });
  }
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_FALSE(overlapped);
  ASSERT_EQ(seen.size(), 200u);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
}

TEST(OperationQueue, OwnsASerialQueueWhenNoneIsGiven) {
  OperationQueue queue("test.own");
  ASSERT_NE(queue.underlyingQueue(), nullptr);
  EXPECT_EQ(queue.underlyingQueue()->attributes(), DispatchQueue::Attributes::serial);
  bool onUnderlying = false;
  queue.addOperation([&] { onUnderlying = queue.underlyingQueue()->isCurrent(); });
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(onUnderlying);
}

TEST(OperationQueue, SuspensionHoldsOperationsBackWithoutLosingThem) {
  auto underlying = DispatchQueue::serial("test.suspend");
  OperationQueue queue("test.suspend.ops", underlying);
  std::vector<int> seen;
  queue.setSuspended(true);
  EXPECT_TRUE(queue.isSuspended());
  for (int i = 0; i < 5; ++i)
    queue.addOperation([&, i] { seen.push_back(i); });
  underlying->sync([] {});  // anything scheduled would have run by now
  EXPECT_TRUE(seen.empty());
  queue.setSuspended(false);
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(OperationQueue, SuspendingFromAnOperationStopsTheNextOne) {
  auto underlying = DispatchQueue::serial("test.selfsuspend");
  OperationQueue queue("test.selfsuspend.ops", underlying);
  std::vector<int> seen;
  queue.addOperation([&] {
    seen.push_back(1);
    queue.setSuspended(true);
  });
  queue.addOperation([&] { seen.push_back(2); });
  underlying->sync([] {});
  underlying->sync([] {});
  EXPECT_EQ(seen, std::vector<int>{1});
  queue.setSuspended(false);
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(seen, (std::vector<int>{1, 2}));
}

TEST(OperationQueue, RunsOnTheMainQueue) {
  OperationQueue queue("test.main.ops", DispatchQueue::main());
  std::vector<int> seen;
  bool onMain = true;
  for (int i = 0; i < 3; ++i) {
    queue.addOperation([&, i] {
      onMain = onMain && DispatchQueue::main()->isCurrent();
      seen.push_back(i);
    });
  }
  EXPECT_TRUE(runMainUntil([&] { return seen.size() == 3; }));
  EXPECT_TRUE(onMain);
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2}));
}

TEST(OperationQueue, OperationsOutliveTheQueueObject) {
  testsupport::Gate gate;
  std::atomic<int> ran{0};
  {
    OperationQueue queue("test.outlive");
    queue.addOperation([&] { gate.wait(); });
    queue.addOperation([&] { ++ran; });
  }
  gate.open();
  EXPECT_TRUE(runMainUntil([&] { return ran == 1; }));
}

}  // namespace
}  // namespace platform
