// Many threads making and cancelling requests on one session at once: whatever the layers do to
// make hand-offs cheap (batched wake-ups of the I/O thread, timers walked only when due), every
// response handler must still run exactly once, in the order it was added, on the queue it named.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

#include "halyard/core/data_request.h"
#include "halyard/core/session.h"
#include "halyard/support/wait.h"
#include "platform/dispatch/dispatch_queue.h"
#include "support/http_test_server.h"

namespace {

constexpr int kThreads = 8;
constexpr int kRequestsPerThread = 2000;
// Requests each thread keeps in flight: enough for hand-offs to overlap everywhere, few enough
// that the transfer layer's own bookkeeping does not dominate the run.
constexpr int kInFlightPerThread = 16;

// What one request's two handlers saw.
struct Outcome {
  std::atomic<int> firstRuns{0};
  std::atomic<int> secondRuns{0};
  std::atomic<bool> secondBeforeFirst{false};
  std::atomic<bool> offQueue{false};
  std::atomic<bool> succeeded{false};
};

TEST(RequestStressITest, EveryHandlerRunsOnceInOrderOnItsQueueUnderConcurrentCancels) {
  testsupport::HttpTestServer server;
  server.server().set_keep_alive_timeout(1);
  server.server().Get("/ok", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("ok", "text/plain");
  });
  const std::string url = server.start() + "/ok";

  auto session = halyard::Session::initWithConfiguration(halyard::Session::defaultConfiguration());
  std::vector<std::unique_ptr<Outcome>> outcomes(kThreads * kRequestsPerThread);
  for (auto& outcome : outcomes)
    outcome = std::make_unique<Outcome>();
  std::atomic<int> handlersDone{0};
  std::atomic<int> cancelled{0};

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto queue = platform::DispatchQueue::serial("stress-" + std::to_string(t));
      auto slots =
          std::make_shared<std::counting_semaphore<kInFlightPerThread>>(kInFlightPerThread);
      std::mt19937 random(static_cast<unsigned>(t) * 7919u + 1u);
      for (int i = 0; i < kRequestsPerThread; ++i) {
        Outcome& outcome = *outcomes[std::size_t(t * kRequestsPerThread + i)];
        slots->acquire();
        auto request = session->makeDataRequest(url);
        request->responseAsData(
            [&, queue](const halyard::DataResponse<platform::Bytes>& response) {
              if (!queue->isCurrent()) outcome.offQueue = true;
              if (response.result) outcome.succeeded = true;
              outcome.firstRuns.fetch_add(1);
              handlersDone.fetch_add(1);
            },
            queue);
        request->responseAsString(
            [&, queue, slots](const halyard::DataResponse<std::string>&) {
              if (!queue->isCurrent()) outcome.offQueue = true;
              if (outcome.firstRuns.load() == 0) outcome.secondBeforeFirst = true;
              outcome.secondRuns.fetch_add(1);
              handlersDone.fetch_add(1);
              slots->release();
            },
            queue);
        // About one request in eight is cancelled: at once, or after a random pause that lets
        // it get somewhere first.
        switch (random() % 16) {
          case 0:
            request->cancel();
            cancelled.fetch_add(1);
            break;
          case 1:
            platform::DispatchQueue::global()->async([request, &cancelled] {
              request->cancel();
              cancelled.fetch_add(1);
            });
            break;
          default:
            break;
        }
      }
    });
  }
  for (auto& thread : threads)
    thread.join();

  const int expected = 2 * kThreads * kRequestsPerThread;
  ASSERT_TRUE(halyardtest::waitUntil([&] { return handlersDone.load() >= expected; }, 240))
      << handlersDone.load() << " of " << expected << " handlers ran";
  // Anything that would run a handler twice has had its chance by the time the queues drain.
  for (int t = 0; t < kThreads; ++t)
    platform::DispatchQueue::global()->sync([] {});
  EXPECT_EQ(handlersDone.load(), expected);

  int succeeded = 0;
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    const Outcome& outcome = *outcomes[i];
    ASSERT_EQ(outcome.firstRuns.load(), 1) << "request " << i;
    ASSERT_EQ(outcome.secondRuns.load(), 1) << "request " << i;
    ASSERT_FALSE(outcome.secondBeforeFirst.load()) << "request " << i;
    ASSERT_FALSE(outcome.offQueue.load()) << "request " << i;
    succeeded += outcome.succeeded.load() ? 1 : 0;
  }
  // Cancels that came after the response are not failures, so only a lower bound holds.
  EXPECT_GE(succeeded, kThreads * kRequestsPerThread - cancelled.load());
  session->session()->invalidateAndCancel();
}

}  // namespace
