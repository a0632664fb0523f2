#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "halyard/core/data_request.h"
#include "halyard/core/session.h"
#include "halyard/support/recording_monitor.h"
#include "halyard/support/test_server.h"
#include "halyard/support/wait.h"
#include "platform/foundation/notification_center.h"

namespace {

using halyard::Request;
using halyard::Session;
using halyardtest::Gate;
using halyardtest::RecordingMonitor;
using halyardtest::TestServer;
using halyardtest::waitUntil;

// Observes the eight request notifications for one request.
class NotificationLog {
 public:
  explicit NotificationLog(const halyard::RequestPtr* request) : request_(request) {
    const std::vector<std::pair<std::string, std::string>> names = {
        {Request::didResumeName(), "didResume"},
        {Request::didSuspendName(), "didSuspend"},
        {Request::didCancelName(), "didCancel"},
        {Request::didFinishName(), "didFinish"},
        {Request::didResumeTaskName(), "didResumeTask"},
        {Request::didSuspendTaskName(), "didSuspendTask"},
        {Request::didCancelTaskName(), "didCancelTask"},
        {Request::didCompleteTaskName(), "didCompleteTask"},
    };
    for (const auto& [name, shortName] : names) {
      tokens_.push_back(platform::NotificationCenter::defaultCenter()->addObserver(
          name, [this, shortName](const platform::Notification& notification) {
            if (halyard::requestFromUserInfo(notification) != *request_) return;
            entries.push_back(shortName);
            if (!platform::DispatchQueue::main()->isCurrent()) offMain = true;
            if (notification.objectId != nullptr || notification.userInfo.size() != 1) {
              malformed = true;
            }
          }));
    }
  }
  std::size_t count(const std::string& name) const {
    return std::size_t(std::count(entries.begin(), entries.end(), name));
  }

  std::vector<std::string> entries;
  bool offMain = false;
  bool malformed = false;

 private:
  const halyard::RequestPtr* request_;
  std::vector<platform::ObserverToken> tokens_;
};

TEST(NotificationsITest, TheEightNotificationsArePostedOnTheMainQueueInEventOrder) {
  TestServer server;
  Gate gate;
  server.server().Get("/slow", [&](const httplib::Request&, httplib::Response& response) {
    gate.wait();
    response.set_content("late", "text/plain");
  });
  const std::string base = server.start();
  auto session = Session::initWithConfiguration(Session::defaultConfiguration(), nullptr, nullptr,
                                                /*startRequestsImmediately=*/false);
  halyard::RequestPtr request;
  NotificationLog log(&request);

  auto dataRequest = session->makeDataRequest(base + "/slow");
  request = dataRequest;
  bool delivered = false;
  dataRequest->responseAsString([&](const auto&) { delivered = true; });

  dataRequest->resume();
  ASSERT_TRUE(waitUntil([&] { return log.count("didResumeTask") == 1; }));
  dataRequest->suspend();
  ASSERT_TRUE(waitUntil([&] { return log.count("didSuspendTask") == 1; }));
  dataRequest->resume();
  ASSERT_TRUE(waitUntil([&] { return log.count("didResumeTask") == 2; }));
  dataRequest->cancel();
  ASSERT_TRUE(waitUntil([&] { return log.count("didFinish") == 1 && delivered; }));
  gate.open();

  EXPECT_EQ(log.entries,
            (std::vector<std::string>{"didResume", "didResumeTask", "didSuspend", "didSuspendTask",
                                      "didResume", "didResumeTask", "didCancel", "didCancelTask",
                                      "didCompleteTask", "didFinish"}));
  EXPECT_FALSE(log.offMain);
  EXPECT_FALSE(log.malformed);
  ASSERT_TRUE(dataRequest->error());
  EXPECT_TRUE(dataRequest->error()->isExplicitlyCancelled());
}

// Each request notification goes out while somebody observes it, and only then: observers of
// one name, of every name, and of a sender (which these posts never name) each hear what they
// asked for of a plain request.
TEST(NotificationsITest, OnlyObservedNotificationsArePosted) {
  TestServer server;
  server.server().Get("/hello", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("hello", "text/plain");
  });
  const std::string base = server.start();
  const std::vector<std::string> all = {"didResume", "didResumeTask", "didCompleteTask",
                                        "didFinish"};
  const std::map<std::string, std::string> names = {
      {Request::didResumeName(), "didResume"},
      {Request::didResumeTaskName(), "didResumeTask"},
      {Request::didCompleteTaskName(), "didCompleteTask"},
      {Request::didFinishName(), "didFinish"},
  };
  struct Row {
    std::string observed;  // empty: every name
    bool ofASender;
    std::vector<std::string> heard;
  };
  const Row rows[] = {
      {Request::didFinishName(), false, {"didFinish"}},
      {Request::didResumeTaskName(), false, {"didResumeTask"}},
      {"", false, all},
      {Request::didFinishName(), true, {}},
  };
  auto session = Session::initWithConfiguration(Session::defaultConfiguration());
  int sender = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.observed);
    halyard::RequestPtr request;
    std::vector<std::string> heard;
    auto token = platform::NotificationCenter::defaultCenter()->addObserver(
        row.observed,
        [&](const platform::Notification& notification) {
          if (halyard::requestFromUserInfo(notification) != request) return;
          auto it = names.find(notification.name);
          heard.push_back(it == names.end() ? notification.name : it->second);
        },
        row.ofASender ? &sender : nullptr);
    bool delivered = false;
    auto dataRequest = session->makeDataRequest(base + "/hello");
    request = dataRequest;
    dataRequest->responseAsString([&](const auto&) { delivered = true; });
    ASSERT_TRUE(waitUntil([&] { return delivered; }));
    // The end's notifications may come after the response on a busy machine: what is awaited is
    // awaited in full, then anything more would come within moments on the main queue.
    waitUntil([&] { return heard.size() >= row.heard.size(); });
    waitUntil([&] { return heard.size() > row.heard.size(); }, 0.2);
    EXPECT_EQ(heard, row.heard);
  }
}

