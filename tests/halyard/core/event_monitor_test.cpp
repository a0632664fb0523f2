#include "halyard/core/composite_event_monitor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "halyard/core/duvavuraz_uvevirarivero.h"
#include "halyard/core/request.h"
#include "halyard/support/recording_monitor.h"
#include "platform/dispatch/main_queue.h"
#include "support/recorder.h"

namespace {

using halyard::CompositeEventMonitor;
using halyardtest::RecordingMonitor;

// Records, from whichever monitor it belongs to, which monitor saw which event.
class NamedMonitor : public halyard::EventMonitor {
 public:
  NamedMonitor(std::string name, platform::DispatchQueuePtr queue,
               std::shared_ptr<testsupport::Recorder<std::string>> log)
      : name_(std::move(name)), queue_(std::move(queue)), log_(std::move(log)) {}
  platform::DispatchQueuePtr queue() const override { return queue_; }
  void requestIsRetrying(const std::shared_ptr<halyard::Request>&) override { add("retrying"); }
  void requestDidFinish(const std::shared_ptr<halyard::Request>&) override { add("finish"); }

 private:
  void add(const std::string& event) { log_->add(name_ + ":" + event); }
  std::string name_;
  platform::DispatchQueuePtr queue_;
  std::shared_ptr<testsupport::Recorder<std::string>> log_;
};

std::shared_ptr<halyard::Request> someRequest() {
  auto queue = platform::DispatchQueue::serial("halyard.test.monitor.request");
  return std::make_shared<halyard::Request>(
      halyard::RequestContext{platform::UUID(), queue, queue, nullptr, nullptr, {}});
}

TEST(EventMonitorTest, TheDefaultMonitorRunsOnTheMainQueueAndIgnoresEverything) {
  // A monitor that implements one event: the defaults of all the others must neither reach it
  // nor be filtered away from monitors that want them.
  struct FinishCounter : halyard::EventMonitor {
    int finishes = 0;
    void requestDidFinish(const std::shared_ptr<halyard::Request>&) override { ++finishes; }
  };
  FinishCounter monitor;
  EXPECT_EQ(monitor.queue(), platform::DispatchQueue::main());
  const auto request = someRequest();
  const std::function<void(halyard::EventMonitor&)> others[] = {
      [&](auto& m) { m.requestDidCancel(request); },
      [&](auto& m) { m.requestDidResume(request); },
      [&](auto& m) { m.requestDidSuspend(request); },
      [&](auto& m) { m.requestIsRetrying(request); },
      [&](auto& m) { m.requestDidCompleteTaskWithError(request, nullptr, std::nullopt); },
      [&](auto& m) {
        m.requestDidFailToCreateURLRequestWithError(request,
                                                    halyard::HalyardError::explicitlyCancelled());
      },
      [&](auto& m) { m.sessionDidBecomeInvalidWithError(nullptr, nullptr); },
      [&](auto& m) { m.taskDidComplete(nullptr, nullptr, nullptr); },
  };
  for (const auto& event : others)
    event(monitor);
  EXPECT_EQ(monitor.finishes, 0);
  monitor.requestDidFinish(request);
  EXPECT_EQ(monitor.finishes, 1);
  for (std::size_t kind = 0; kind < halyard::kEventMonitorEventCount; ++kind) {
    EXPECT_TRUE(monitor.receivesEvent(halyard::EventMonitorEvent(kind))) << kind;
  }
}

TEST(EventMonitorTest, EventsTakeTwoHopsAndNeverRunOnTheRaisingThread) {
  auto monitor = std::make_shared<RecordingMonitor>();
  auto composite = CompositeEventMonitor::initWithMonitors({monitor});
  EXPECT_EQ(composite->queue()->label(), "org.tovarine.halyard.compositeEventMonitor");

  // Hold the composite's own queue: the event cannot reach the monitor until it is let go,
  // because it passes through that queue first.
  std::mutex mutex;
  std::condition_variable changed;
  bool released = false;
  composite->queue()->async([&] {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return released; });
  });
  composite->requestDidFinish(someRequest());
  EXPECT_FALSE(platform::runMainUntil([&] { return monitor->contains("requestDidFinish"); }, 0.05));
  {
    std::lock_guard lock(mutex);
    released = true;
    changed.notify_all();
  }
  ASSERT_TRUE(platform::runMainUntil([&] { return monitor->contains("requestDidFinish"); }, 5));
  EXPECT_TRUE(monitor->allOnQueue());
}

