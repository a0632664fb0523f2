#pragma once

#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace platform {

// A loosely typed value as property lists and JSON carry it.
class Value {
 public:
  using Bytes = std::vector<std::uint8_t>;
  using Array = std::vector<Value>;
  using Dictionary = std::map<std::string, Value>;
  struct Null {
    bool operator==(const Null&) const = default;
  };
  using Storage = std::variant<Null, bool, std::int64_t, std::uint64_t, double, std::string, Bytes,
                               Array, Dictionary>;

  Value() = default;
  Value(Null) {}
  Value(bool b) : storage_(b) {}
  Value(int i) : storage_(std::int64_t{i}) {}
  Value(std::int64_t i) : storage_(i) {}
  Value(std::uint64_t u) : storage_(u) {}
  Value(double d) : storage_(d) {}
  Value(const char* s) : storage_(std::string(s)) {}
  Value(std::string s) : storage_(std::move(s)) {}
  Value(Bytes b) : storage_(std::move(b)) {}
  Value(Array a) : storage_(std::move(a)) {}
  Value(Dictionary d) : storage_(std::move(d)) {}

  Value(const Value&) = default;
  Value(Value&&) noexcept = default;
  Value& operator=(const Value&) = default;
  Value& operator=(Value&&) noexcept = default;
  // Nested containers are freed through a work list instead of recursion, so no depth of
  // nesting can overflow the stack on the way out.
  ~Value() {
    if (holdsContainers()) releaseNested();
  }

  const Storage& storage() const { return storage_; }
  // Hands the contents over without copying them (this value is left null).
  Storage take() && { return std::exchange(storage_, Null{}); }
  bool isNull() const { return std::holds_alternative<Null>(storage_); }
  bool isNumber() const;  // a signed or unsigned integer or a double (not a bool)

  const std::string* asString() const { return std::get_if<std::string>(&storage_); }
  const Array* asArray() const { return std::get_if<Array>(&storage_); }
  const Dictionary* asDictionary() const { return std::get_if<Dictionary>(&storage_); }

  // The value as a signed 32-bit integer when it is a number that converts without loss
  // (1024 and 1024.0 do; 1024.5, 2^31, NaN, booleans and texts do not).
  std::optional<std::int32_t> exactInt32() const;
  std::optional<double> asDouble() const;  // any number, widened

  // Looks up `key` when this is a dictionary.
  const Value* find(const std::string& key) const;

  bool operator==(const Value&) const = default;

 private:
  bool holdsContainers() const;
  void releaseNested() noexcept;

  Storage storage_;
};

struct DecodeError {
  std::string message;
};

// Limits applied to untrusted input before anything is built from it.
// Containers nest at most `maxDepth` levels (a top-level array or dictionary is level one).
// `maxElements` bounds the number of values a document expands to: a binary property list may
// reference one object many times, so a few hundred bytes could otherwise stand for billions
// of values.
struct DecodeLimits {
  std::size_t maxBytes = 64u << 20;
  int maxDepth = 64;
  std::size_t maxElements = 1u << 20;
  // XML property lists: libplist's reader moves the rest of a text once per character or
  // entity reference in it, so many references cost quadratic time.
  std::size_t maxCharacterReferences = 4096;
  // Property-list dates as their XML text ("2001-01-01T00:00:00Z") rather than as seconds,
  // for readers that must not take a date for a number.
  bool datesAsText = false;
};

// The decoders store an integer as std::int64_t whenever it fits and as std::uint64_t only
// above INT64_MAX, so equal numbers compare equal whichever format carried them. Texts are
// always valid UTF-8; a document holding anything else is an error.

// What a response body of the HTTP client may hold: 8 MiB and 100,000 elements. Beyond that
// libplist's time and memory grow past what a caller waits for.
DecodeLimits propertyListLimits();

// A binary or XML property list. Dates become seconds since 2001-01-01T00:00:00Z (a date that
// is NaN or infinite is an error).
std::expected<Value, DecodeError> decodePropertyList(std::span<const std::uint8_t> data,
                                                     DecodeLimits limits = propertyListLimits());
// A JSON document.
std::expected<Value, DecodeError> decodeJSON(std::span<const std::uint8_t> data,
                                             DecodeLimits limits = {});
// A dictionary from a binary or XML property list or a JSON object, as a frame payload
// carries it. Anything else (another top-level type, bad bytes) is an error. Dates are read
// as text whatever `limits` says: a peer's date is never a number.
std::expected<Value::Dictionary, DecodeError> dictionaryWithContentsOfData(
    std::span<const std::uint8_t> data, DecodeLimits limits = {});

}  // namespace platform
