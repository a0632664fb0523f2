#include "halyard/encoding/url_encoded_form_parameter_encoder.h"

#include "halyard/core/halyard_error.h"
#include "halyard/core/http_method.h"
#include "platform/net/url_components.h"

namespace halyard {

namespace {

using Reason = HalyardError::ParameterEncoderFailureReason;

HalyardError missing(Reason::RequiredComponent component) {
  return HalyardError::parameterEncoderFailed(
      Reason::MissingRequiredComponent{std::move(component)});
}

}  // namespace

std::shared_ptr<URLEncodedFormParameterEncoder> URLEncodedFormParameterEncoder::makeDefault() {
  return std::make_shared<URLEncodedFormParameterEncoder>();
}

ParameterEncoderPtr defaultParameterEncoder() {
  return URLEncodedFormParameterEncoder::makeDefault();
}

platform::URLRequest URLEncodedFormParameterEncoder::encodeParameters(
    const std::optional<AnyEncodable>& parameters, const platform::URLRequest& request) const {
  if (!parameters) return request;
  if (!request.url) throw missing(Reason::RequiredComponent::url());
  if (!request.httpMethod) throw missing(Reason::RequiredComponent::httpMethod("nil"));

  auto formText = [&] {
    try {
      return encoder->encodeToString(*parameters);
    } catch (...) {
      throw HalyardError::parameterEncoderFailed(Reason::EncoderFailed{currentError()});
    }
  };

  const std::string& method = *request.httpMethod;
  const bool inQuery =
      destination == Destination::queryString ||
      (destination == Destination::methodDependent &&
       (method == HTTPMethod::GET.rawValue || method == HTTPMethod::HEAD.rawValue ||
        method == HTTPMethod::DELETE.rawValue));
  platform::URLRequest encoded = request;
  if (inQuery) {
    platform::URLComponents components(*request.url);
    const std::string text = formText();
    std::string query;
    if (const auto& existing = components.percentEncodedQuery()) query = *existing + "&";
    query += text;
    // A value that writes nothing leaves a URL without a query as it was: no lone "?".
    components.setPercentEncodedQuery(query.empty() ? std::nullopt
                                                    : std::optional<std::string>(query));
    auto url = components.url();
    if (!url) throw missing(Reason::RequiredComponent::url());
    encoded.url = std::move(*url);
    return encoded;
  }

  if (!encoded.valueForHTTPHeaderField("Content-Type")) {
    encoded.setValueForHTTPHeaderField("application/x-www-form-urlencoded; charset=utf-8",
                                       "Content-Type");
  }
  const std::string text = formText();
  encoded.httpBody = platform::Bytes(text.begin(), text.end());
  return encoded;
}

}  // namespace halyard
