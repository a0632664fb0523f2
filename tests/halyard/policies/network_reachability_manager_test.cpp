#include "halyard/policies/network_reachability_manager.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/main_queue.h"

namespace {

using halyard::NetworkReachabilityManager;
using Status = NetworkReachabilityManager::NetworkReachabilityStatus;
using Type = Status::ConnectionType;

// Answers what the test sets; `change` plays a burst of kernel messages on a thread of its own.
class FakeSource : public platform::ReachabilitySource {
 public:
  void set(std::optional<platform::NetworkReachabilityFlags> general,
           std::optional<platform::NetworkReachabilityFlags> address = 0) {
    std::lock_guard lock(mutex_);
    general_ = general;
    address_ = address;
  }
  void resolves(const std::string& host, bool resolves) {
    std::lock_guard lock(mutex_);
    names_[host] = resolves;
  }
  void change() {
    std::vector<std::function<void()>> watchers;
    {
      std::lock_guard lock(mutex_);
      for (const auto& [id, changed] : watchers_)
        watchers.push_back(changed);
    }
    std::thread([watchers] {
      for (const auto& changed : watchers)
        changed();
    }).join();
  }
  std::size_t watching() {
    std::lock_guard lock(mutex_);
    return watchers_.size();
  }

  std::optional<platform::NetworkReachabilityFlags> flagsForAddress(
      const sockaddr_storage&) override {
    std::lock_guard lock(mutex_);
    return address_;
  }
  std::optional<platform::NetworkReachabilityFlags> generalFlags() override {
    std::lock_guard lock(mutex_);
    return general_;
  }
  std::vector<sockaddr_storage> resolve(const std::string& host) override {
    std::lock_guard lock(mutex_);
    if (!names_[host]) return {};
    sockaddr_storage address{};
    address.ss_family = AF_INET;
    return {address};
  }
  std::unique_ptr<Watch> watchChanges(std::function<void()> changed) override {
    std::lock_guard lock(mutex_);
    const int id = nextID_++;
    watchers_[id] = std::move(changed);
    return std::make_unique<FakeWatch>(this, id);
  }

 private:
  struct FakeWatch : Watch {
    FakeWatch(FakeSource* source, int id) : source(source), id(id) {}
    ~FakeWatch() override {
      std::lock_guard lock(source->mutex_);
      source->watchers_.erase(id);
    }
    FakeSource* source;
    int id;
  };

  std::mutex mutex_;
  std::optional<platform::NetworkReachabilityFlags> general_ = 0;
  std::optional<platform::NetworkReachabilityFlags> address_ = 0;
  std::map<std::string, bool> names_;
  std::map<int, std::function<void()>> watchers_;
  int nextID_ = 0;
};

// What the listener heard, on the main queue.
struct Heard {
  std::vector<Status> statuses;
  NetworkReachabilityManager::Listener listener() {
    return [this](Status status) { statuses.push_back(status); };
  }
};

class NetworkReachabilityManagerTest : public ::testing::Test {
 protected:
  // Everything raised so far has reached the listener (or never will).
  void settle(const std::shared_ptr<NetworkReachabilityManager>& manager) {
    manager->reachabilityQueue()->sync([] {});
    platform::drainMainQueue();
  }

