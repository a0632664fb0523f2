#include <gtest/gtest.h>

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <thread>

#include "app/support/app_test_support.h"
#include "platform/dispatch/dispatch_queue.h"

namespace app {
namespace {

// Runs only Qt's event loop (never drains the main queue itself) until `done` holds.
bool spinQtUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
  }
  return true;
}

}  // namespace

TEST(QtMainQueueDriver, WorkFromAnyThreadRunsOnTheGuiThread) {
  test::qtApplication();
  const auto gui = std::this_thread::get_id();
  std::atomic<int> ran{0};
  std::atomic<bool> onGui{true};
  std::thread poster([&] {
    for (int i = 0; i < 100; ++i) {
      platform::DispatchQueue::main()->async([&] {
        if (std::this_thread::get_id() != gui) onGui = false;
        EXPECT_TRUE(platform::DispatchQueue::main()->isCurrent());
        ++ran;
      });
    }
  });
  poster.join();
  ASSERT_TRUE(spinQtUntil([&] { return ran.load() == 100; }));
  EXPECT_TRUE(onGui.load());
}

TEST(QtMainQueueDriver, DelayedWorkArrivesThroughTheEventLoop) {
  test::qtApplication();
  std::vector<int> order;
  platform::DispatchQueue::main()->asyncAfter(0.05, [&] { order.push_back(2); });
  platform::DispatchQueue::main()->async([&] { order.push_back(1); });
  ASSERT_TRUE(spinQtUntil([&] { return order.size() == 2; }));
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(QtMainQueueDriver, WorkQueuedByWorkRunsToo) {
  test::qtApplication();
  bool inner = false;
  platform::DispatchQueue::main()->async(
      [&] { platform::DispatchQueue::main()->async([&] { inner = true; }); });
  ASSERT_TRUE(spinQtUntil([&] { return inner; }));
}

}  // namespace app
