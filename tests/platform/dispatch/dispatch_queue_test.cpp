#include "platform/dispatch/dispatch_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/main_queue.h"
#include "support/gate.h"
#include "support/recorder.h"

namespace platform {
namespace {

using testsupport::Gate;

// Counts items running at once and remembers the highest count seen.
struct OverlapProbe {
  std::atomic<int> inFlight{0};
  std::atomic<int> maxInFlight{0};

  void run() {
    int now = ++inFlight;
    int seen = maxInFlight.load();
    while (now > seen && !maxInFlight.compare_exchange_weak(seen, now)) {
    }
    // Give a competing item every chance to start while this one is in flight.
    for (int i = 0; i < 50; ++i)
      std::this_thread::yield();
    --inFlight;
  }
};

TEST(SerialQueue, RunsItemsInSubmissionOrderOneAtATime) {
  auto queue = DispatchQueue::serial("test.order");
  std::vector<int> seen;
  OverlapProbe probe;
  for (int i = 0; i < 500; ++i) {
    queue->async([&, i] {
      probe.run();
      seen.push_back(i);
    });
  }
  queue->sync([] {});
  ASSERT_EQ(seen.size(), 500u);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_EQ(probe.maxInFlight.load(), 1);
}

TEST(SerialQueue, KeepsEachSubmittersOrderUnderConcurrentSubmission) {
  auto queue = DispatchQueue::serial("test.submitters");
  std::vector<std::pair<int, int>> seen;  // (thread, sequence)
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i)
        queue->async([&, t, i] { seen.emplace_back(t, i); });
    });
  }
  for (auto& thread : threads)
    thread.join();
  queue->sync([] {});
  ASSERT_EQ(seen.size(), 800u);
  std::vector<int> last(4, -1);
  for (auto [t, i] : seen) {
    EXPECT_EQ(i, last[t] + 1);
    last[t] = i;
  }
}

TEST(SerialQueue, StaysAliveUntilPendingWorkRuns) {
  std::atomic<int> ran{0};
  Gate gate;
  {
    auto queue = DispatchQueue::serial("test.shortlived");
    queue->async([&] { gate.wait(); });
    for (int i = 0; i < 10; ++i)
      queue->async([&] { ++ran; });
  }
  gate.open();
  EXPECT_TRUE(runMainUntil([&] { return ran == 10; }));
}

// A serial queue hands its list on every few dozen items; the worker that hands it on takes
// it up again unless the pool has other work first, with or without other workers to help.
TEST(SerialQueue, ListsHandedOnBetweenBatchesRunToTheEnd) {
  struct Row {
    const char* name;
    int queues;
    int items;
    bool othersHeld;  // every worker but one waits on a gate until the lists are done
  };
  const Row rows[] = {
      {"one queue, many batches", 1, 1000, false},
      {"queues taking turns", 8, 300, false},
      {"one queue, every other worker held", 1, 1000, true},
      {"queues taking turns, every other worker held", 4, 300, true},
  };
  const int workers = static_cast<int>(std::max(2u, std::thread::hardware_concurrency()));
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Gate release;
    std::atomic<int> held{0};
    if (row.othersHeld) {
      for (int i = 0; i < workers - 1; ++i) {
        DispatchQueue::global()->async([&] {
          ++held;
          release.wait(30);
          --held;
        });
      }
      ASSERT_TRUE(runMainUntil([&] { return held == workers - 1; }, 10));
    }
    std::vector<std::shared_ptr<DispatchQueue>> queues;
    std::vector<std::vector<int>> seen(row.queues);
    std::vector<OverlapProbe> probes(row.queues);
    std::atomic<int> ran{0};
    for (int q = 0; q < row.queues; ++q)
      queues.push_back(DispatchQueue::serial("test.handedOn." + std::to_string(q)));
    for (int i = 0; i < row.items; ++i) {
      for (int q = 0; q < row.queues; ++q) {
        queues[q]->async([&, q, i] {
          probes[q].run();
          seen[q].push_back(i);
          ++ran;
        });
      }
    }
    const bool finished = runMainUntil([&] { return ran == row.queues * row.items; }, 30);
    release.open();
    ASSERT_TRUE(runMainUntil([&] { return held == 0; }, 10));
    ASSERT_TRUE(finished);
    for (int q = 0; q < row.queues; ++q) {
      ASSERT_EQ(seen[q].size(), std::size_t(row.items));
      EXPECT_TRUE(std::is_sorted(seen[q].begin(), seen[q].end()));
      EXPECT_EQ(probes[q].maxInFlight.load(), 1);
    }
  }
}

