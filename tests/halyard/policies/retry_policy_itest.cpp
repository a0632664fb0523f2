#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "halyard/core/data_request.h"
#include "halyard/core/session.h"
#include "halyard/core/upload_request.h"
#include "halyard/policies/retry_policy.h"
#include "halyard/support/test_server.h"
#include "halyard/support/wait.h"
#include "platform/net/url_error.h"
#include "support/test_files.h"

namespace {

using halyard::ConnectionLostRetryPolicy;
using halyard::DataResponse;
using halyard::HalyardError;
using halyard::HTTPMethod;
using halyard::RetryPolicy;
using halyard::StatusCodeRange;
using halyardtest::waitUntil;
using Code = platform::URLError::Code;

// A scale of 0.01 keeps the back-off of every test below a tenth of a second.
std::shared_ptr<RetryPolicy> quickPolicy() {
  return std::make_shared<RetryPolicy>(2, 2, 0.01);
}
std::shared_ptr<RetryPolicy> quickConnectionLostPolicy() {
  return std::make_shared<ConnectionLostRetryPolicy>(2, 2, 0.01);
}

// The URL error a failed response carries, directly or inside the client's error.
std::optional<Code> urlErrorCode(const HalyardError& error) {
  const auto* urlError = dynamic_cast<const platform::URLError*>(error.wrappedError().get());
  if (!urlError) return std::nullopt;
  return urlError->code();
}

class RetryPolicyITest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto& s = server.server();
    // Answers the statuses of `script` in turn, then 200.
    auto scripted = [this](const httplib::Request&, httplib::Response& response) {
      const auto index = std::size_t(hits++);
      response.status = index < script.size() ? script[index] : 200;
      response.set_content("attempt " + std::to_string(index + 1), "text/plain");
    };
    s.Get("/scripted", scripted);
    s.Post("/scripted", scripted);
    s.Put("/scripted", scripted);
    // Sends a head that promises a body, then drops the connection.
    s.Get("/drop", [this](const httplib::Request&, httplib::Response& response) {
      ++hits;
      response.set_content_provider(
          100, "text/plain", [](std::size_t, std::size_t, httplib::DataSink&) { return false; });
    });
    s.Get("/stall", [this](const httplib::Request&, httplib::Response& response) {
      ++hits;
      stall.wait();
      response.set_content("late", "text/plain");
    });
    base = server.start();
  }
  void TearDown() override {
    stall.open();
    server.stop();
  }

  template <class R>
  DataResponse<std::string> await(R& request) {
    std::optional<DataResponse<std::string>> response;
    request.validateStatusCodes(StatusCodeRange{200, 300})
        .responseAsString([&](const DataResponse<std::string>& r) { response = r; });
    EXPECT_TRUE(waitUntil([&] { return response.has_value(); }, 20));
    return response.value_or(DataResponse<std::string>{
        {}, nullptr, {}, nullptr, 0, std::unexpected(HalyardError::explicitlyCancelled())});
  }

  halyardtest::TestServer server;
  std::string base;
  std::vector<int> script;
  std::atomic<int> hits{0};
  halyardtest::Gate stall;
  std::shared_ptr<halyard::Session> session = halyard::Session::initWithConfiguration();
};

struct StatusRow {
  const char* name;
  std::string method;
  std::vector<int> script;
  bool connectionLostPolicy;
  int expectedHits;
  std::optional<int> finalStatus;  // nothing: the request succeeds
};

TEST_F(RetryPolicyITest, RetriesValidatedStatusesOfIdempotentMethods) {
  const std::vector<StatusRow> rows{
      {"503, 503, 200 succeeds", "GET", {503, 503}, false, 3, std::nullopt},
      {"503 three times fails", "GET", {503, 503, 503}, false, 3, 503},
      {"POST is asked once", "POST", {503, 503}, false, 1, 503},
      {"connection-lost policy ignores 503", "GET", {503, 503}, true, 1, 503},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    hits = 0;
    script = row.script;
    auto request = session->makeDataRequest(
        base + "/scripted", HTTPMethod(row.method), std::nullopt,
        row.connectionLostPolicy ? quickConnectionLostPolicy() : quickPolicy());
    const auto response = await(*request);
    EXPECT_EQ(hits.load(), row.expectedHits);
    EXPECT_EQ(request->retryCount(), row.expectedHits - 1);
    if (!row.finalStatus) {
      ASSERT_TRUE(response.result) << response.result.error().debugDescription();
      EXPECT_EQ(*response.result, "attempt 3");
    } else {
      ASSERT_FALSE(response.result);
      EXPECT_EQ(response.result.error().rejectedStatusCode(), *row.finalStatus);
    }
  }
}

TEST_F(RetryPolicyITest, ALostConnectionIsRetriedByTheConnectionLostPolicy) {
  auto request = session->makeDataRequest(base + "/drop", HTTPMethod::GET, std::nullopt,
                                          quickConnectionLostPolicy());
  const auto response = await(*request);
  ASSERT_FALSE(response.result);
  EXPECT_EQ(urlErrorCode(response.result.error()), Code::networkConnectionLost);
  EXPECT_EQ(hits.load(), 3);
}

TEST_F(RetryPolicyITest, ATimeOutIsRetried) {
  auto request = session->makeDataRequest(
      base + "/stall", HTTPMethod::GET, std::nullopt, quickPolicy(),
      [](platform::URLRequest& urlRequest) { urlRequest.timeoutInterval = 0.2; });
  const auto response = await(*request);
  ASSERT_FALSE(response.result);
  EXPECT_EQ(urlErrorCode(response.result.error()), Code::timedOut);
  EXPECT_EQ(request->retryCount(), 2);
  EXPECT_TRUE(waitUntil([&] { return hits.load() == 3; }));
}

TEST_F(RetryPolicyITest, AConsumedStreamBodyIsNotSentAgainButAFileBodyIs) {
  testsupport::TemporaryDirectory directory;
  ASSERT_TRUE(directory.create("halyard-retry"));
  const std::string path = directory.path() + "/body.txt";
  std::ofstream(path) << "file body";

  script = {503, 503};
  auto streamed = session->makeStreamUploadToURL(
      platform::InputStream::withData({'s', 't', 'r', 'e', 'a', 'm'}), base + "/scripted",
      HTTPMethod::PUT, std::nullopt, quickPolicy());
  const auto streamResponse = await(*streamed);
  ASSERT_FALSE(streamResponse.result);
  // The request's own failure, not an exhausted body on a second attempt.
  EXPECT_EQ(streamResponse.result.error().rejectedStatusCode(), 503);
  EXPECT_EQ(hits.load(), 1);
  EXPECT_EQ(streamed->retryCount(), 0);

  hits = 0;
  auto filed =
      session->makeFileUploadToURL(platform::URL::fileURLWithPath(path), base + "/scripted",
                                   HTTPMethod::PUT, std::nullopt, quickPolicy());
  const auto fileResponse = await(*filed);
  ASSERT_TRUE(fileResponse.result) << fileResponse.result.error().debugDescription();
  EXPECT_EQ(hits.load(), 3);
}

}  // namespace
