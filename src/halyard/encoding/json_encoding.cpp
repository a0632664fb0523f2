#include "halyard/encoding/json_encoding.h"

#include "halyard/core/halyard_error.h"

namespace halyard {

std::string JSONEncoding::Error::localizedDescription() const {
  return "Invalid JSON object provided for parameter or object encoding. This is most likely "
         "due to a value which can't be represented in Objective-C.";
}

platform::URLRequest JSONEncoding::encodeParameterDictionary(
    const URLRequestConvertible& urlRequest, const std::optional<Parameters>& parameters) const {
  if (!parameters) return encodeJSONObject(urlRequest, std::nullopt);
  return encodeJSONObject(urlRequest, platform::Value(*parameters));
}

platform::URLRequest JSONEncoding::encodeJSONObject(
    const URLRequestConvertible& urlRequest,
    const std::optional<platform::Value>& jsonObject) const {
  platform::URLRequest request = urlRequest.toURLRequest();
  if (!jsonObject) return request;
  using Reason = HalyardError::ParameterEncodingFailureReason;
  if (!platform::JSONSerialization::isValidJSONObject(*jsonObject)) {
    throw HalyardError::parameterEncodingFailed(
        Reason::JSONEncodingFailed{platform::makeError(Error::invalidJSONObject())});
  }
  platform::Bytes body;
  try {
    body = platform::JSONSerialization::data(*jsonObject, options);
  } catch (...) {
    throw HalyardError::parameterEncodingFailed(Reason::JSONEncodingFailed{currentError()});
  }
  if (!request.valueForHTTPHeaderField("Content-Type")) {
    request.setValueForHTTPHeaderField("application/json", "Content-Type");
  }
  request.httpBody = std::move(body);
  return request;
}

}  // namespace halyard
