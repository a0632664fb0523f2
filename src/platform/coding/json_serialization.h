#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/coding/value.h"
#include "platform/foundation/error.h"

namespace platform {

// A JSON text that could not be read, or a value that cannot be written as JSON.
class JSONSerializationError : public Error {
 public:
  explicit JSONSerializationError(std::string detail) : detail_(std::move(detail)) {}
  const std::string& detail() const { return detail_; }
  std::string localizedDescription() const override;
  std::string debugDescription() const override;

 private:
  std::string detail_;
};

// Converts between JSON text and loosely typed values. Numbers read as integers when they are
// integers that fit (signed first, then unsigned), else as doubles. Objects become
// `Value::Dictionary` (whose keys are ordered by name).
class JSONSerialization {
 public:
  enum ReadingOptions : unsigned {
    mutableContainers = 1u << 0,  // accepted for compatibility; values are always mutable
    mutableLeaves = 1u << 1,      // likewise
    fragmentsAllowed = 1u << 2,   // a top level that is not an array or object
  };
  enum WritingOptions : unsigned {
    prettyPrinted = 1u << 0,
    sortedKeys = 1u << 1,  // dictionaries are always written in key order here
    fragmentsAllowedWriting = 1u << 2,
    withoutEscapingSlashes = 1u << 3,
  };

  // Reads JSON text (UTF-8; a UTF-8 byte-order mark is skipped). Throws
  // JSONSerializationError for text that is not JSON, is not UTF-8, nests deeper than 512, or
  // (without `fragmentsAllowed`) whose top level is not an array or object.
  static Value jsonObject(std::span<const std::uint8_t> data, unsigned options = 0);
  // Writes `value` as JSON text. Throws JSONSerializationError for what JSON cannot hold: NaN
  // and infinities, bytes, text that is not UTF-8, and (without `fragmentsAllowedWriting`) a
  // top level that is not an array or dictionary.
  static std::vector<std::uint8_t> data(const Value& value, unsigned options = 0);
  // Whether `data` would accept the value as a top-level array or dictionary.
  static bool isValidJSONObject(const Value& value);
};

}  // namespace platform