  std::shared_ptr<FakeSource> source = std::make_shared<FakeSource>();
};

TEST_F(NetworkReachabilityManagerTest, StatusFromFlags) {
  struct Row {
    platform::NetworkReachabilityFlags flags;
    Status expected;
  };
  const auto wired = Status::reachable(Type::ethernetOrWiFi);
  const std::vector<Row> rows{
      {0x0, Status::notReachable()},
      {0x2, wired},
      {0x30002, wired},
      {0x4, Status::notReachable()},                      // connection required, not reachable
      {0x2 | 0x4, Status::notReachable()},                // required, neither on traffic nor demand
      {0x2 | 0x4 | 0x20, wired},                          // on demand
      {0x2 | 0x4 | 0x8, wired},                           // on traffic
      {0x2 | 0x4 | 0x20 | 0x10, Status::notReachable()},  // intervention required
  };
  for (const auto& row : rows) {
    source->set(row.flags);
    const auto manager = NetworkReachabilityManager::create(source);
    ASSERT_TRUE(manager);
    EXPECT_EQ(manager->status(), row.expected) << std::hex << row.flags;
    EXPECT_EQ(manager->isReachable(), row.expected == wired) << std::hex << row.flags;
    EXPECT_EQ(manager->isReachableOnEthernetOrWiFi(), row.expected == wired);
    EXPECT_FALSE(manager->isReachableOnCellular());
  }
  source->set(std::nullopt);
  EXPECT_EQ(NetworkReachabilityManager::create(source)->status(), Status::unknown());
}

TEST_F(NetworkReachabilityManagerTest, FlagsDescriptionAndStatusEquality) {
  const std::vector<std::pair<platform::NetworkReachabilityFlags, std::string>> descriptions{
      {0x2, "-R --------"}, {0x20002, "-R ------d-"}, {0x30002, "-R -----ld-"},
      {0x0, "-- --------"}, {0x3F, "-R ctiCD--a"},
  };
  for (const auto& [flags, text] : descriptions) {
    EXPECT_EQ(NetworkReachabilityManager::flagsDescription(flags), text) << flags;
  }
  const std::vector<Status> all{Status::reachable(Type::ethernetOrWiFi),
                                Status::reachable(Type::cellular), Status::unknown(),
                                Status::notReachable()};
  for (std::size_t i = 0; i < all.size(); ++i) {
    for (std::size_t j = 0; j < all.size(); ++j)
      EXPECT_EQ(all[i] == all[j], i == j) << i << j;
  }
}

TEST_F(NetworkReachabilityManagerTest, NamesThatCannotBeCheckedOrDoNotResolve) {
  EXPECT_FALSE(NetworkReachabilityManager::create(std::string(), source));
  EXPECT_FALSE(NetworkReachabilityManager::create(std::string("host\0evil", 9), source));
  source->set(0x2, 0x2);
  source->resolves("nowhere.invalid", false);
  const auto nowhere = NetworkReachabilityManager::create("nowhere.invalid", source);
  ASSERT_TRUE(nowhere);
  EXPECT_EQ(nowhere->flags(), 0u);
  EXPECT_EQ(nowhere->status(), Status::notReachable());
  source->resolves("somewhere", true);
  EXPECT_EQ(NetworkReachabilityManager::create("somewhere", source)->flags(), 0x2u);
}

TEST_F(NetworkReachabilityManagerTest, EqualStatusesNotifyOnceAndAStartRepeats) {
  source->set(0x2);
  const auto manager = NetworkReachabilityManager::create(source);
  Heard heard;
  EXPECT_TRUE(manager->startListening(heard.listener()));
  ASSERT_TRUE(platform::runMainUntil([&] { return heard.statuses.size() == 1; }));
  EXPECT_EQ(heard.statuses[0], Status::reachable(Type::ethernetOrWiFi));

  source->set(0x20002);  // other flags, the same status
  source->change();
  settle(manager);
  EXPECT_EQ(heard.statuses.size(), 1u);

  source->set(0);
  source->change();
  ASSERT_TRUE(platform::runMainUntil([&] { return heard.statuses.size() == 2; }));
  EXPECT_EQ(heard.statuses[1], Status::notReachable());

  manager->stopListening();
  EXPECT_EQ(source->watching(), 0u);
  source->set(0x2);
  source->change();
  settle(manager);
  EXPECT_EQ(heard.statuses.size(), 2u);

  // Every start reports the current status again, although it did not change.
  manager->startListening(heard.listener());
  ASSERT_TRUE(platform::runMainUntil([&] { return heard.statuses.size() == 3; }));
  manager->stopListening();
  manager->startListening(heard.listener());
  ASSERT_TRUE(platform::runMainUntil([&] { return heard.statuses.size() == 4; }));
  settle(manager);
  EXPECT_EQ(heard.statuses.size(), 4u);
  EXPECT_EQ(heard.statuses[2], Status::reachable(Type::ethernetOrWiFi));
  EXPECT_EQ(heard.statuses[3], Status::reachable(Type::ethernetOrWiFi));
}

TEST_F(NetworkReachabilityManagerTest, NoFirstNotificationWhenFlagsCannotBeRead) {
  source->set(std::nullopt);
  const auto manager = NetworkReachabilityManager::create(source);
  Heard heard;
  EXPECT_TRUE(manager->startListening(heard.listener()));
  settle(manager);
  EXPECT_TRUE(heard.statuses.empty());
  EXPECT_EQ(manager->status(), Status::unknown());
}

TEST_F(NetworkReachabilityManagerTest, DestroyedInsideItsListenerOnAnyQueue) {
  struct Row {
    const char* name;
    bool onReachabilityQueue;
  };
  for (const auto row : {Row{"main queue", false}, Row{"reachability queue", true}}) {
    SCOPED_TRACE(row.name);
    source->set(0x2);
    auto manager = NetworkReachabilityManager::create(source);
    std::weak_ptr<NetworkReachabilityManager> weak = manager;
    std::atomic<bool> destroyed{false};
    auto holder = std::make_shared<std::shared_ptr<NetworkReachabilityManager>>(manager);
    const auto queue =
        row.onReachabilityQueue ? manager->reachabilityQueue() : platform::DispatchQueue::main();
    manager->startListening(queue, [holder, &destroyed](Status) {
      holder->reset();  // the last reference goes here
      destroyed = true;
    });
    manager.reset();
    ASSERT_TRUE(platform::runMainUntil([&] { return destroyed.load(); }));
    ASSERT_TRUE(platform::runMainUntil([&] { return weak.expired(); }));
    EXPECT_EQ(source->watching(), 0u);
  }
}

TEST_F(NetworkReachabilityManagerTest, NoCallbackStartsOnceItWasCleared) {
  sockaddr_in zero{};
  zero.sin_family = AF_INET;
  const auto reachability = platform::NetworkReachability::createWithAddress(zero, source);
  const auto queue = platform::DispatchQueue::serial("reachability.callback.test");
  std::atomic<int> calls{0};
  ASSERT_TRUE(reachability->setDispatchQueue(queue));
  ASSERT_TRUE(reachability->setCallback([&](platform::NetworkReachabilityFlags) { ++calls; }));
  std::atomic<bool> stop{false};
  std::thread changes([&] {
    for (platform::NetworkReachabilityFlags flags = 0; !stop; flags ^= 0x2) {
      source->set(flags);
      source->change();
    }
  });
  const bool called = platform::runMainUntil([&] { return calls.load() >= 20; }, 10);
  ASSERT_TRUE(reachability->setCallback(nullptr));
  const int after = calls.load();
  stop = true;
  changes.join();
  queue->sync([] {});
  EXPECT_TRUE(called);
  EXPECT_EQ(calls.load(), after);
  EXPECT_EQ(source->watching(), 0u);
}

}  // namespace
