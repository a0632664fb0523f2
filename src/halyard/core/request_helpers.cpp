#include "halyard/core/request_helpers.h"

#include "halyard/core/http_headers.h"

namespace halyard {

std::optional<HTTPMethod> requestMethod(const platform::URLRequest& request) {
  if (!request.httpMethod) return std::nullopt;
  return HTTPMethod(*request.httpMethod);
}

void setRequestMethod(platform::URLRequest& request, const std::optional<HTTPMethod>& method) {
  if (method) {
    request.httpMethod = method->rawValue;
  } else {
    request.httpMethod.reset();
  }
}

void validateNoBodyInGET(const platform::URLRequest& request) {
  if (!request.httpMethod || *request.httpMethod != "GET") return;
  if (!request.httpBody) return;
  throw HalyardError::urlRequestValidationFailed(
      HalyardError::URLRequestValidationFailureReason::BodyDataInGETRequest{*request.httpBody});
}

std::optional<platform::StringEncoding> stringEncodingFromIANACharsetName(std::string_view name) {
  using platform::StringEncoding;
  const std::string lowered = lowercasedHeaderName(name);
  if (lowered == "utf-8") return StringEncoding::utf8;
  if (lowered == "iso-8859-1") return StringEncoding::isoLatin1;
  if (lowered == "unicode-1-1" || lowered == "iso-10646-ucs-2" || lowered == "utf-16") {
    return StringEncoding::utf16;
  }
  if (lowered == "utf-16be") return StringEncoding::utf16BigEndian;
  if (lowered == "utf-16le") return StringEncoding::utf16LittleEndian;
  if (lowered == "utf-32") return StringEncoding::utf32;
  if (lowered == "utf-32be") return StringEncoding::utf32BigEndian;
  if (lowered == "utf-32le") return StringEncoding::utf32LittleEndian;
  return std::nullopt;
}

void runAfter(const platform::DispatchQueuePtr& queue, double seconds, std::function<void()> work) {
  queue->asyncAfter(seconds, std::move(work));
}

}  // namespace halyard
