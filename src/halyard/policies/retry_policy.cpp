#include "halyard/policies/retry_policy.h"

#include <cmath>
#include <variant>

#include "halyard/core/halyard_error.h"
#include "halyard/core/request.h"
#include "halyard/core/upload_request.h"
#include "platform/foundation/log.h"

namespace halyard {

namespace {

using Code = platform::URLError::Code;

// The URL error code of the error itself, or of the error a client error wraps.
std::optional<Code> urlErrorCode(const platform::ErrorPtr& error) {
  if (!error) return std::nullopt;
  if (const auto* urlError = dynamic_cast<const platform::URLError*>(error.get())) {
    return urlError->code();
  }
  if (const auto* halyardError = dynamic_cast<const HalyardError*>(error.get())) {
    const auto wrapped = halyardError->wrappedError();
    if (const auto* urlError = dynamic_cast<const platform::URLError*>(wrapped.get())) {
      return urlError->code();
    }
  }
  return std::nullopt;
}

// A stream body can be read once: after the first attempt opened it, a second attempt would
// only fail with an exhausted body and hide the request's own failure.
bool hasConsumedBodyStream(const std::shared_ptr<Request>& request) {
  const auto* upload = dynamic_cast<const UploadRequest*>(request.get());
  if (!upload || !upload->uploadable()) return false;
  const auto* stream = std::get_if<Uploadable::Stream>(&upload->uploadable()->storage);
  return stream && stream->stream &&
         stream->stream->streamStatus() != platform::StreamStatus::notOpen;
}

}  // namespace

const HTTPMethodSet& RetryPolicy::defaultRetryableHTTPMethods() {
  static const HTTPMethodSet methods{HTTPMethod::DELETE,  HTTPMethod::GET, HTTPMethod::HEAD,
                                     HTTPMethod::OPTIONS, HTTPMethod::PUT, HTTPMethod::TRACE};
  return methods;
}

const StatusCodeSet& RetryPolicy::defaultRetryableHTTPStatusCodes() {
  static const StatusCodeSet codes{408, 500, 502, 503, 504};
  return codes;
}

const URLErrorCodeSet& RetryPolicy::defaultRetryableURLErrorCodes() {
  static const URLErrorCodeSet codes{
      Code::backgroundSessionInUseByAnotherProcess,
      Code::backgroundSessionWasDisconnected,
      Code::badServerResponse,
      Code::callIsActive,
      Code::cannotConnectToHost,
      Code::cannotFindHost,
      Code::cannotLoadFromNetwork,
      Code::dataNotAllowed,
      Code::dnsLookupFailed,
      Code::downloadDecodingFailedMidStream,
      Code::downloadDecodingFailedToComplete,
      Code::internationalRoamingOff,
      Code::networkConnectionLost,
      Code::notConnectedToInternet,
      Code::secureConnectionFailed,
      Code::serverCertificateHasBadDate,
      Code::serverCertificateNotYetValid,
      Code::timedOut,
  };
  return codes;
}

RetryPolicy::RetryPolicy(unsigned retryLimit, unsigned exponentialBackoffBase,
                         double exponentialBackoffScale, HTTPMethodSet retryableHTTPMethods,
                         StatusCodeSet retryableHTTPStatusCodes,
                         URLErrorCodeSet retryableURLErrorCodes)
    : retryLimit_(retryLimit),
      exponentialBackoffBase_(exponentialBackoffBase),
      exponentialBackoffScale_(exponentialBackoffScale),
      retryableHTTPMethods_(std::move(retryableHTTPMethods)),
      retryableHTTPStatusCodes_(std::move(retryableHTTPStatusCodes)),
      retryableURLErrorCodes_(std::move(retryableURLErrorCodes)) {
  if (exponentialBackoffBase < 2) {
    platform::fatal("The `exponentialBackoffBase` must be a minimum of 2.");
  }
}

void RetryPolicy::decideRetry(const std::shared_ptr<Request>& request,
                              const std::shared_ptr<Session>&, const platform::ErrorPtr& error,
                              RetryCompletion completion) {
  const auto retryCount = request ? request->retryCount() : 0;
  if (!request || retryCount >= std::int64_t(retryLimit_) || !isRetryable(request, error)) {
    completion(RetryResult::doNotRetry());
    return;
  }
  const double delay =
      std::pow(double(exponentialBackoffBase_), double(retryCount)) * exponentialBackoffScale_;
  completion(RetryResult::retryWithDelay(delay));
}

bool RetryPolicy::isRetryable(const std::shared_ptr<Request>& request,
                              const platform::ErrorPtr& error) const {
  if (!request) return false;
  const auto urlRequest = request->lastRequest();
  if (!urlRequest || !urlRequest->httpMethod) return false;
  if (!retryableHTTPMethods_.contains(HTTPMethod(*urlRequest->httpMethod))) return false;
  if (hasConsumedBodyStream(request)) return false;
  if (const auto response = request->httpResponse();
      response && retryableHTTPStatusCodes_.contains(response->statusCode())) {
    return true;
  }
  const auto code = urlErrorCode(error);
  return code && retryableURLErrorCodes_.contains(*code);
}

ConnectionLostRetryPolicy::ConnectionLostRetryPolicy(unsigned retryLimit,
                                                     unsigned exponentialBackoffBase,
                                                     double exponentialBackoffScale,
                                                     HTTPMethodSet retryableHTTPMethods)
    : RetryPolicy(retryLimit, exponentialBackoffBase, exponentialBackoffScale,
                  std::move(retryableHTTPMethods), {}, {Code::networkConnectionLost}) {}

}  // namespace halyard
