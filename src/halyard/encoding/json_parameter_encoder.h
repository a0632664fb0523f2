#pragma once

#include <memory>

#include "halyard/core/parameter_encoding.h"
#include "platform/coding/json_encoder.h"

namespace halyard {

// Writes an encodable value as a JSON body with a JSON encoder it shares by reference:
// configuring that encoder changes every parameter encoder holding it.
class JSONParameterEncoder : public ParameterEncoder {
 public:
  explicit JSONParameterEncoder(
      std::shared_ptr<platform::JSONEncoder> encoder = std::make_shared<platform::JSONEncoder>())
      : encoder(std::move(encoder)) {}

  // Each call makes a new parameter encoder with a new JSON encoder.
  static std::shared_ptr<JSONParameterEncoder> defaultPreset();
  static std::shared_ptr<JSONParameterEncoder> prettyPrintedPreset();
  static std::shared_ptr<JSONParameterEncoder> sortedKeysPreset();

  // Sets "Content-Type: application/json" unless the request names a content type. An
  // encoding error is thrown as `parameterEncodingFailed(jsonEncodingFailed(error))`.
  platform::URLRequest encodeParameters(const std::optional<AnyEncodable>& parameters,
                                        const platform::URLRequest& request) const override;

  const std::shared_ptr<platform::JSONEncoder> encoder;
};

}  // namespace halyard