TEST(EventMonitorTest, MonitorsSeeEventsInOrderAndInListOrder) {
  auto log = std::make_shared<testsupport::Recorder<std::string>>();
  auto shared = platform::DispatchQueue::serial("halyard.test.monitors");
  auto a = std::make_shared<NamedMonitor>("A", shared, log);
  auto b = std::make_shared<NamedMonitor>("B", shared, log);
  auto composite = CompositeEventMonitor::initWithMonitors({a, b});
  auto request = someRequest();
  // Raised from another thread: still relayed in the order raised.
  std::thread raiser([&] {
    composite->requestIsRetrying(request);
    composite->requestDidFinish(request);
  });
  raiser.join();
  composite->queue()->sync([] {});
  shared->sync([] {});
  EXPECT_EQ(log->entries(),
            (std::vector<std::string>{"A:retrying", "B:retrying", "A:finish", "B:finish"}));
}

TEST(EventMonitorTest, AMainQueueMonitorHearsBackgroundEventsOnTheMainThread) {
  auto monitor = std::make_shared<RecordingMonitor>();
  auto composite = CompositeEventMonitor::initWithMonitors({monitor});
  auto background = platform::DispatchQueue::serial("halyard.test.background");
  background->async([composite] { composite->requestDidCancel(someRequest()); });
  ASSERT_TRUE(platform::runMainUntil([&] { return monitor->contains("requestDidCancel"); }, 5));
  EXPECT_TRUE(monitor->allOnQueue());
}

TEST(EventMonitorTest, AnEmptyCompositeAcceptsEverything) {
  // Nested in another composite, an empty one (and one whose members want little) is still
  // handed every event: what it passes on is for its members to decide.
  struct FinishOnly : RecordingMonitor {
    bool receivesEvent(halyard::EventMonitorEvent event) const override {
      return event == halyard::EventMonitorEvent::requestDidFinish;
    }
  };
  auto finishOnly = std::make_shared<FinishOnly>();
  auto everything = std::make_shared<RecordingMonitor>();
  auto empty = CompositeEventMonitor::initWithMonitors({});
  auto picky = CompositeEventMonitor::initWithMonitors({finishOnly});
  for (std::size_t kind = 0; kind < halyard::kEventMonitorEventCount; ++kind) {
    EXPECT_TRUE(empty->receivesEvent(halyard::EventMonitorEvent(kind))) << kind;
    EXPECT_TRUE(picky->receivesEvent(halyard::EventMonitorEvent(kind))) << kind;
  }
  auto outer = CompositeEventMonitor::initWithMonitors({empty, picky, everything});
  outer->requestDidCancel(someRequest());
  outer->requestDidFinish(someRequest());
  ASSERT_TRUE(platform::runMainUntil(
      [&] { return everything->events().size() == 2 && finishOnly->events().size() == 1; }, 5));
  EXPECT_EQ(finishOnly->events(), std::vector<std::string>{"requestDidFinish"});
  EXPECT_EQ(everything->events(),
            (std::vector<std::string>{"requestDidCancel", "requestDidFinish"}));
}

TEST(EventMonitorTest, GenericEventsCarryTheirValueTypeErased) {
  struct Listener : halyard::EventMonitor {
    std::optional<int> value;
    void requestDidParseResponseValue(const std::shared_ptr<halyard::DataRequest>&,
                                      const halyard::DataResponse<halyard::AnyValue>& r) override {
      if (r.result && r.result->as<int>()) value = *r.result->as<int>();
    }
  };
  auto listener = std::make_shared<Listener>();
  auto composite = CompositeEventMonitor::initWithMonitors({listener});
  const halyard::DataResponse<int> response{
      std::nullopt, nullptr, std::nullopt,
      nullptr,      0,       std::expected<int, halyard::HalyardError>(7)};
  composite->requestDidParseResponseValue(
      nullptr, response.mapValue([](int v) { return halyard::AnyValue::of(v); }));
  ASSERT_TRUE(platform::runMainUntil([&] { return listener->value.has_value(); }, 5));
  EXPECT_EQ(*listener->value, 7);
  EXPECT_EQ(response.mapValue([](int v) { return halyard::AnyValue::of(v); }).description(),
            "success(7)");
}

