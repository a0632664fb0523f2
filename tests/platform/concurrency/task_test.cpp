#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/concurrency/checked_continuation.h"
#include "platform/concurrency/support/gate.h"
#include "platform/concurrency/task.h"
#include "platform/concurrency/wait_for.h"
#include "platform/dispatch/main_queue.h"
#include "platform/foundation/log.h"

namespace platform {
namespace {

Task<int> setFlag(std::shared_ptr<std::atomic<int>> flag) {
  flag->store(1);
  co_return 7;
}

Task<int> produce(test::Gate<int> gate, bool fail) {
  int v = co_await gate.wait();
  if (fail) throw std::runtime_error("produce failed");
  co_return v * 2;
}

Task<std::string> consume(Task<int> task) {
  try {
    int v = co_await task;
    co_return std::to_string(v);
  } catch (const std::runtime_error& e) {
    co_return std::string("error: ") + e.what();
  }
}

TEST(Task, StartsAtOnceOnTheCreatorsQueue) {
  struct Row {
    const char* name;
    bool fromMainItem;
    bool expectMain;
  };
  const Row rows[] = {{"from a global-queue item", false, false},
                      {"from a main-queue item", true, true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto flag = std::make_shared<std::atomic<int>>(0);
    std::optional<Task<int>> task;
    if (row.fromMainItem) {
      DispatchQueue::main()->async([&] { task.emplace(setFlag(flag)); });
      drainMainQueue();
    } else {
      std::atomic<bool> created{false};
      DispatchQueue::global()->async([&] {
        task.emplace(setFlag(flag));
        created.store(true);
      });
      ASSERT_TRUE(runMainUntil([&] { return created.load(); }, 5));
    }
    // Nobody awaits: the body runs anyway.
    EXPECT_TRUE(runMainUntil([&] { return flag->load() == 1; }, 5));
    EXPECT_EQ(task->executor() == DispatchQueue::main(), row.expectMain);
    EXPECT_EQ(waitFor(*task), 7);
  }
}

TEST(Task, EveryAwaiterGetsTheSameOutcome) {
  struct Row {
    const char* name;
    bool fail;
    std::string expected;
  };
  const Row rows[] = {{"value", false, "42"}, {"exception", true, "error: produce failed"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    test::Gate<int> gate;
    auto producer = produce(gate, row.fail);
    auto first = consume(producer);
    auto second = consume(producer);
    ASSERT_TRUE(runMainUntil([&] { return gate.isWaiting(); }, 5));
    EXPECT_FALSE(producer.isFinished());
    gate.open(21);
    EXPECT_EQ(waitFor(first), row.expected);
    EXPECT_EQ(waitFor(second), row.expected);
    auto late = consume(producer);  // after the end
    EXPECT_EQ(waitFor(late), row.expected);
    if (row.fail) {
      EXPECT_THROW(producer.result(), std::runtime_error);
    }
  }
}

Task<> produceNothing(test::Gate<int> gate, bool fail) {
  co_await gate.wait();
  if (fail) throw std::runtime_error("nothing failed");
}

Task<std::string> consumeNothing(Task<> task) {
  try {
    co_await task;
    co_return std::string("done");
  } catch (const std::runtime_error& e) {
    co_return std::string("error: ") + e.what();
  }
}

TEST(Task, VoidTaskEndsOrThrowsForEveryAwaiter) {
  struct Row {
    bool fail;
    std::string expected;
  };
  const Row rows[] = {{false, "done"}, {true, "error: nothing failed"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.expected);
    test::Gate<int> gate;
    auto producer = produceNothing(gate, row.fail);
    auto early = consumeNothing(producer);
    ASSERT_TRUE(runMainUntil([&] { return gate.isWaiting(); }, 5));
    gate.open(0);
    EXPECT_EQ(waitFor(early), row.expected);
    EXPECT_EQ(waitFor(consumeNothing(producer)), row.expected);
  }
}

struct CancelProbe {
  std::atomic<int> runs{0};
  std::atomic<bool> returned{false};
  std::atomic<bool> ranAfterReturn{false};
};

Task<int> guarded(test::Gate<int> gate, std::shared_ptr<CancelProbe> probe) {
  auto handler = [probe] {
    if (probe->returned.load()) probe->ranAfterReturn.store(true);
    probe->runs.fetch_add(1);
  };
  auto wait = gate.wait();
  int v = co_await withTaskCancellationHandler(std::move(wait), handler);
  probe->returned.store(true);
  co_return v;
}

TEST(Task, CancellationHandlerRunsAtMostOnceAndNeverAfterReturn) {
  enum class When { beforeAwait, whileWaiting, afterReturn };
  struct Row {
    const char* name;
    When when;
    int expectedRuns;
  };
  const Row rows[] = {{"already cancelled: at once", When::beforeAwait, 1},
                      {"cancelled while waiting, twice", When::whileWaiting, 1},
                      {"cancelled after the operation returned", When::afterReturn, 0}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    test::Gate<int> gate;
    auto probe = std::make_shared<CancelProbe>();
    std::optional<Task<int>> task;
    if (row.when == When::beforeAwait) {
      // Created and cancelled inside one main-queue item, so the body has not run yet.
      DispatchQueue::main()->async([&] {
        task.emplace(guarded(gate, probe));
        task->cancel();
      });
      drainMainQueue();
      EXPECT_EQ(probe->runs.load(), 1);
      ASSERT_TRUE(runMainUntil([&] { return gate.isWaiting(); }, 5));
      gate.open(1);
    } else {
      task.emplace(guarded(gate, probe));
      ASSERT_TRUE(runMainUntil([&] { return gate.isWaiting(); }, 5));
      if (row.when == When::whileWaiting) {
        task->cancel();
        task->cancel();
        EXPECT_EQ(probe->runs.load(), 1);
        gate.open(1);
      } else {
        gate.open(1);
        EXPECT_EQ(waitFor(*task), 1);
        task->cancel();
      }
    }
    EXPECT_EQ(waitFor(*task), 1);
    EXPECT_TRUE(task->isCancelled());
    EXPECT_EQ(probe->runs.load(), row.expectedRuns);
    EXPECT_FALSE(probe->ranAfterReturn.load());
  }
}

Task<int> resumedElsewhere(std::shared_ptr<CancelProbe> probe) {
  auto handler = [probe] {
    if (probe->returned.load()) probe->ranAfterReturn.store(true);
    probe->runs.fetch_add(1);
  };
  auto wait = withCheckedContinuation<int>("race", [](CheckedContinuation<int> c) {
    DispatchQueue::global()->async([c] { c.resume(3); });
  });
  int v = co_await withTaskCancellationHandler(std::move(wait), handler);
  probe->returned.store(true);
  co_return v;
}

TEST(Task, CancelRacingCompletion) {
  constexpr int rounds = 10'000;
  int handlerRuns = 0;
  for (int i = 0; i < rounds; ++i) {
    auto probe = std::make_shared<CancelProbe>();
    auto task = resumedElsewhere(probe);
    std::atomic<bool> cancelled{false};
    DispatchQueue::global()->async([task, &cancelled] {
      task.cancel();
      cancelled.store(true);
    });
    ASSERT_EQ(waitFor(task), 3);
    ASSERT_TRUE(runMainUntil([&] { return cancelled.load(); }, 5));
    ASSERT_LE(probe->runs.load(), 1);
    ASSERT_FALSE(probe->ranAfterReturn.load()) << "round " << i;
    handlerRuns += probe->runs.load();
  }
  // How often cancel won the race, for the record.
  RecordProperty("handlerRuns", handlerRuns);
}

// --- continuations ---

struct ResumeProbe {
  std::atomic<bool> continued{false};
  std::atomic<bool> continuedBeforeResumeReturned{false};
  std::atomic<bool> onMainAfterResume{false};
};

enum class Resumer { insideBody, otherThread, otherThreadThrowing };

Task<int> awaitContinuation(Resumer how, std::shared_ptr<ResumeProbe> probe) {
  int v = 0;
  if (how == Resumer::otherThreadThrowing) {
    auto wait =
        withCheckedThrowingContinuation<int>("throwing()", [](CheckedThrowingContinuation<int> c) {
          std::thread([c] { c.resumeThrowing(std::runtime_error("boom")); }).detach();
        });
    try {
      v = co_await std::move(wait);
    } catch (const std::runtime_error&) {
      v = -1;
    }
  } else {
    auto wait = withCheckedContinuation<int>("value()", [how, probe](CheckedContinuation<int> c) {
      if (how == Resumer::insideBody) {
        c.resume(5);
        probe->continuedBeforeResumeReturned.store(probe->continued.load());
      } else {
        std::thread([c] { c.resume(5); }).detach();
      }
    });
    v = co_await std::move(wait);
  }
  probe->continued.store(true);
  probe->onMainAfterResume.store(DispatchQueue::main()->isCurrent());
  co_return v;
}

TEST(CheckedContinuation, ResumesOnTheTasksQueueNeverInline) {
  struct Row {
    const char* name;
    Resumer how;
    int expected;
  };
  const Row rows[] = {{"inside the body", Resumer::insideBody, 5},
                      {"from another thread at once", Resumer::otherThread, 5},
                      {"throwing from another thread", Resumer::otherThreadThrowing, -1}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    for (int round = 0; round < 200; ++round) {
      auto probe = std::make_shared<ResumeProbe>();
      std::optional<Task<int>> task;
      DispatchQueue::main()->async([&] { task.emplace(awaitContinuation(row.how, probe)); });
      drainMainQueue();
      ASSERT_EQ(waitFor(*task), row.expected);
      ASSERT_TRUE(probe->onMainAfterResume.load());
      ASSERT_FALSE(probe->continuedBeforeResumeReturned.load());
    }
  }
}

TEST(CheckedContinuation, CallbackFormResumesOnceAndReportsADroppedOne) {
  int resumed = 0;
  {
    CheckedContinuation<int> continuation("work()", [&](int v) { resumed += v; });
    auto copy = continuation;
    copy.resume(2);
  }
  EXPECT_EQ(resumed, 2);
  LogCapture capture;
  {
    CheckedContinuation<int> dropped("lost()", [](int) {});
    CheckedThrowingContinuation<int> droppedToo("lostThrowing()",
                                                [](CheckedThrowingContinuation<int>::Outcome) {});
  }
  EXPECT_TRUE(capture.contains("Continuation of lost() was dropped")) << capture.text();
  EXPECT_TRUE(capture.contains("Continuation of lostThrowing() was dropped")) << capture.text();
}

TEST(CheckedContinuationDeathTest, ResumingTwiceStopsTheProgramNamingIt) {
  EXPECT_DEATH(
      {
        CheckedContinuation<int> continuation("twice()", [](int) {});
        continuation.resume(1);
        continuation.resume(2);
      },
      "twice\\(\\) resumed more than once");
  EXPECT_DEATH(
      {
        CheckedThrowingContinuation<int> continuation(
            "twiceThrowing()", [](CheckedThrowingContinuation<int>::Outcome) {});
        continuation.resume(1);
        continuation.resumeThrowing(std::runtime_error("late"));
      },
      "twiceThrowing\\(\\) resumed more than once");
}

}  // namespace
}  // namespace platform
