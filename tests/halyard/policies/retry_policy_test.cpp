#include "halyard/policies/retry_policy.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "halyard/core/halyard_error.h"
#include "halyard/core/request.h"
#include "platform/net/http_url_response.h"

namespace {

using halyard::ConnectionLostRetryPolicy;
using halyard::HalyardError;
using halyard::RetryPolicy;
using halyard::RetryResult;
using Code = platform::URLError::Code;

// A request whose last URL request, last response and retry count are whatever a row says.
class FakeRequest : public halyard::Request {
 public:
  FakeRequest(std::optional<std::string> method, std::optional<int> status, std::int64_t retries)
      : Request(halyard::RequestContext{platform::UUID(),
                                        platform::DispatchQueue::serial("fake.request"),
                                        platform::DispatchQueue::serial("fake.serialization"),
                                        nullptr,
                                        nullptr,
                                        {}}),
        method_(std::move(method)),
        status_(status),
        retries_(retries),
        hasRequest_(true) {}
  static std::shared_ptr<FakeRequest> withoutURLRequest() {
    auto request = std::make_shared<FakeRequest>(std::nullopt, std::nullopt, 0);
    request->hasRequest_ = false;
    return request;
  }

  std::optional<platform::URLRequest> lastRequest() const override {
    if (!hasRequest_) return std::nullopt;
    platform::URLRequest request(*platform::URL::fromString("http://127.0.0.1/r"));
    request.httpMethod = method_;
    return request;
  }
  platform::HTTPURLResponsePtr httpResponse() const override {
    if (!status_) return nullptr;
    return std::make_shared<const platform::HTTPURLResponse>(
        *platform::URL::fromString("http://127.0.0.1/r"), *status_, "HTTP/1.1",
        platform::HTTPHeaderFields{});
  }
  std::int64_t retryCount() const override { return retries_; }

