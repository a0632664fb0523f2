#include "platform/foundation/observable.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Model : platform::ObservableObject {
  platform::Published<int> count{*this, 0};
};

TEST(Published, AnnouncesBeforeStoringAndTellsSubscribersAfter) {
  Model model;
  std::vector<std::string> events;
  auto will = model.objectWillChange().subscribe(
      [&] { events.push_back("will:" + std::to_string(model.count.get())); });
  auto sink = model.count.sink([&](const int& v) { events.push_back("did:" + std::to_string(v)); });
  model.count = 3;
  model.count.set(4);
  EXPECT_EQ(events, (std::vector<std::string>{"did:0", "will:0", "did:3", "will:3", "did:4"}));
}

TEST(Published, CancelledSubscriptionsStopReceiving) {
  Model model;
  int calls = 0;
  {
    auto sink = model.count.sink([&](const int&) { ++calls; });
    model.count = 1;
  }
  model.count = 2;
  EXPECT_EQ(calls, 2);  // the initial value and 1

  auto moved = model.objectWillChange().subscribe([&] { ++calls; });
  platform::Cancellable other = std::move(moved);
  model.count = 3;
  other.cancel();
  model.count = 4;
  EXPECT_EQ(calls, 3);
}

TEST(Signal, SubscriberMayCancelAnotherDuringSend) {
  platform::Signal<int> signal;
  std::vector<int> seen;
  platform::Cancellable second;
  auto first = signal.subscribe([&](const int& v) {
    seen.push_back(v);
    second.cancel();
  });
  second = signal.subscribe([&](const int& v) { seen.push_back(100 + v); });
  signal.send(1);
  signal.send(2);
  EXPECT_EQ(seen, (std::vector<int>{1, 2}));
}

}  // namespace
