#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/coding/coder.h"

namespace platform {

// Encodes Encodable types as JSON (UTF-8). Object members keep the order in which they were
// encoded unless `sortedKeys` is set. NaN and the infinities cannot be written as JSON and are
// an EncodingError unless a string form is chosen for them; so is text that is not valid
// UTF-8.
class JSONEncoder {
 public:
  enum OutputFormatting : unsigned {
    prettyPrinted = 1u << 0,
    sortedKeys = 1u << 1,
    withoutEscapingSlashes = 1u << 2,
  };
  enum class KeyEncodingStrategy {
    useDefaultKeys,
    // "userName" is written "user_name".
    convertToSnakeCase,
  };
  enum class NonConformingFloatEncodingStrategy { throwError, convertToString };

  unsigned outputFormatting = 0;
  KeyEncodingStrategy keyEncodingStrategy = KeyEncodingStrategy::useDefaultKeys;
  NonConformingFloatEncodingStrategy nonConformingFloatEncodingStrategy =
      NonConformingFloatEncodingStrategy::throwError;
  std::string positiveInfinity = "Infinity";
  std::string negativeInfinity = "-Infinity";
  std::string nan = "NaN";

  template <class T>
  std::vector<std::uint8_t> encode(const T& value) const {
    auto session = begin();
    encodeValue(session->encoder(), value);
    return session->finish();
  }
  template <class T>
  std::string encodeToString(const T& value) const {
    auto bytes = encode(value);
    return std::string(bytes.begin(), bytes.end());
  }

  // One encoding pass: the top-level encoder, and the document it built.
  class Session {
   public:
    virtual ~Session() = default;
    virtual Encoder& encoder() = 0;
    // The JSON text. A value that encoded nothing at all is an EncodingError.
    virtual std::vector<std::uint8_t> finish() = 0;
  };
  std::unique_ptr<Session> begin() const;
};

}  // namespace platform
