#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "halyard/core/data_request.h"
#include "halyard/core/session.h"
#include "halyard/policies/closure_event_monitor.h"
#include "halyard/support/test_server.h"
#include "halyard/support/wait.h"
#include "support/recorder.h"

namespace {

using halyard::ClosureEventMonitor;
using halyardtest::waitUntil;

class ClosureEventMonitorITest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.server().Get("/hello", [](const httplib::Request&, httplib::Response& response) {
      response.set_content("hello", "text/plain");
    });
    base = server.start();
  }

  std::shared_ptr<halyard::Session> makeSession() {
    return halyard::Session::initWithConfiguration(
        halyard::Session::defaultConfiguration(), std::make_shared<halyard::SessionDelegate>(),
        nullptr, true, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, {monitor});
  }

  // The closures capture the test's locals: none may run once the test body has returned.
  void clearClosures() {
    monitor->setRequestDidCreateURLRequest(nullptr);
    monitor->setDataTaskDidReceiveData(nullptr);
    monitor->setRequestDidFinish(nullptr);
    monitor->setRequestDidResume(nullptr);
    monitor->queue()->sync([] {});
  }

  halyardtest::TestServer server;
  std::string base;
  // Delivered off the main queue, so that closures run while the test thread assigns them.
  std::shared_ptr<ClosureEventMonitor> monitor = std::make_shared<ClosureEventMonitor>(
      platform::DispatchQueue::serial("closure.monitor.test"));
};

TEST_F(ClosureEventMonitorITest, ClosuresAssignedAfterTheSessionWasMadeSeeARealRequest) {
  auto session = makeSession();
  testsupport::Recorder<std::string> seen;
  monitor->setRequestDidCreateURLRequest(
      [&](const halyard::RequestPtr&, const platform::URLRequest& request) {
        seen.add("url " + request.url->path());
      });
  monitor->setDataTaskDidReceiveData([&](const halyard::URLSessionPtr&,
                                         const halyard::URLSessionDataTaskPtr&,
                                         const platform::Bytes& data) {
    seen.add("data " + std::string(data.begin(), data.end()));
  });
  monitor->setRequestDidFinish([&](const halyard::RequestPtr&) { seen.add("finish"); });
  session->makeDataRequest(base + "/hello")->responseAsString([](const auto&) {});
  const bool finished = waitUntil([&] { return seen.last() == "finish"; });
  clearClosures();
  EXPECT_TRUE(finished);
  EXPECT_EQ(seen.entries(), (std::vector<std::string>{"url /hello", "data hello", "finish"}));
}

TEST_F(ClosureEventMonitorITest, AssignmentFromAnotherThreadDuringDelivery) {
  auto session = makeSession();
  std::atomic<int> finished{0};
  std::atomic<bool> stop{false};
  std::thread assigner([&] {
    while (!stop) {
      monitor->setRequestDidResume([](const halyard::RequestPtr&) {});
      monitor->setRequestDidFinish([&](const halyard::RequestPtr&) { ++finished; });
      monitor->setRequestDidResume(nullptr);
    }
  });
  constexpr int kRequests = 20;
  for (int i = 0; i < kRequests; ++i) {
    session->makeDataRequest(base + "/hello")->responseAsString([](const auto&) {});
  }
  const bool allSeen = waitUntil([&] { return finished.load() == kRequests; });
  stop = true;
  assigner.join();
  clearClosures();
  EXPECT_TRUE(allSeen) << finished.load();
}

}  // namespace
