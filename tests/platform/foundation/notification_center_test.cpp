#include "platform/foundation/notification_center.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/main_queue.h"
#include "support/gate.h"

namespace platform {
namespace {

struct Sender {
  int value = 0;
};

TEST(NotificationCenter, DeliversByNameAndToObserversOfEveryName) {
  auto center = NotificationCenter::make();
  std::vector<std::string> named, all;
  auto t1 = center->addObserver("A", [&](const Notification& n) { named.push_back(n.name); });
  auto t2 = center->addObserver("", [&](const Notification& n) { all.push_back(n.name); });
  center->post("A");
  center->post("B");
  EXPECT_EQ(named, std::vector<std::string>{"A"});
  EXPECT_EQ(all, (std::vector<std::string>{"A", "B"}));
}

// Whether a post would reach anyone agrees with what a post then does, for each kind of observer.
TEST(NotificationCenter, HasObserversAnswersAsAPostWouldDeliver) {
  Sender sender, other;
  struct Row {
    const char* observed;  // the observer's name; none registered when null
    const void* observedSender;
    const void* postedSender;
    bool reached;
  };
  const Row rows[] = {
      {nullptr, nullptr, nullptr, false},  // nobody observes
      {"A", nullptr, nullptr, true},       // the name
      {"", nullptr, nullptr, true},        // every name
      {"B", nullptr, nullptr, false},      // another name
      {"A", &sender, nullptr, false},      // one sender, a post without
      {"A", &sender, &sender, true},       // that sender
      {"A", &sender, &other, false},       // another sender
      {"", nullptr, &other, true},         // every name and sender
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.observed ? row.observed : "(none)"));
    auto center = NotificationCenter::make();
    int delivered = 0;
    ObserverToken token;
    if (row.observed) {
      token = center->addObserver(
          row.observed, [&](const Notification&) { ++delivered; }, row.observedSender);
    }
    EXPECT_EQ(center->hasObservers("A", row.postedSender), row.reached);
    center->post(Notification{"A", {}, row.postedSender, {}});
    EXPECT_EQ(delivered, row.reached ? 1 : 0);
    token.remove();
    EXPECT_FALSE(center->hasObservers("A", row.postedSender));
  }
}

TEST(NotificationCenter, FiltersBySenderIdentityAndCarriesObjectAndUserInfo) {
  auto center = NotificationCenter::make();
  auto mine = std::make_shared<Sender>(Sender{7});
  auto other = std::make_shared<Sender>(Sender{8});
  std::vector<int> filtered, unfiltered;
  int info = 0;
  auto t1 = center->addObserver(
      "changed", [&](const Notification& n) { filtered.push_back(n.objectAs<Sender>()->value); },
      mine.get());
  auto t2 = center->addObserver("changed", [&](const Notification& n) {
    auto sender = n.objectAs<Sender>();
    unfiltered.push_back(sender ? sender->value : -1);
    if (auto it = n.userInfo.find("count"); it != n.userInfo.end()) {
      info = std::any_cast<int>(it->second);
    }
    EXPECT_EQ(n.objectAs<std::string>(), nullptr) << "wrong type reads as empty";
  });
  center->post("changed", mine, {{"count", std::any(3)}});
  center->post("changed", other);
  center->post("changed");
  EXPECT_EQ(filtered, std::vector<int>{7});
  EXPECT_EQ(unfiltered, (std::vector<int>{7, 8, -1}));
  EXPECT_EQ(info, 3);
}

TEST(NotificationCenter, QueueBoundObserverRunsLaterOnItsQueue) {
  auto center = NotificationCenter::make();
  int calls = 0;
  bool onMain = false;
  auto token = center->addObserver(
      "N",
      [&](const Notification&) {
        ++calls;
        onMain = DispatchQueue::main()->isCurrent();
      },
      nullptr, DispatchQueue::main());
  drainMainQueue();
  center->post("N");
  EXPECT_EQ(calls, 0) << "not called on the posting thread";
  drainMainQueue();
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(onMain);

  center->post("N");
  token.remove();  // removed before the queue got to it
  drainMainQueue();
  EXPECT_EQ(calls, 1);
}

TEST(NotificationCenter, TokensRemoveTheirObserver) {
  auto center = NotificationCenter::make();
  int calls = 0;
  auto handler = [&](const Notification&) { ++calls; };
  {
    auto scoped = center->addObserver("N", handler);
    center->post("N");
  }
  center->post("N");
  EXPECT_EQ(calls, 1);

  auto first = center->addObserver("N", handler);
  ObserverToken moved = std::move(first);
  EXPECT_FALSE(first.isActive());
  EXPECT_TRUE(moved.isActive());
  center->post("N");
  EXPECT_EQ(calls, 2);
  moved = center->addObserver("other", handler);  // replacing a token removes its observer
  center->post("N");
  EXPECT_EQ(calls, 2);
  moved.remove();
  moved.remove();
  EXPECT_FALSE(moved.isActive());

  // A token may outlive its center.
  auto orphan = center->addObserver("N", handler);
  center.reset();
  orphan.remove();
}

TEST(NotificationCenter, ObserverMayRemoveItselfOrOthersDuringAPost) {
  auto center = NotificationCenter::make();
  std::vector<std::string> calls;
  ObserverToken self, victim;
  self = center->addObserver("N", [&](const Notification&) {
    calls.push_back("self");
    self.remove();
    victim.remove();
  });
  victim = center->addObserver("N", [&](const Notification&) { calls.push_back("victim"); });
  auto stays = center->addObserver("N", [&](const Notification&) { calls.push_back("stays"); });
  center->post("N");
  center->post("N");
  EXPECT_EQ(calls, (std::vector<std::string>{"self", "stays", "stays"}));
}

TEST(NotificationCenter, ConcurrentPostsAndObserverChurn) {
  auto center = NotificationCenter::make();
  std::atomic<int> stable{0};
  auto token = center->addObserver("N", [&](const Notification&) { ++stable; });
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    while (!stop) {
      auto t = center->addObserver("N", [](const Notification&) {});
      auto q = center->addObserver(
          "N", [](const Notification&) {}, nullptr, DispatchQueue::global());
    }
  });
  std::vector<std::thread> posters;
  for (int t = 0; t < 4; ++t) {
    posters.emplace_back([&] {
      for (int i = 0; i < 500; ++i)
        center->post("N");
    });
  }
  for (auto& p : posters)
    p.join();
  stop = true;
  churn.join();
  EXPECT_EQ(stable, 2000);
}

TEST(NotificationCenter, RemovalWaitsForAHandlerRunningOnAnotherThread) {
  auto center = NotificationCenter::make();
  testsupport::Gate entered, release;
  std::atomic<bool> finished{false};
  auto token = center->addObserver("N", [&](const Notification&) {
    entered.open();
    release.wait();
    for (int i = 0; i < 100; ++i)
      std::this_thread::yield();
    finished = true;
  });
  std::thread poster([&] { center->post("N"); });
  ASSERT_TRUE(entered.wait());
  release.open();
  token.remove();
  // Whatever the handler captured may be destroyed once removal returns.
  EXPECT_TRUE(finished);
  poster.join();
}

}  // namespace
}  // namespace platform
