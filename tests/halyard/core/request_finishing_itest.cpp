#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>

#include "halyard/core/data_request.h"
#include "halyard/core/download_request.h"
#include "halyard/core/session.h"
#include "halyard/support/recording_monitor.h"
#include "halyard/support/test_server.h"
#include "halyard/support/wait.h"
#include "platform/dispatch/main_queue.h"
#include "platform/net/url_error.h"

// How a request ends when it is cancelled, suspended or made at awkward moments: exactly one
// delivery per handler, and a session that forgets it.

namespace {

using halyard::HalyardError;
using halyard::Request;
using halyard::RetryResult;
using halyard::Session;
using halyardtest::TestServer;
using halyardtest::waitUntil;

// A retrier that either answers at once or keeps the answer until the test gives it.
class ScriptedRetrier {
 public:
  std::shared_ptr<halyard::Retrier> retrier(std::optional<RetryResult> atOnce) {
    return halyard::retrierUsing(
        [this, atOnce](const halyard::RequestPtr&, const std::shared_ptr<Session>&,
                       const platform::ErrorPtr&, halyard::RetryCompletion completion) {
          {
            std::lock_guard lock(mutex_);
            ++asked_;
            held_ = completion;
          }
          if (atOnce) completion(*atOnce);
        });
  }
  int asked() const {
    std::lock_guard lock(mutex_);
    return asked_;
  }
  void answer(RetryResult result) {
    halyard::RetryCompletion completion;
    {
      std::lock_guard lock(mutex_);
      completion = held_;
    }
    completion(result);
  }

 private:
  mutable std::mutex mutex_;
  int asked_ = 0;
  halyard::RetryCompletion held_;
};

class RequestFinishingITest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto& s = server.server();
    s.Get("/nocontent", [](const httplib::Request&, httplib::Response& r) { r.status = 204; });
    s.Get("/text", [](const httplib::Request&, httplib::Response& r) {
      r.set_content("plain words", "text/plain");
    });
    s.Get("/fail", [](const httplib::Request&, httplib::Response& r) {
      r.status = 500;
      r.set_content("busy", "text/plain");
    });
    s.Get("/ok",
          [](const httplib::Request&, httplib::Response& r) { r.set_content("ok", "text/plain"); });
    base = server.start();
  }

  std::shared_ptr<Session> sessionWith(std::shared_ptr<halyard::RequestInterceptor> interceptor) {
    return Session::initWithConfiguration(Session::defaultConfiguration(), nullptr, nullptr, true,
                                          nullptr, nullptr, std::move(interceptor), nullptr,
                                          nullptr, nullptr, {monitor});
  }

  std::size_t activeCount(const std::shared_ptr<Session>& session) {
    std::atomic<int> count = -1;
    session->visitActiveRequests(
        [&](const Session::RequestSet& requests) { count = int(requests.size()); });
    waitUntil([&] { return count >= 0; });
    return std::size_t(count.load());
  }

  // Lets whatever is still under way on the session's queues, its monitor's queue and the
  // main queue run out, so that a second delivery or event would have arrived.
  void settle(const std::shared_ptr<Session>& session) {
    for (int i = 0; i < 8; ++i) {
      session->rootQueue()->sync([] {});
      platform::drainMainQueue();
    }
    // Events travel through the monitor's own queue: one sent now arrives after them.
    session->eventMonitor()->sessionDidBecomeInvalidWithError(session->session(), nullptr);
    waitUntil([&] { return monitor->contains("sessionDidBecomeInvalidWithError"); });
  }

  std::size_t finishes() const {
    const auto events = monitor->events();
    return std::size_t(std::count(events.begin(), events.end(), "requestDidFinish"));
  }

  TestServer server;
  std::string base;
  std::shared_ptr<halyardtest::RecordingMonitor> monitor =
      std::make_shared<halyardtest::RecordingMonitor>();
};

