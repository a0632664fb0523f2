#include "app/service/api_service_error.h"

#include <fmt/format.h>

#include "app/service/console_excerpt.h"
#include "platform/net/url_error.h"

namespace app {
namespace {

// The client's own account may quote the server's answer at length.
constexpr std::size_t kUnderlyingExcerpt = 160;

}  // namespace

std::string_view kindName(ApiServiceError::Kind kind) {
  switch (kind) {
    case ApiServiceError::Kind::invalidAddress:
      return "invalidAddress";
    case ApiServiceError::Kind::networkError:
      return "networkError";
    case ApiServiceError::Kind::timedOut:
      return "timedOut";
    case ApiServiceError::Kind::rejectedStatus:
      return "rejectedStatus";
    case ApiServiceError::Kind::undecodableAnswer:
      return "undecodableAnswer";
  }
  return "networkError";
}

ApiServiceError::Kind failureKind(const halyard::HalyardError& error) {
  using Kind = ApiServiceError::Kind;
  if (error.rejectedStatusCode()) return Kind::rejectedStatus;
  if (error.isInvalidURL() || error.isCreateURLRequestFailed()) return Kind::invalidAddress;
  if (error.isResponseSerializationFailed() || error.isResponseValidationFailed()) {
    return Kind::undecodableAnswer;
  }
  if (const auto* task = error.as<halyard::HalyardError::SessionTaskFailed>()) {
    if (const auto* url = dynamic_cast<const platform::URLError*>(task->error.get())) {
      switch (url->code()) {
        case platform::URLError::Code::timedOut:
          return Kind::timedOut;
        case platform::URLError::Code::badURL:
        case platform::URLError::Code::unsupportedURL:
          return Kind::invalidAddress;
        // A body past the size a description may have is no description.
        case platform::URLError::Code::dataLengthExceedsMaximum:
        case platform::URLError::Code::cannotDecodeContentData:
        case platform::URLError::Code::cannotDecodeRawData:
        case platform::URLError::Code::cannotParseResponse:
          return Kind::undecodableAnswer;
        default:
          break;
      }
    }
  }
  return Kind::networkError;
}

std::string ApiServiceError::localizedDescription() const {
  switch (kind_) {
    case Kind::invalidAddress:
      return "The update server's address is not usable.";
    case Kind::timedOut:
      return "The update server did not answer in time.";
    case Kind::rejectedStatus:
      return fmt::format("The update server answered with status {}.", apiCode_.value_or(0));
    case Kind::undecodableAnswer:
      return "The update server sent an answer that is not an update description.";
    case Kind::networkError:
      break;
  }
  return "The update server could not be reached.";
}

std::string ApiServiceError::debugDescription() const {
  const std::string path = resource_ ? std::string(routerPath(resource_->router())) : "none";
  const std::string status = apiCode_ ? " " + std::to_string(*apiCode_) : "";
  return fmt::format(
      "ApiServiceError({}{}, resource: {}{}{})", kindName(kind_), status, path,
      underlying_.empty() ? "" : ", underlying: ", consoleExcerpt(underlying_, kUnderlyingExcerpt));
}

}  // namespace app
