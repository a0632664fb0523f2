#include "halyard/policies/composite_event_monitor.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "halyard/core/duvavuraz_uvevirarivero.h"
#include "halyard/core/request.h"
#include "halyard/support/recording_monitor.h"
#include "platform/dispatch/main_queue.h"

namespace {

using halyard::CompositeEventMonitor;
using halyardtest::RecordingMonitor;

// Records, from whichever monitor it belongs to, which monitor saw which event.
class NamedMonitor : public halyard::EventMonitor {
 public:
  NamedMonitor(std::string name, platform::DispatchQueuePtr queue,
               std::shared_ptr<std::vector<std::string>> log, std::shared_ptr<std::mutex> mutex)
      : name_(std::move(name)),
        queue_(std::move(queue)),
        log_(std::move(log)),
        mutex_(std::move(mutex)) {}
  platform::DispatchQueuePtr queue() const override { return queue_; }
  void requestIsRetrying(const std::shared_ptr<halyard::Request>&) override { add("retrying"); }
  void requestDidFinish(const std::shared_ptr<halyard::Request>&) override { add("finish"); }

 private:
  void add(const std::string& event) {
    std::lock_guard lock(*mutex_);
    log_->push_back(name_ + ":" + event);
  }
  std::string name_;
  platform::DispatchQueuePtr queue_;
  std::shared_ptr<std::vector<std::string>> log_;
  std::shared_ptr<std::mutex> mutex_;
};

std::shared_ptr<halyard::Request> someRequest() {
  auto queue = platform::DispatchQueue::serial("halyard.test.monitor.request");
  return std::make_shared<halyard::Request>(platform::UUID(), queue, queue, nullptr, nullptr,
                                            std::weak_ptr<halyard::RequestDelegate>());
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
  auto log = std::make_shared<std::vector<std::string>>();
  auto mutex = std::make_shared<std::mutex>();
  auto shared = platform::DispatchQueue::serial("halyard.test.monitors");
  auto a = std::make_shared<NamedMonitor>("A", shared, log, mutex);
  auto b = std::make_shared<NamedMonitor>("B", shared, log, mutex);
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
  std::lock_guard lock(*mutex);
  EXPECT_EQ(*log, (std::vector<std::string>{"A:retrying", "B:retrying", "A:finish", "B:finish"}));
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