// An observer added on the main thread after a request changed state, but before the main queue
// next runs, still hears of the change: the notification is posted on the main queue, after it.
TEST(NotificationsITest, AnObserverAddedBeforeTheMainQueueRunsHearsTheEvent) {
  TestServer server;
  Gate gate;
  server.server().Get("/slow", [&](const httplib::Request&, httplib::Response& response) {
    gate.wait();
    response.set_content("late", "text/plain");
  });
  const std::string base = server.start();
  struct Row {
    std::string action;
    std::string observed;
  };
  const Row rows[] = {
      {"suspend", Request::didSuspendName()}, {"suspend", Request::didSuspendTaskName()},
      {"cancel", Request::didCancelName()},   {"cancel", Request::didCancelTaskName()},
      {"cancel", Request::didFinishName()},
  };
  auto session = Session::initWithConfiguration(Session::defaultConfiguration());
  for (const auto& row : rows) {
    SCOPED_TRACE(row.action + " " + row.observed);
    auto request = session->makeDataRequest(base + "/slow");
    bool delivered = false;
    request->responseAsString([&](const auto&) { delivered = true; });
    ASSERT_TRUE(waitUntil([&] { return request->lastTask() != nullptr; }));
    if (row.action == "suspend") {
      request->suspend();
    } else {
      request->cancel();
    }
    // Whatever the session does with the change on its own queue is done; the main queue has
    // not run since.
    session->rootQueue()->sync([] {});
    int heard = 0;
    auto token = platform::NotificationCenter::defaultCenter()->addObserver(
        row.observed, [&](const platform::Notification& notification) {
          if (halyard::requestFromUserInfo(notification) == request) ++heard;
        });
    if (row.action == "suspend") {
      EXPECT_TRUE(waitUntil([&] { return heard == 1; }));
      request->cancel();
    } else {
      EXPECT_TRUE(waitUntil([&] { return heard == 1 && delivered; }));
    }
    ASSERT_TRUE(waitUntil([&] { return delivered; }));
    EXPECT_EQ(heard, 1);
  }
  gate.open();
}

TEST(NotificationsITest, AForeignNotificationCarriesNoRequest) {
  platform::Notification notification;
  notification.name = Request::didResumeName();
  EXPECT_EQ(halyard::requestFromUserInfo(notification), nullptr);
  notification.userInfo[halyard::requestNotificationKey()] = std::string("not a request");
  EXPECT_EQ(halyard::requestFromUserInfo(notification), nullptr);
  EXPECT_EQ(Request::didCompleteTaskName(),
            "org.tovarine.halyard.notification.name.request.didCompleteTask");
  EXPECT_EQ(halyard::requestNotificationKey(), "org.tovarine.halyard.notification.key.request");
}

TEST(NotificationsITest, MonitorsHearEveryEventOnTheirQueueInOrder) {
  TestServer server;
  server.server().Get("/json", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(R"({"a":1})", "application/json");
  });
  const std::string base = server.start();
  auto own = platform::DispatchQueue::serial("halyard.test.monitor.queue");
  auto monitor = std::make_shared<RecordingMonitor>(own);
  auto mainMonitor = std::make_shared<RecordingMonitor>();
  auto session = Session::initWithConfiguration(Session::defaultConfiguration(), nullptr, nullptr,
                                                true, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                nullptr, {monitor, mainMonitor});
  ASSERT_EQ(session->eventMonitor()->monitors().size(), 3u);
  EXPECT_EQ(session->eventMonitor()->monitors()[1], monitor);

  bool delivered = false;
  session->makeDataRequest(base + "/json")
      ->validateStatusAndContentType()
      .responseAsJSON([&](const auto&) { delivered = true; });
  ASSERT_TRUE(waitUntil([&] {
    return delivered && monitor->contains("requestDidParseResponseValue") &&
           mainMonitor->contains("requestDidParseResponseValue");
  }));
  own->sync([] {});
  EXPECT_TRUE(monitor->allOnQueue());
  EXPECT_TRUE(mainMonitor->allOnQueue());
  EXPECT_EQ(monitor->events(), mainMonitor->events());

  const std::vector<std::string> expected = {
      "requestDidCreateInitialURLRequest",
      "requestDidCreateURLRequest",
      "requestDidCreateTask",
      "requestDidResumeTask",
      "dataTaskDidReceiveResponse",
      "dataTaskDidReceiveData",
      "taskDidFinishCollectingMetrics",
      "requestDidGatherMetrics",
      "taskDidComplete",
      "requestDidValidateRequestResponseDataWithResult",
      "requestDidValidateRequestResponseDataWithResult",
      "requestDidCompleteTaskWithError",
      "requestDidFinish",
      "requestDidParseResponseValue",
  };
  std::vector<std::string> seen;
  for (const auto& event : monitor->events()) {
    if (std::find(expected.begin(), expected.end(), event) != expected.end() &&
        (seen.empty() || seen.back() != event || event != "dataTaskDidReceiveData")) {
      seen.push_back(event);
    }
  }
  EXPECT_EQ(seen, expected);
  EXPECT_TRUE(monitor->contains("requestDidResume"));
}

}  // namespace