TEST(ConcurrentQueue, RunsItemsAtTheSameTime) {
  for (auto queue : {DispatchQueue::concurrent("test.concurrent"), DispatchQueue::global(),
                     DispatchQueue::global(QoS::userInitiated)}) {
    SCOPED_TRACE(queue->label());
    // Each item waits for the other: only a queue that runs both at once lets them finish.
    Gate first, second;
    std::atomic<int> met{0};
    queue->async([&] {
      first.open();
      if (second.wait()) ++met;
    });
    queue->async([&] {
      second.open();
      if (first.wait()) ++met;
    });
    EXPECT_TRUE(runMainUntil([&] { return met == 2; }, 15));
  }
}

TEST(ConcurrentQueue, SyncFromPoolThreadsDoesNotStarveThePool) {
  // Far more waiting callers than pool threads: each blocks in sync on work that itself needs
  // a pool thread to run.
  auto serial = DispatchQueue::serial("test.funnel");
  const int callers = 4 * static_cast<int>(std::max(2u, std::thread::hardware_concurrency()));
  std::atomic<int> done{0};
  int total = 0;
  for (int i = 0; i < callers; ++i) {
    DispatchQueue::global()->async([&] {
      serial->sync([&] { ++total; });
      ++done;
    });
  }
  ASSERT_TRUE(runMainUntil([&] { return done == callers; }, 30));
  EXPECT_EQ(serial->sync([&] { return total; }), callers);
}

TEST(TargetQueue, QueuesSharingASerialRootNeverOverlap) {
  auto root = DispatchQueue::serial("test.root");
  auto a = DispatchQueue::serial("test.a", root);
  auto b = DispatchQueue::serial("test.b", root);
  OverlapProbe probe;
  std::atomic<int> ran{0};
  for (int i = 0; i < 300; ++i) {
    for (auto& q : {a, b, root}) {
      q->async([&] {
        probe.run();
        ++ran;
      });
    }
  }
  EXPECT_TRUE(runMainUntil([&] { return ran == 900; }, 30));
  EXPECT_EQ(probe.maxInFlight.load(), 1);
}

TEST(IsCurrent, SeesThroughTargetQueues) {
  auto root = DispatchQueue::serial("test.root");
  auto child = DispatchQueue::serial("test.child", root);
  auto grandchild = DispatchQueue::serial("test.grandchild", child);
  auto other = DispatchQueue::serial("test.other");
  EXPECT_FALSE(root->isCurrent());
  EXPECT_FALSE(child->isCurrent());

  struct Seen {
    bool root, child, grandchild, other;
  };
  auto inGrandchild = grandchild->sync([&] {
    grandchild->dispatchPrecondition();
    root->dispatchPrecondition();
    other->dispatchPrecondition(false);
    return Seen{root->isCurrent(), child->isCurrent(), grandchild->isCurrent(), other->isCurrent()};
  });
  EXPECT_TRUE(inGrandchild.root);
  EXPECT_TRUE(inGrandchild.child);
  EXPECT_TRUE(inGrandchild.grandchild);
  EXPECT_FALSE(inGrandchild.other);

  // A target does not run "through" the queues that target it.
  auto inRoot = root->sync([&] {
    return Seen{root->isCurrent(), child->isCurrent(), grandchild->isCurrent(), false};
  });
  EXPECT_TRUE(inRoot.root);
  EXPECT_FALSE(inRoot.child);
  EXPECT_FALSE(inRoot.grandchild);
}

TEST(IsCurrent, QueueWithoutTargetRunsOnTheGlobalQueueOfItsQoS) {
  auto high = DispatchQueue::make("test.high", DispatchQueue::Attributes::serial, nullptr,
                                  QoS::userInitiated);
  auto seen = high->sync([&] {
    return std::pair{DispatchQueue::global(QoS::userInitiated)->isCurrent(),
                     DispatchQueue::global(QoS::defaultQoS)->isCurrent()};
  });
  EXPECT_TRUE(seen.first);
  EXPECT_FALSE(seen.second);
}

TEST(Sync, FromAnotherQueueRunsThereAndReturnsTheResult) {
  auto caller = DispatchQueue::serial("test.caller");
  auto callee = DispatchQueue::serial("test.callee");
  std::atomic<bool> done{false};
  std::atomic<bool> ranOnCallee{false}, callerStillCurrent{false};
  int result = 0;
  caller->async([&] {
    result = callee->sync([&] {
      ranOnCallee = callee->isCurrent() && !caller->isCurrent();
      return 42;
    });
    callerStillCurrent = caller->isCurrent();
    done = true;
  });
  ASSERT_TRUE(runMainUntil([&] { return done.load(); }));
  EXPECT_EQ(result, 42);
  EXPECT_TRUE(ranOnCallee);
  EXPECT_TRUE(callerStillCurrent);
}

