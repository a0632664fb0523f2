#pragma once

#include <memory>

#include "halyard/core/parameter_encoding.h"
#include "halyard/encoding/url_encoded_form_encoder.h"

namespace halyard {

// Writes an encodable value as a URL-encoded form, into the URL's query or the body, with a
// form encoder it shares by reference.
class URLEncodedFormParameterEncoder : public ParameterEncoder {
 public:
  enum class Destination { methodDependent, queryString, httpBody };

  explicit URLEncodedFormParameterEncoder(
      std::shared_ptr<URLEncodedFormEncoder> encoder = std::make_shared<URLEncodedFormEncoder>(),
      Destination destination = Destination::methodDependent)
      : encoder(std::move(encoder)), destination(destination) {}

  // A new parameter encoder with a new form encoder of default options, method-dependent.
  static std::shared_ptr<URLEncodedFormParameterEncoder> makeDefault();

  // The query for GET, HEAD and DELETE (or always, or never, as `destination` says); otherwise
  // the body with the form content type, unless the request names a content type already.
  // Throws `parameterEncoderFailed` with `missingRequiredComponent` (no URL, no method) or
  // `encoderFailed` carrying what the form encoder threw.
  platform::URLRequest encodeParameters(const std::optional<AnyEncodable>& parameters,
                                        const platform::URLRequest& request) const override;

  const std::shared_ptr<URLEncodedFormEncoder> encoder;
  const Destination destination;
};

}  // namespace halyard
