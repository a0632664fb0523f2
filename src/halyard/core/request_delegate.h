#pragma once

#include <memory>
#include <optional>

#include "halyard/core/halyard_error.h"
#include "halyard/core/request_interceptor.h"
#include "platform/net/url_session.h"

namespace halyard {

class Request;

// What a request asks of the session that drives it.
class RequestDelegate {
 public:
  virtual ~RequestDelegate() = default;

  virtual const platform::URLSessionConfiguration& urlConfiguration() const = 0;
  // Whether a request starts by itself as soon as a response handler is added.
  virtual bool startsImmediately() const = 0;
  // The request has finished; the session forgets it.
  virtual void cleanUpAfterRequest(const std::shared_ptr<Request>& request) = 0;
  // Calls `completion` exactly once, later, with the decision. An error it delivers through
  // `doNotRetryWithError` is always an HalyardError.
  virtual void decideRetryForRequest(const std::shared_ptr<Request>& request,
                                     const HalyardError& error, RetryCompletion completion) = 0;
  // Performs the request again (after `delay` seconds when given) unless it is cancelled by then.
  virtual void retryRequestAfterDelay(const std::shared_ptr<Request>& request,
                                      std::optional<double> delay) = 0;
};

}  // namespace halyard