TEST_F(RequestFinishingITest, ACancelWhileARetryIsPendingFinishesTheRequestOnce) {
  enum class Kind { data, download };
  struct Row {
    const char* name;
    Kind kind;
    const char* path;
    // Answered at once; without one, the answer below comes only after the cancel.
    std::optional<RetryResult> atOnce;
    std::optional<RetryResult> afterCancel;
  };
  const Row rows[] = {
      // A 204 that the handler's empty codes refuse: its serializer asks for a retry.
      {"data: serializer retry scheduled", Kind::data, "/nocontent",
       RetryResult::retryWithDelay(60), std::nullopt},
      {"data: slow retrier answers retry", Kind::data, "/text", std::nullopt, RetryResult::retry()},
      {"data: slow retrier answers no", Kind::data, "/text", std::nullopt,
       RetryResult::doNotRetry()},
      // The task's own failure, decided when the task completed.
      {"data: task failure, slow retrier answers no", Kind::data, "/fail", std::nullopt,
       RetryResult::doNotRetry()},
      {"data: task failure, retry scheduled", Kind::data, "/fail", RetryResult::retryWithDelay(60),
       std::nullopt},
      {"download: serializer retry scheduled", Kind::download, "/nocontent",
       RetryResult::retryWithDelay(60), std::nullopt},
      {"download: slow retrier answers retry", Kind::download, "/text", std::nullopt,
       RetryResult::retry()},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ScriptedRetrier script;
    auto session = sessionWith(script.retrier(row.atOnce));
    std::atomic<int> deliveries = 0;
    std::optional<HalyardError> failure;
    auto record = [&](const auto& response) {
      ++deliveries;
      if (!response.result) failure = response.result.error();
    };
    const halyard::EmptyResponseCodes noEmptyCodes;
    halyard::RequestPtr request;
    if (row.kind == Kind::data) {
      auto data = session->makeDataRequest(base + row.path);
      data->validateStatusCodes(halyard::StatusCodeRange{200, 300});
      data->responseAsJSON(platform::DispatchQueue::main(),
                           halyard::ResponseSerializer::defaultDataPreprocessor(), noEmptyCodes, {},
                           0, record);
      request = data;
    } else {
      auto download = session->makeDownloadRequest(base + row.path);
      download->responseAsJSON(platform::DispatchQueue::main(),
                               halyard::ResponseSerializer::defaultDataPreprocessor(), noEmptyCodes,
                               {}, 0, record);
      request = download;
    }
    ASSERT_TRUE(waitUntil([&] { return script.asked() == 1; }));
    session->rootQueue()->sync([] {});
    request->cancel();
    // The cancel alone must finish the request; the late answer must not finish it again.
    const bool delivered = waitUntil([&] { return deliveries == 1; }, 5);
    if (row.afterCancel) script.answer(*row.afterCancel);
    if (!delivered) {
      ADD_FAILURE() << "never delivered";
      continue;
    }
    settle(session);
    EXPECT_EQ(deliveries, 1);
    ASSERT_TRUE(failure);
    EXPECT_EQ(request->state(), Request::State::cancelled);
    EXPECT_EQ(activeCount(session), 0u);
    EXPECT_EQ(finishes(), 1u) << testing::PrintToString(monitor->events());
    EXPECT_EQ(script.asked(), 1);
    monitor = std::make_shared<halyardtest::RecordingMonitor>();
  }
}

TEST_F(RequestFinishingITest, ARequestAfterTheURLSessionWasInvalidatedEndsCancelled) {
  struct Row {
    const char* name;
    bool cancelTasks;
  };
  for (const Row& row : {Row{"finish and invalidate", false}, Row{"invalidate and cancel", true}}) {
    SCOPED_TRACE(row.name);
    auto session = sessionWith(nullptr);
    if (row.cancelTasks) {
      session->session()->invalidateAndCancel();
    } else {
      session->session()->finishTasksAndInvalidate();
    }
    std::optional<HalyardError> failure;
    auto request = session->makeDataRequest(base + "/ok");
    request->responseAsString([&](const auto& r) {
      ASSERT_FALSE(r.result);
      failure = r.result.error();
    });
    ASSERT_TRUE(waitUntil([&] { return failure.has_value(); }, 5));
    ASSERT_TRUE(failure->isSessionTaskFailed()) << failure->errorDescription();
    const auto urlError =
        std::dynamic_pointer_cast<const platform::URLError>(failure->wrappedError());
    ASSERT_TRUE(urlError);
    EXPECT_EQ(urlError->code(), platform::URLError::Code::cancelled);
    EXPECT_EQ(request->state(), Request::State::finished);
    EXPECT_EQ(activeCount(session), 0u);
  }
}

TEST_F(RequestFinishingITest, ARequestSuspendedAfterItsHandlerWasAddedStaysSuspended) {
  auto session = sessionWith(nullptr);
  auto request = session->makeDataRequest(base + "/ok");
  bool delivered = false;
  request->responseAsString([&](const auto&) { delivered = true; });
  request->suspend();
  ASSERT_TRUE(waitUntil([&] { return !request->tasks().empty(); }));
  settle(session);
  EXPECT_EQ(request->state(), Request::State::suspended);
  EXPECT_EQ(request->lastTask()->state(), platform::URLSessionTask::State::suspended);
  EXPECT_FALSE(delivered);
  // Resuming is still the caller's to do, and then it runs.
  request->resume();
  EXPECT_TRUE(waitUntil([&] { return delivered; }));
}

}  // namespace