TEST(EventMonitorTest, EventsAMonitorDeclinesAreNotRelayedToIt) {
  struct Picky : RecordingMonitor {
    bool receivesEvent(halyard::EventMonitorEvent event) const override {
      return event == halyard::EventMonitorEvent::requestDidFinish;
    }
  };
  auto picky = std::make_shared<Picky>();
  auto everything = std::make_shared<RecordingMonitor>();
  auto composite = CompositeEventMonitor::initWithMonitors({picky, everything});
  auto request = someRequest();
  composite->requestDidCancel(request);
  composite->requestDidFinish(request);
  ASSERT_TRUE(platform::runMainUntil([&] { return everything->events().size() == 2; }, 5));
  EXPECT_EQ(picky->events(), std::vector<std::string>{"requestDidFinish"});

  // The notification monitor takes exactly its eight lifecycle events.
  halyard::DuvavurazUvevirarivero notifier;
  int received = 0;
  for (std::size_t kind = 0; kind < halyard::kEventMonitorEventCount; ++kind) {
    if (notifier.receivesEvent(halyard::EventMonitorEvent(kind))) ++received;
  }
  EXPECT_EQ(received, 8);
  EXPECT_TRUE(notifier.receivesEvent(halyard::EventMonitorEvent::requestDidCompleteTaskWithError));
  EXPECT_FALSE(notifier.receivesEvent(halyard::EventMonitorEvent::requestDidCreateTask));
}

}  // namespace

namespace {

// A recording monitor that takes only the listed events.
struct SelectiveMonitor : RecordingMonitor {
  SelectiveMonitor(platform::DispatchQueuePtr queue, std::vector<halyard::EventMonitorEvent> wanted)
      : RecordingMonitor(std::move(queue)), wanted_(std::move(wanted)) {}
  bool receivesEvent(halyard::EventMonitorEvent event) const override {
    return std::find(wanted_.begin(), wanted_.end(), event) != wanted_.end();
  }

 private:
  std::vector<halyard::EventMonitorEvent> wanted_;
};

using halyard::EventMonitorEvent;

TEST(EventMonitorTest, EachMemberHearsWhatItTakesInTheOrderRaised) {
  // One row per shape of composite: a lone member takes the single-receiver path, several
  // share one event between their hops; members on one queue or on their own.
  const std::vector<EventMonitorEvent> all = {EventMonitorEvent::requestDidResume,
                                              EventMonitorEvent::requestDidCancel,
                                              EventMonitorEvent::requestDidFinish};
  const std::vector<EventMonitorEvent> finishOnly = {EventMonitorEvent::requestDidFinish};
  struct Row {
    const char* name;
    std::vector<std::vector<EventMonitorEvent>> members;  // what each member takes
    bool sharedQueue;
  };
  const Row rows[] = {
      {"one member", {all}, false},
      {"one of two takes the event", {finishOnly, {EventMonitorEvent::requestDidCancel}}, false},
      {"two members, own queues", {all, finishOnly}, false},
      {"three members, one queue", {finishOnly, all, all}, true},
  };
  const auto request = someRequest();
  // Raised from two threads in turn, so the relay's order is the order of raising.
  const std::vector<std::pair<EventMonitorEvent, std::function<void(CompositeEventMonitor&)>>>
      raised = {
          {EventMonitorEvent::requestDidResume, [&](auto& c) { c.requestDidResume(request); }},
          {EventMonitorEvent::requestDidFinish, [&](auto& c) { c.requestDidFinish(request); }},
          {EventMonitorEvent::requestDidCancel, [&](auto& c) { c.requestDidCancel(request); }},
          {EventMonitorEvent::requestDidFinish, [&](auto& c) { c.requestDidFinish(request); }},
          {EventMonitorEvent::requestDidResume, [&](auto& c) { c.requestDidResume(request); }},
      };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto shared = platform::DispatchQueue::serial("halyard.test.members");
    std::vector<std::shared_ptr<SelectiveMonitor>> members;
    std::vector<halyard::EventMonitorPtr> list;
    for (const auto& wanted : row.members) {
      auto queue =
          row.sharedQueue ? shared : platform::DispatchQueue::serial("halyard.test.member");
      members.push_back(std::make_shared<SelectiveMonitor>(queue, wanted));
      list.push_back(members.back());
    }
    auto composite = CompositeEventMonitor::initWithMonitors(list);
    for (std::size_t i = 0; i < raised.size(); ++i) {
      if (i % 2 == 0) {
        raised[i].second(*composite);
      } else {
        std::thread([&] { raised[i].second(*composite); }).join();
      }
    }
    composite->queue()->sync([] {});
    for (const auto& member : members) {
      member->queue()->sync([] {});
    }
    for (std::size_t m = 0; m < members.size(); ++m) {
      std::vector<std::string> expected;
      for (const auto& [kind, raise] : raised) {
        const auto& wanted = row.members[m];
        if (std::find(wanted.begin(), wanted.end(), kind) == wanted.end()) continue;
        expected.push_back(kind == EventMonitorEvent::requestDidResume   ? "requestDidResume"
                           : kind == EventMonitorEvent::requestDidCancel ? "requestDidCancel"
                                                                         : "requestDidFinish");
      }
      EXPECT_EQ(members[m]->events(), expected) << "member " << m;
      EXPECT_TRUE(members[m]->allOnQueue()) << "member " << m;
    }
  }
}

