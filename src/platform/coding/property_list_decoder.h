#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/coding/coder.h"
#include "platform/coding/value.h"

namespace platform {

// Why bytes are no property list within the limits; the underlying error of a top-level
// dataCorrupted.
class PropertyListError : public Error {
 public:
  explicit PropertyListError(std::string detail) : detail_(std::move(detail)) {}
  const std::string& detail() const { return detail_; }
  std::string localizedDescription() const override {
    return "The data couldn't be read because it isn't in the correct format.";
  }
  std::string debugDescription() const override { return "Property list error: " + detail_; }

 private:
  std::string detail_;
};

// Decodes Decodable types from binary or XML property lists, through the same containers and
// with the same errors as JSONDecoder. Types are strict: an integer never passes for a
// Boolean or a text, a real never for an integer unless it is whole. A property list's dates
// decode as Date (and only as Date), its data as a byte buffer. Documents past `limits` and
// bytes that are no property list are dataCorrupted at the top level, refused before anything
// is built from them.
class PropertyListDecoder : public DocumentDecoding<PropertyListDecoder> {
 public:
  DecodeLimits limits = propertyListLimits();

  // Parses `data` and answers a decoder for its top-level value. Throws DecodingError
  // (dataCorrupted) for bytes that are not a property list within `limits`.
  std::unique_ptr<Decoder> topLevelDecoder(std::span<const std::uint8_t> data) const;
};

}  // namespace platform