TEST(Sync, WaitsForEarlierItemsAndRethrowsExceptions) {
  auto queue = DispatchQueue::serial("test.sync");
  std::vector<int> seen;
  for (int i = 0; i < 5; ++i)
    queue->async([&, i] { seen.push_back(i); });
  queue->sync([&] { seen.push_back(5); });
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4, 5}));

  EXPECT_THROW(queue->sync([]() -> int { throw std::runtime_error("no"); }), std::runtime_error);
  // The queue keeps working after an item threw through sync.
  EXPECT_EQ(queue->sync([] { return 7; }), 7);
}

TEST(Sync, ConcurrentQueueFromItselfIsAllowed) {
  auto queue = DispatchQueue::concurrent("test.reentrant");
  EXPECT_EQ(queue->sync([&] { return queue->sync([] { return 3; }); }), 3);
}

TEST(WorkItem, CancelledBeforeItRunsNeverRuns) {
  auto queue = DispatchQueue::serial("test.cancel");
  Gate gate;
  std::vector<int> seen;
  queue->async([&] { gate.wait(); });
  auto kept = std::make_shared<DispatchWorkItem>([&] { seen.push_back(1); });
  auto dropped = std::make_shared<DispatchWorkItem>([&] { seen.push_back(2); });
  queue->async(kept);
  queue->async(dropped);
  dropped->cancel();
  gate.open();
  queue->sync([] {});
  EXPECT_EQ(seen, std::vector<int>{1});
  EXPECT_TRUE(dropped->isCancelled());
  EXPECT_FALSE(kept->isCancelled());
}

TEST(AsyncAfter, RunsInDueOrderThenSubmissionOrder) {
  auto queue = DispatchQueue::serial("test.timer");
  testsupport::Recorder<char> seen;
  auto record = [&](char c) { return [&, c] { seen.add(c); }; };
  queue->asyncAfter(-1, record('0'));  // a negative delay means now
  // Gaps wide enough that scheduling jitter on a loaded machine cannot reorder them.
  queue->asyncAfter(0.20, record('d'));
  queue->asyncAfter(0.05, record('a'));
  queue->asyncAfter(0.15, record('c'));
  queue->asyncAfter(0.10, record('b'));
  auto cancelled = std::make_shared<DispatchWorkItem>(record('x'));
  queue->asyncAfter(0.01, cancelled);
  cancelled->cancel();
  ASSERT_TRUE(runMainUntil([&] { return seen.size() == 5; }));
  EXPECT_EQ(seen.entries(), (std::vector<char>{'0', 'a', 'b', 'c', 'd'}));
}

TEST(AsyncAfter, EqualDelaysKeepSubmissionOrder) {
  auto queue = DispatchQueue::serial("test.timer.equal");
  std::vector<int> seen;
  std::atomic<int> count{0};
  for (int i = 0; i < 50; ++i) {
    queue->asyncAfter(0.01, [&, i] {
      seen.push_back(i);
      ++count;
    });
  }
  ASSERT_TRUE(runMainUntil([&] { return count == 50; }));
  queue->sync([] {});
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
}

TEST(Shutdown, ExitWithWorkPendingEverywhereDoesNotHang) {
  EXPECT_EXIT(
      {
        auto root = DispatchQueue::serial("test.exit.root");
        auto child = DispatchQueue::serial("test.exit.child", root);
        for (int i = 0; i < 100; ++i) {
          child->async([] { std::this_thread::yield(); });
          DispatchQueue::global()->async([] { std::this_thread::yield(); });
          DispatchQueue::global(QoS::userInteractive)->async([] {});
          DispatchQueue::main()->async([] {});
        }
        root->asyncAfter(3600, [] {});
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(DispatchDeathTest, SyncOntoTheCurrentQueueStopsWithAMessage) {
  EXPECT_DEATH(
      {
        auto queue = DispatchQueue::serial("test.self");
        queue->sync([&] { queue->sync([] {}); });
      },
      "sync onto the current queue \"test.self\" would deadlock");
  EXPECT_DEATH(DispatchQueue::main()->sync([] {}),
               "sync onto the current queue \"main\" would deadlock");
}

TEST(DispatchDeathTest, SyncOntoAQueueThatDrainsThroughTheCurrentOneStops) {
  EXPECT_DEATH(
      {
        auto root = DispatchQueue::serial("test.root");
        auto child = DispatchQueue::serial("test.child", root);
        root->sync([&] { child->sync([] {}); });
      },
      "sync onto \"test.child\" from \"test.root\"");
}

TEST(DispatchDeathTest, PreconditionFailureStops) {
  auto queue = DispatchQueue::serial("test.precondition");
  EXPECT_DEATH(queue->dispatchPrecondition(), "expected to run on queue \"test.precondition\"");
  EXPECT_DEATH(queue->sync([&] { queue->dispatchPrecondition(false); }),
               "expected not to run on queue");
}

}  // namespace
}  // namespace platform
