#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "platform/coding/coder.h"

namespace platform {

// Decodes Decodable types from JSON text. Types are strict: a string never passes for a number
// or a Boolean, a number never for a Boolean, a fraction never for an integer. Errors are
// DecodingError with the coding path of the value at fault; text that is not JSON (or not
// UTF-8) is dataCorrupted at the top level.
class JSONDecoder : public DocumentDecoding<JSONDecoder> {
 public:
  enum class KeyDecodingStrategy {
    useDefaultKeys,
    // Keys in the document are snake_case ("user_name"); the type asks for "userName".
    convertFromSnakeCase,
  };
  enum class NonConformingFloatDecodingStrategy {
    throwError,
    // The strings named below stand for the infinities and NaN.
    convertFromString,
  };

  KeyDecodingStrategy keyDecodingStrategy = KeyDecodingStrategy::useDefaultKeys;
  NonConformingFloatDecodingStrategy nonConformingFloatDecodingStrategy =
      NonConformingFloatDecodingStrategy::throwError;
  std::string positiveInfinity = "Infinity";
  std::string negativeInfinity = "-Infinity";
  std::string nan = "NaN";
  // Documents nested deeper than this are refused (dataCorrupted) rather than risk the stack.
  int maximumDepth = 512;

  // Parses `data` and answers a decoder for its top-level value (which may be any JSON value,
  // also a lone number or string). Throws DecodingError (dataCorrupted) for text that is not
  // JSON.
  std::unique_ptr<Decoder> topLevelDecoder(std::span<const std::uint8_t> data) const;
};

}  // namespace platform
