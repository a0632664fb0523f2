#include "halyard/encoding/json_parameter_encoder.h"

#include "halyard/core/halyard_error.h"

namespace halyard {

namespace {

std::shared_ptr<JSONParameterEncoder> withFormatting(unsigned formatting) {
  auto encoder = std::make_shared<platform::JSONEncoder>();
  encoder->outputFormatting = formatting;
  return std::make_shared<JSONParameterEncoder>(std::move(encoder));
}

}  // namespace

std::shared_ptr<JSONParameterEncoder> JSONParameterEncoder::defaultPreset() {
  return withFormatting(0);
}
std::shared_ptr<JSONParameterEncoder> JSONParameterEncoder::prettyPrintedPreset() {
  return withFormatting(platform::JSONEncoder::prettyPrinted);
}
std::shared_ptr<JSONParameterEncoder> JSONParameterEncoder::sortedKeysPreset() {
  return withFormatting(platform::JSONEncoder::sortedKeys);
}

platform::URLRequest JSONParameterEncoder::encodeParameters(
    const std::optional<AnyEncodable>& parameters, const platform::URLRequest& request) const {
  if (!parameters) return request;
  platform::Bytes body;
  try {
    body = encoder->encode(*parameters);
  } catch (...) {
    throw HalyardError::parameterEncodingFailed(
        HalyardError::ParameterEncodingFailureReason::JSONEncodingFailed{currentError()});
  }
  platform::URLRequest encoded = request;
  encoded.httpBody = std::move(body);
  if (!encoded.valueForHTTPHeaderField("Content-Type")) {
    encoded.setValueForHTTPHeaderField("application/json", "Content-Type");
  }
  return encoded;
}

}  // namespace halyard