 private:
  std::optional<std::string> method_;
  std::optional<int> status_;
  std::int64_t retries_;
  bool hasRequest_;
};

platform::ErrorPtr urlError(Code code) {
  return platform::makeError(platform::URLError(code));
}

std::optional<double> decide(RetryPolicy& policy, const std::shared_ptr<halyard::Request>& request,
                             const platform::ErrorPtr& error) {
  std::optional<RetryResult> answer;
  policy.decideRetry(request, nullptr, error, [&](RetryResult result) { answer = result; });
  EXPECT_TRUE(answer.has_value());
  if (!answer || answer->isDoNotRetry()) return std::nullopt;
  EXPECT_TRUE(answer->isRetryWithDelay());
  return answer->delay();
}

TEST(RetryPolicyTest, DefaultsAreTheDocumentedSets) {
  const RetryPolicy policy;
  EXPECT_EQ(policy.retryLimit(), 2u);
  EXPECT_EQ(policy.exponentialBackoffBase(), 2u);
  EXPECT_DOUBLE_EQ(policy.exponentialBackoffScale(), 0.5);
  std::vector<std::string> methods;
  for (const auto& method : policy.retryableHTTPMethods())
    methods.push_back(method.rawValue);
  std::sort(methods.begin(), methods.end());
  EXPECT_EQ(methods,
            (std::vector<std::string>{"DELETE", "GET", "HEAD", "OPTIONS", "PUT", "TRACE"}));
  EXPECT_EQ(policy.retryableHTTPStatusCodes(), (halyard::StatusCodeSet{408, 500, 502, 503, 504}));
  std::vector<int> codes;
  for (const auto code : policy.retryableURLErrorCodes())
    codes.push_back(int(code));
  std::sort(codes.begin(), codes.end());
  EXPECT_EQ(codes, (std::vector<int>{-3007, -3006, -2000, -1204, -1201, -1200, -1020, -1019, -1018,
                                     -1011, -1009, -1006, -1005, -1004, -1003, -1001, -997, -996}));
  // Built once and shared.
  EXPECT_EQ(&RetryPolicy::defaultRetryableURLErrorCodes(),
            &RetryPolicy::defaultRetryableURLErrorCodes());

  const ConnectionLostRetryPolicy lost;
  EXPECT_TRUE(lost.retryableHTTPStatusCodes().empty());
  EXPECT_EQ(lost.retryableURLErrorCodes(), (halyard::URLErrorCodeSet{Code::networkConnectionLost}));
  EXPECT_EQ(lost.retryableHTTPMethods(), RetryPolicy::defaultRetryableHTTPMethods());
}

TEST(RetryPolicyDeathTest, ABaseBelowTwoStopsTheProgram) {
  EXPECT_DEATH(RetryPolicy(2, 1), "exponentialBackoffBase");
  EXPECT_DEATH(ConnectionLostRetryPolicy(2, 0), "exponentialBackoffBase");
}

enum class Kind { standard, connectionLost, base3Limit5, limit0 };

struct Row {
  const char* name;
  Kind policy;
  std::optional<std::string> method;
  std::optional<int> status;
  std::int64_t retries;
  platform::ErrorPtr error;
  std::optional<double> delay;  // nothing: do not retry
};

TEST(RetryPolicyTest, DecidesFromMethodStatusErrorAndCount) {
  const auto timedOut = urlError(Code::timedOut);
  const auto lost = urlError(Code::networkConnectionLost);
  const auto wrappedOffline =
      platform::makeError(HalyardError::sessionTaskFailed(urlError(Code::notConnectedToInternet)));
  const auto validation503 = platform::makeError(HalyardError::responseValidationFailed(
      HalyardError::ResponseValidationFailureReason::UnacceptableStatusCode{503}));
  const auto badDate = urlError(Code::serverCertificateHasBadDate);
  const auto untrusted = urlError(Code::serverCertificateUntrusted);
  const auto cancelled = urlError(Code::cancelled);
  const std::vector<Row> rows{
      {"503 first retry waits 0.5 s", Kind::standard, "GET", 503, 0, validation503, 0.5},
      {"503 second retry waits 1 s", Kind::standard, "GET", 503, 1, validation503, 1.0},
      {"no third retry", Kind::standard, "GET", 503, 2, validation503, std::nullopt},
      {"POST is not idempotent", Kind::standard, "POST", 503, 0, validation503, std::nullopt},
      {"method text is exact", Kind::standard, "get", 503, 0, validation503, std::nullopt},
      {"404 with timeout retries", Kind::standard, "GET", 404, 0, timedOut, 0.5},
      {"404 without URL error", Kind::standard, "GET", 404, 0, validation503, std::nullopt},
      {"status decides before error", Kind::standard, "PUT", 502, 0, cancelled, 0.5},
      {"wrapped offline error", Kind::standard, "GET", std::nullopt, 0, wrappedOffline, 0.5},
      {"certificate date is transient", Kind::standard, "HEAD", std::nullopt, 0, badDate, 0.5},
      {"untrusted certificate is not", Kind::standard, "GET", std::nullopt, 0, untrusted,
       std::nullopt},
      {"no error, no response", Kind::standard, "GET", std::nullopt, 0, nullptr, std::nullopt},
      {"no method", Kind::standard, std::nullopt, 503, 0, timedOut, std::nullopt},
      {"lost connection", Kind::connectionLost, "GET", std::nullopt, 0, lost, 0.5},
      {"lost policy ignores 503", Kind::connectionLost, "GET", 503, 0, validation503, std::nullopt},
      {"lost policy ignores timeout", Kind::connectionLost, "GET", std::nullopt, 0, timedOut,
       std::nullopt},
      {"base 3 first", Kind::base3Limit5, "GET", 500, 0, nullptr, 1.0},
      {"base 3 second", Kind::base3Limit5, "GET", 500, 1, nullptr, 3.0},
      {"base 3 third", Kind::base3Limit5, "GET", 500, 2, nullptr, 9.0},
      {"limit 0 never retries", Kind::limit0, "GET", 503, 0, timedOut, std::nullopt},
  };
  RetryPolicy standard;
  ConnectionLostRetryPolicy connectionLost;
  RetryPolicy base3(5, 3, 1.0);
  RetryPolicy limit0(0);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RetryPolicy& policy = row.policy == Kind::standard         ? standard
                          : row.policy == Kind::connectionLost ? connectionLost
                          : row.policy == Kind::base3Limit5    ? base3
                                                               : limit0;
    const auto request = std::make_shared<FakeRequest>(row.method, row.status, row.retries);
    const auto delay = decide(policy, request, row.error);
    ASSERT_EQ(delay.has_value(), row.delay.has_value());
    if (delay) {
      EXPECT_DOUBLE_EQ(*delay, *row.delay);
    }
  }
}

TEST(RetryPolicyTest, ARequestWithoutURLRequestIsNotRetried) {
  RetryPolicy policy;
  EXPECT_FALSE(decide(policy, FakeRequest::withoutURLRequest(), urlError(Code::timedOut)));
  EXPECT_FALSE(decide(policy, nullptr, urlError(Code::timedOut)));
}

}  // namespace
