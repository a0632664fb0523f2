#include "platform/graphics/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using platform::WorkerPool;

TEST(WorkerPool, RunsEveryItemExactlyOnce) {
  WorkerPool pool(3);
  for (std::size_t count : {0u, 1u, 2u, 5u, 1000u}) {
    std::vector<std::atomic<int>> calls(count);
    auto body = [&](std::size_t i) { calls[i].fetch_add(1); };
    pool.parallelFor(count, body);
    for (std::size_t i = 0; i < count; ++i)
      ASSERT_EQ(calls[i].load(), 1) << count << ":" << i;
  }
}

TEST(WorkerPool, SeveralCallersShareTheWorkers) {
  WorkerPool pool(2);
  std::vector<std::thread> callers;
  std::vector<long> sums(4, 0);
  for (std::size_t t = 0; t < sums.size(); ++t) {
    callers.emplace_back([&, t] {
      for (int batch = 0; batch < 200; ++batch) {
        std::vector<long> parts(7, 0);
        auto body = [&](std::size_t i) { parts[i] = long(i) + batch; };
        pool.parallelFor(parts.size(), body);
        for (long part : parts)
          sums[t] += part;
      }
    });
  }
  for (auto& caller : callers)
    caller.join();
  // Each batch: 0+1+...+6 plus 7 times the batch number.
  const long expected = 200 * 21 + 7 * (199 * 200 / 2);
  for (long sum : sums)
    EXPECT_EQ(sum, expected);
}

TEST(WorkerPool, ItemsRunAtTheSameTime) {
  WorkerPool pool(3);
  std::atomic<int> running{0};
  std::atomic<int> overlapping{0};
  auto body = [&](std::size_t) {
    running.fetch_add(1);
    // Waits (bounded) for a second item to be running alongside this one.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (running.load() < 2 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    if (running.load() >= 2) overlapping.fetch_add(1);
  };
  pool.parallelFor(2, body);
  EXPECT_EQ(overlapping.load(), 2);
}

TEST(WorkerPool, WithoutWorkersTheCallerRunsEverything) {
  WorkerPool pool(0);
  EXPECT_EQ(pool.threadCount(), 0u);
  const auto caller = std::this_thread::get_id();
  int onCaller = 0;
  auto body = [&](std::size_t) { onCaller += std::this_thread::get_id() == caller; };
  pool.parallelFor(5, body);
  EXPECT_EQ(onCaller, 5);
}

}  // namespace
