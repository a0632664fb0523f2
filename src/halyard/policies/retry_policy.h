#pragma once

#include <cstdint>
#include <memory>
#include <unordered_set>

#include "halyard/core/http_method.h"
#include "halyard/core/request_interceptor.h"
#include "platform/net/url_error.h"

namespace halyard {

struct URLErrorCodeHash {
  std::size_t operator()(platform::URLError::Code code) const {
    return std::hash<int>()(static_cast<int>(code));
  }
};

using HTTPMethodSet = std::unordered_set<HTTPMethod>;
using StatusCodeSet = std::unordered_set<int>;
using URLErrorCodeSet = std::unordered_set<platform::URLError::Code, URLErrorCodeHash>;

// Retries a failed request with exponential back-off when its method is idempotent and the
// failure looks transient: a retryable status code, or a transport error with a retryable URL
// error code. Immutable once built, so one policy may serve many requests at once.
class RetryPolicy : public RequestInterceptor {
 public:
  static constexpr unsigned kDefaultRetryLimit = 2;
  static constexpr unsigned kDefaultExponentialBackoffBase = 2;
  static constexpr double kDefaultExponentialBackoffScale = 0.5;

  // The default sets, built once on first use and shared.
  static const HTTPMethodSet& defaultRetryableHTTPMethods();
  static const StatusCodeSet& defaultRetryableHTTPStatusCodes();
  static const URLErrorCodeSet& defaultRetryableURLErrorCodes();

  // A base below 2 is a programming error: the policy is not built and the program stops.
  explicit RetryPolicy(unsigned retryLimit = kDefaultRetryLimit,
                       unsigned exponentialBackoffBase = kDefaultExponentialBackoffBase,
                       double exponentialBackoffScale = kDefaultExponentialBackoffScale,
                       HTTPMethodSet retryableHTTPMethods = defaultRetryableHTTPMethods(),
                       StatusCodeSet retryableHTTPStatusCodes = defaultRetryableHTTPStatusCodes(),
                       URLErrorCodeSet retryableURLErrorCodes = defaultRetryableURLErrorCodes());

  unsigned retryLimit() const { return retryLimit_; }
  unsigned exponentialBackoffBase() const { return exponentialBackoffBase_; }
  double exponentialBackoffScale() const { return exponentialBackoffScale_; }
  const HTTPMethodSet& retryableHTTPMethods() const { return retryableHTTPMethods_; }
  const StatusCodeSet& retryableHTTPStatusCodes() const { return retryableHTTPStatusCodes_; }
  const URLErrorCodeSet& retryableURLErrorCodes() const { return retryableURLErrorCodes_; }

  void decideRetry(const std::shared_ptr<Request>& request, const std::shared_ptr<Session>& session,
                   const platform::ErrorPtr& error, RetryCompletion completion) override;
  virtual bool isRetryable(const std::shared_ptr<Request>& request,
                           const platform::ErrorPtr& error) const;

 private:
  unsigned retryLimit_;
  unsigned exponentialBackoffBase_;
  double exponentialBackoffScale_;
  HTTPMethodSet retryableHTTPMethods_;
  StatusCodeSet retryableHTTPStatusCodes_;
  URLErrorCodeSet retryableURLErrorCodes_;
};

// Retries only when the network connection was lost.
class ConnectionLostRetryPolicy : public RetryPolicy {
 public:
  explicit ConnectionLostRetryPolicy(
      unsigned retryLimit = kDefaultRetryLimit,
      unsigned exponentialBackoffBase = kDefaultExponentialBackoffBase,
      double exponentialBackoffScale = kDefaultExponentialBackoffScale,
      HTTPMethodSet retryableHTTPMethods = defaultRetryableHTTPMethods());
};

}  // namespace halyard
