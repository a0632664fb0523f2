#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "halyard/core/url_convertible.h"
#include "platform/coding/coder.h"
#include "platform/coding/value.h"
#include "platform/net/url_request.h"

namespace halyard {

// A parameter dictionary: text keys to loosely typed values.
using Parameters = platform::Value::Dictionary;

// Encodes a parameter dictionary into a request (query, form or JSON body).
class ParameterEncoding {
 public:
  virtual ~ParameterEncoding() = default;
  // May throw; the caller's request is never changed.
  virtual platform::URLRequest encodeParameterDictionary(
      const URLRequestConvertible& urlRequest,
      const std::optional<Parameters>& parameters) const = 0;
};
using ParameterEncodingPtr = std::shared_ptr<const ParameterEncoding>;

// An encodable value of any type, as parameter encoders receive it. It is itself encodable,
// so an encoder writes it exactly as it would write the value it wraps.
class AnyEncodable {
 public:
  template <class T>
  requires(!std::same_as<std::remove_cvref_t<T>, AnyEncodable>) explicit AnyEncodable(T value)
      : encode_([value = std::move(value)](platform::Encoder& encoder) {
          platform::encodeValue(encoder, value);
        }) {}

  void encode(platform::Encoder& encoder) const { encode_(encoder); }

 private:
  std::function<void(platform::Encoder&)> encode_;
};

// Encodes an encodable value into a request.
class ParameterEncoder {
 public:
  virtual ~ParameterEncoder() = default;
  // May throw; the caller's request is never changed. Without parameters the request comes
  // back as it is.
  virtual platform::URLRequest encodeParameters(const std::optional<AnyEncodable>& parameters,
                                                const platform::URLRequest& request) const = 0;
};
using ParameterEncoderPtr = std::shared_ptr<const ParameterEncoder>;

// What a request falls back on when its caller names no encoding or encoder: the URL form
// encoders of the encoding layer, which defines these two.
ParameterEncodingPtr defaultParameterEncoding();
ParameterEncoderPtr defaultParameterEncoder();

}  // namespace halyard
