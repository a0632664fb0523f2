#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "halyard/core/data_request.h"
#include "halyard/core/session.h"
#include "halyard/policies/data_task.h"
#include "halyard/policies/download_task.h"
#include "halyard/support/test_server.h"
#include "halyard/support/wait.h"
#include "platform/concurrency/wait_for.h"
#include "support/recorder.h"

namespace {

using halyard::DataRequest;
using halyard::DataTask;
using halyard::HalyardError;
using halyard::ResponseSerializer;
using halyard::Session;
using halyardtest::TestServer;

DataTask<platform::Bytes> bytesTask(const std::shared_ptr<DataRequest>& request, bool autoCancel) {
  return request->serializingData(ResponseSerializer::defaultDataPreprocessor(),
                                  ResponseSerializer::standardEmptyResponseCodes(),
                                  ResponseSerializer::standardEmptyRequestMethods(), autoCancel);
}

std::string text(const platform::Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// What a caller's coroutine sees: the body, or the error `value` threw.
platform::Task<std::string> awaitValue(DataTask<platform::Bytes> task) {
  try {
    auto body = co_await task.value();
    co_return "body: " + text(body);
  } catch (const HalyardError& e) {
    if (e.isExplicitlyCancelled()) co_return std::string("error: cancelled");
    auto code = e.rejectedStatusCode();
    co_return std::string("error: validation ") + (code ? std::to_string(*code) : "none");
  }
}

struct Counter {
  int n = 0;
  static Counter decode(platform::Decoder& decoder) {
    Counter c;
    c.n = decoder.container()->decode<int>("n");
    return c;
  }
};

platform::Task<int> awaitCounter(DataTask<Counter> task) {
  co_return (co_await task.value()).n;
}

class DataTaskITest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto& s = server.server();
    s.Get("/hello", [](const httplib::Request&, httplib::Response& r) {
      r.set_content("hello", "text/plain");
    });
    s.Get("/counter", [](const httplib::Request&, httplib::Response& r) {
      r.set_content(R"({"n":3})", "application/json");
    });
    s.Get("/missing", [](const httplib::Request&, httplib::Response& r) {
      r.status = 404;
      r.set_content("gone", "text/plain");
    });
    // Each /slow/<n> waits for gate n, so every case gets a closed gate of its own.
    s.Get(R"(/slow/(\d+))", [this](const httplib::Request& q, httplib::Response& r) {
      slowEntered.store(true);
      gates[std::stoul(q.matches[1].str())].wait();
      r.set_content("late but whole", "text/plain");
    });
    base = server.start();
  }
  void TearDown() override {
    for (auto& g : gates)
      g.open();
    server.stop();
  }

  TestServer server;
  std::string base;
  halyardtest::Gate gates[4];
  std::atomic<bool> slowEntered{false};
  std::shared_ptr<Session> session = Session::initWithConfiguration();
};

TEST_F(DataTaskITest, ValueOrTheValidationError) {
  struct Row {
    const char* path;
    bool validate;
    std::string expected;
  };
  const Row rows[] = {{"/hello", true, "body: hello"},
                      {"/missing", false, "body: gone"},
                      {"/missing", true, "error: validation 404"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.path) + (row.validate ? " validated" : ""));
    auto request = session->makeDataRequest(base + row.path);
    if (row.validate) request->validateStatusAndContentType();
    auto task = bytesTask(request, false);
    EXPECT_EQ(platform::waitFor(awaitValue(task), 10), row.expected);
    // A second awaiter gets the same response from the one task.
    EXPECT_EQ(platform::waitFor(awaitValue(task), 10), row.expected);
  }
}

TEST_F(DataTaskITest, DecodedValue) {
  auto request = session->makeDataRequest(base + "/counter");
  auto task = request->serializingDecodable<Counter>(
      ResponseSerializer::defaultDataPreprocessor(), platform::JSONDecoder(),
      ResponseSerializer::standardEmptyResponseCodes(),
      ResponseSerializer::standardEmptyRequestMethods(), false);
  EXPECT_EQ(platform::waitFor(awaitCounter(task), 10), 3);
}

TEST_F(DataTaskITest, CancellingTheAwaiterReachesTheRequestOnlyWhenAsked) {
  struct Row {
    const char* name;
    bool autoCancel;
    bool cancelWrapper;
    std::string expected;
    bool requestCancelled;
  };
  const Row rows[] = {
      {"awaiting does not own the request", false, false, "body: late but whole", false},
      {"awaiting owns the request", true, false, "error: cancelled", true},
      {"the wrapper's own cancel", false, true, "error: cancelled", true},
  };
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const auto& row = rows[i];
    SCOPED_TRACE(row.name);
    slowEntered.store(false);
    auto request = session->makeDataRequest(base + "/slow/" + std::to_string(i));
    auto task = bytesTask(request, row.autoCancel);
    auto awaiting = awaitValue(task);
    ASSERT_TRUE(halyardtest::waitUntil([&] { return slowEntered.load(); }));
    if (row.cancelWrapper) {
      task.cancel();
    } else {
      awaiting.cancel();
    }
    if (!row.requestCancelled) gates[i].open();
    EXPECT_EQ(platform::waitFor(awaiting, 10), row.expected);
    EXPECT_EQ(request->isCancelled(), row.requestCancelled);
    gates[i].open();
  }
}

