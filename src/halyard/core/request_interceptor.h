#pragma once

#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/process_info.h"
#include "platform/net/url_request.h"

namespace halyard {

class Request;
class Session;

// The answer to "should this failed request be tried again?".
class RetryResult {
 public:
  enum class Kind { retryWithDelay, doNotRetryWithError, retry, doNotRetry };

  static RetryResult retryWithDelay(double seconds) {
    return RetryResult(Kind::retryWithDelay, seconds, nullptr);
  }
  // Do not retry, and finish with this error in place of the request's own.
  static RetryResult doNotRetryWithError(platform::ErrorPtr error) {
    return RetryResult(Kind::doNotRetryWithError, 0, std::move(error));
  }
  static RetryResult retry() { return RetryResult(Kind::retry, 0, nullptr); }
  static RetryResult doNotRetry() { return RetryResult(Kind::doNotRetry, 0, nullptr); }

  Kind kind() const { return kind_; }
  bool isRetryWithDelay() const { return kind_ == Kind::retryWithDelay; }
  bool isDoNotRetryWithError() const { return kind_ == Kind::doNotRetryWithError; }
  bool isRetry() const { return kind_ == Kind::retry; }
  bool isDoNotRetry() const { return kind_ == Kind::doNotRetry; }
  // Whether the answer asks for another attempt (at once or later).
  bool retryRequired() const { return isRetry() || isRetryWithDelay(); }
  // The delay of `retryWithDelay`, in seconds.
  std::optional<double> delay() const {
    if (isRetryWithDelay()) return delay_;
    return std::nullopt;
  }
  // The error of `doNotRetryWithError`.
  const platform::ErrorPtr& error() const { return error_; }

 private:
  RetryResult(Kind kind, double delay, platform::ErrorPtr error)
      : kind_(kind), delay_(delay), error_(std::move(error)) {}
  Kind kind_;
  double delay_;
  platform::ErrorPtr error_;
};

// What an adapter learns about the request it adapts.
struct RequestAdapterState {
  platform::UUID requestID;
  std::shared_ptr<Session> session;
};

using AdaptationResult = std::expected<platform::URLRequest, platform::ErrorPtr>;
using AdaptCompletion = std::function<void(AdaptationResult)>;
using RetryCompletion = std::function<void(RetryResult)>;

// Rewrites a URL request before it is sent. The completion may be called on any thread, once.
class RequestAdapter {
 public:
  virtual ~RequestAdapter() = default;
  // Passes the request through unchanged unless overridden.
  virtual void adaptForSession(const platform::URLRequest& urlRequest,
                               const std::shared_ptr<Session>& session, AdaptCompletion completion);
  // Asks `adaptForSession` with the state's session unless overridden.
  virtual void adaptWithState(const platform::URLRequest& urlRequest,
                              const RequestAdapterState& state, AdaptCompletion completion);
};

// Decides whether a failed request is tried again. The completion may be called on any
// thread, once.
class RequestRetrier {
 public:
  virtual ~RequestRetrier() = default;
  // Answers `doNotRetry` unless overridden.
  virtual void decideRetry(const std::shared_ptr<Request>& request,
                           const std::shared_ptr<Session>& session, const platform::ErrorPtr& error,
                           RetryCompletion completion);
};

// An adapter and a retrier in one.
class RequestInterceptor : public RequestAdapter, public RequestRetrier {};

using AdaptHandler = std::function<void(const platform::URLRequest&,
                                        const std::shared_ptr<Session>&, AdaptCompletion)>;
using RetryHandler =
    std::function<void(const std::shared_ptr<Request>&, const std::shared_ptr<Session>&,
                       const platform::ErrorPtr&, RetryCompletion)>;

// An interceptor around one adapt closure.
class Adapter : public RequestInterceptor {
 public:
  explicit Adapter(AdaptHandler adaptHandler) : adaptHandler_(std::move(adaptHandler)) {}
  void adaptForSession(const platform::URLRequest& urlRequest,
                       const std::shared_ptr<Session>& session,
                       AdaptCompletion completion) override;
  void adaptWithState(const platform::URLRequest& urlRequest, const RequestAdapterState& state,
                      AdaptCompletion completion) override;

 private:
  AdaptHandler adaptHandler_;
};

// An interceptor around one retry closure.
class Retrier : public RequestInterceptor {
 public:
  explicit Retrier(RetryHandler retryHandler) : retryHandler_(std::move(retryHandler)) {}
  void decideRetry(const std::shared_ptr<Request>& request, const std::shared_ptr<Session>& session,
                   const platform::ErrorPtr& error, RetryCompletion completion) override;

 private:
  RetryHandler retryHandler_;
};

// Lists of adapters and retriers run as chains: each adapter adapts the previous one's output
// and the first failure ends the chain; the first retrier that answers anything but
// `doNotRetry` decides.
class Interceptor : public RequestInterceptor, public std::enable_shared_from_this<Interceptor> {
 public:
  using Adapters = std::vector<std::shared_ptr<RequestAdapter>>;
  using Retriers = std::vector<std::shared_ptr<RequestRetrier>>;
  using Interceptors = std::vector<std::shared_ptr<RequestInterceptor>>;

  // One adapter around `adaptHandler`, one retrier around `retryHandler`.
  Interceptor(AdaptHandler adaptHandler, RetryHandler retryHandler);
  Interceptor(std::shared_ptr<RequestAdapter> adapter, std::shared_ptr<RequestRetrier> retrier);
  // The adapters followed by the interceptors as adapters; likewise for the retriers.
  explicit Interceptor(Adapters adapters = {}, Retriers retriers = {},
                       const Interceptors& interceptors = {});

  const Adapters& adapters() const { return adapters_; }
  const Retriers& retriers() const { return retriers_; }

  void adaptForSession(const platform::URLRequest& urlRequest,
                       const std::shared_ptr<Session>& session,
                       AdaptCompletion completion) override;
  virtual void adaptChain(const platform::URLRequest& urlRequest,
                          const std::shared_ptr<Session>& session, Adapters pendingAdapters,
                          AdaptCompletion completion);
  void adaptWithState(const platform::URLRequest& urlRequest, const RequestAdapterState& state,
                      AdaptCompletion completion) override;
  virtual void adaptChainWithState(const platform::URLRequest& urlRequest,
                                   const RequestAdapterState& state, Adapters pendingAdapters,
                                   AdaptCompletion completion);
  void decideRetry(const std::shared_ptr<Request>& request, const std::shared_ptr<Session>& session,
                   const platform::ErrorPtr& error, RetryCompletion completion) override;
  virtual void decideRetryChain(const std::shared_ptr<Request>& request,
                                const std::shared_ptr<Session>& session,
                                const platform::ErrorPtr& error, Retriers pendingRetriers,
                                RetryCompletion completion);

 private:
  Adapters adapters_;
  Retriers retriers_;
};

// Convenience factories.
std::shared_ptr<Adapter> adapterUsing(AdaptHandler adaptHandler);
std::shared_ptr<Retrier> retrierUsing(RetryHandler retryHandler);
std::shared_ptr<Interceptor> interceptorWithHandlers(AdaptHandler adaptHandler,
                                                     RetryHandler retryHandler);
std::shared_ptr<Interceptor> interceptorWithPair(std::shared_ptr<RequestAdapter> adapter,
                                                 std::shared_ptr<RequestRetrier> retrier);
std::shared_ptr<Interceptor> interceptorWithLists(
    Interceptor::Adapters adapters = {}, Interceptor::Retriers retriers = {},
    const Interceptor::Interceptors& interceptors = {});

}  // namespace halyard