TEST(EventMonitorTest, AnEventReachesAnyoneOnlyThroughAMemberThatTakesIt) {
  const auto finish = EventMonitorEvent::requestDidFinish;
  const auto cancel = EventMonitorEvent::requestDidCancel;
  auto finishOnly = [] {
    return std::make_shared<SelectiveMonitor>(
        platform::DispatchQueue::main(),
        std::vector<EventMonitorEvent>{EventMonitorEvent::requestDidFinish});
  };
  struct Row {
    const char* name;
    halyard::EventMonitorPtr monitor;
    EventMonitorEvent kind;
    bool reaches;
  };
  const Row rows[] = {
      {"no monitor", nullptr, finish, false},
      {"a plain monitor is always told", finishOnly(), cancel, true},
      {"composite, member takes it", CompositeEventMonitor::initWithMonitors({finishOnly()}),
       finish, true},
      {"composite, no member takes it", CompositeEventMonitor::initWithMonitors({finishOnly()}),
       cancel, false},
      {"empty composite", CompositeEventMonitor::initWithMonitors({}), finish, false},
      // An empty composite nested in another accepts everything, so the outer one relays.
      {"nested empty composite",
       CompositeEventMonitor::initWithMonitors({CompositeEventMonitor::initWithMonitors({})}),
       cancel, true},
      {"session's default members",
       CompositeEventMonitor::initWithMonitors(
           {std::make_shared<halyard::DuvavurazUvevirarivero>()}),
       EventMonitorEvent::requestDidParseResponseValue, false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(halyard::eventReachesAnyone(row.monitor, row.kind), row.reaches) << row.name;
  }
}

}  // namespace

namespace {

TEST(EventMonitorTest, RequestNotificationsCarryTheirOwnRequestEvenWhenPostedFromAnObserver) {
  // Rows: how many posts an observer of the first one makes from inside it. Every observer must
  // see its own name and request, before and after the posts made inside it, and no request may
  // be held once the posts are over.
  struct Row {
    const char* name;
    int nested;
  };
  const Row rows[] = {{"a single post", 0}, {"one post inside", 1}, {"two posts inside", 2}};
  halyard::DuvavurazUvevirarivero notifier;
  const auto center = platform::NotificationCenter::defaultCenter();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto first = someRequest();
    std::vector<std::shared_ptr<halyard::Request>> inner;
    for (int i = 0; i < row.nested; ++i)
      inner.push_back(someRequest());
    std::vector<std::string> seen;
    auto resumed = center->addObserver(
        halyard::Request::didResumeName(), [&](const platform::Notification& notification) {
          EXPECT_EQ(halyard::requestFromUserInfo(notification), first);
          for (const auto& request : inner)
            notifier.requestDidFinish(request);
          EXPECT_EQ(notification.name, halyard::Request::didResumeName());
          EXPECT_EQ(halyard::requestFromUserInfo(notification), first);
          seen.push_back("resume");
        });
    auto finished = center->addObserver(
        halyard::Request::didFinishName(), [&](const platform::Notification& notification) {
          const auto request = halyard::requestFromUserInfo(notification);
          const auto index = std::find(inner.begin(), inner.end(), request) - inner.begin();
          seen.push_back("finish " + std::to_string(index));
        });
    const auto uses = first.use_count();
    notifier.requestDidResume(first);
    std::vector<std::string> expected;
    for (int i = 0; i < row.nested; ++i)
      expected.push_back("finish " + std::to_string(i));
    expected.push_back("resume");
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(first.use_count(), uses);
    for (const auto& request : inner)
      EXPECT_EQ(request.use_count(), 1);
  }
}

}  // namespace