TEST_F(DataTaskITest, CancelRightAfterConstructionCancelsTheRequest) {
  auto request = session->makeDataRequest(base + "/hello");
  auto task = bytesTask(request, false);
  task.cancel();
  EXPECT_EQ(platform::waitFor(awaitValue(task), 10), "error: cancelled");
  EXPECT_TRUE(request->isCancelled());
  // Resuming a finished request changes nothing.
  task.resume();
  EXPECT_TRUE(request->isCancelled());
}

using DownloadBytes = halyard::DownloadTask<platform::Bytes>;

// The body, or "cancelled" with whether resume data came along.
platform::Task<std::string> awaitDownload(DownloadBytes task) {
  auto response = co_await task.response();
  if (response.result) co_return "body: " + text(*response.result);
  co_return std::string(response.result.error().isExplicitlyCancelled() ? "cancelled" : "other") +
      (response.resumeData ? " with resume data" : " without resume data");
}

TEST_F(DataTaskITest, DownloadTasks) {
  struct Row {
    const char* name;
    std::string path;
    bool cancelAwaiter;
    std::string expected;
  };
  const Row rows[] = {
      {"to the end", "/hello", false, "body: hello"},
      {"cancelled: no resume data", "/slow/3", true, "cancelled without resume data"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    slowEntered.store(false);
    auto request = session->makeDownloadRequest(base + row.path);
    auto task = request->serializingData(ResponseSerializer::defaultDataPreprocessor(),
                                         ResponseSerializer::standardEmptyResponseCodes(),
                                         ResponseSerializer::standardEmptyRequestMethods(), true);
    auto awaiting = awaitDownload(task);
    if (row.cancelAwaiter) {
      ASSERT_TRUE(halyardtest::waitUntil([&] { return slowEntered.load(); }));
      awaiting.cancel();
    }
    EXPECT_EQ(platform::waitFor(awaiting, 10), row.expected);
    EXPECT_EQ(request->isCancelled(), row.cancelAwaiter);
  }
}

}  // namespace

namespace {

// Where each step of a vetted response happened, in order.
using Steps = testsupport::Recorder<std::string>;

TEST_F(DataTaskITest, AsynchronousResponseHandlersDecideOverTheBody) {
  struct Row {
    const char* name;
    std::function<void(DataRequest&, std::shared_ptr<Steps>)> install;
    std::string expected;
    std::vector<std::string> steps;
  };
  const Row rows[] = {
      {"answering cancel",
       [](DataRequest& r, std::shared_ptr<Steps> steps) {
         r.onHTTPResponseAsync([steps](platform::HTTPURLResponsePtr response)
                                   -> platform::Task<DataRequest::ResponseDisposition> {
           steps->add("handler " + std::to_string(response->statusCode()));
           co_return DataRequest::ResponseDisposition::cancel;
         });
       },
       "error: cancelled",
       {"handler 200", "response"}},
      {"answering allow",
       [](DataRequest& r, std::shared_ptr<Steps> steps) {
         r.onHTTPResponseAsync([steps](platform::HTTPURLResponsePtr)
                                   -> platform::Task<DataRequest::ResponseDisposition> {
           steps->add("handler");
           co_return DataRequest::ResponseDisposition::allow;
         });
       },
       "body: hello",
       {"handler", "response"}},
      {"allowing after the handler",
       [](DataRequest& r, std::shared_ptr<Steps> steps) {
         r.onHTTPResponseAsyncAllowing(
             [steps](platform::HTTPURLResponsePtr) -> platform::Task<void> {
               steps->add("handler");
               co_return;
             });
       },
       "body: hello",
       {"handler", "response"}},
      {"a handler that throws",
       [](DataRequest& r, std::shared_ptr<Steps> steps) {
         r.onHTTPResponseAsyncAllowing(
             [steps](platform::HTTPURLResponsePtr) -> platform::Task<void> {
               steps->add("handler");
               throw std::runtime_error("no");
               co_return;
             });
       },
       "error: cancelled",
       {"handler", "response"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto steps = std::make_shared<Steps>();
    auto request = session->makeDataRequest(base + "/hello");
    row.install(*request, steps);
    auto task = bytesTask(request, false);
    auto awaiting = awaitValue(task);
    auto recording = [](DataTask<platform::Bytes> t,
                        std::shared_ptr<Steps> s) -> platform::Task<void> {
      co_await t.response();
      s->add("response");
    }(task, steps);
    EXPECT_EQ(platform::waitFor(awaiting, 10), row.expected);
    platform::waitFor(recording, 10);
    EXPECT_EQ(steps->entries(), row.steps);
  }
}

TEST_F(DataTaskITest, ResumingAFinishedRequestChangesNothing) {
  auto request = session->makeDataRequest(base + "/hello");
  auto task =
      request->serializingString(ResponseSerializer::defaultDataPreprocessor(), std::nullopt,
                                 ResponseSerializer::standardEmptyResponseCodes(),
                                 ResponseSerializer::standardEmptyRequestMethods(), false);
  auto value = [](halyard::DataTask<std::string> t) -> platform::Task<std::string> {
    co_return co_await t.value();
  }(task);
  EXPECT_EQ(platform::waitFor(value, 10), "hello");
  ASSERT_TRUE(halyardtest::waitUntil([&] { return request->isFinished(); }));
  task.resume();
  task.suspend();
  task.cancel();
  EXPECT_TRUE(request->isFinished());
}

}  // namespace
