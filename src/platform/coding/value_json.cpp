#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/coding/value.h"

namespace platform {

namespace {

using Json = nlohmann::ordered_json;

// Builds a Value straight from parser events. Going through a DOM would recurse once per
// nesting level both while building and while destroying it; this keeps the open
// containers on a vector and stops the parser as soon as a limit is crossed.
class ValueBuilder {
 public:
  explicit ValueBuilder(const DecodeLimits& limits) : limits_(limits) {}

  bool null() { return add(Value()); }
  bool boolean(bool b) { return add(Value(b)); }
  bool number_integer(Json::number_integer_t i) { return add(Value(std::int64_t{i})); }
  bool number_unsigned(Json::number_unsigned_t u) {
    if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return add(Value(static_cast<std::int64_t>(u)));
    }
    return add(Value(std::uint64_t{u}));
  }
  bool number_float(Json::number_float_t d, const Json::string_t& /*text*/) {
    if (!std::isfinite(d)) return fail("number out of range");
    return add(Value(double{d}));
  }
  bool string(Json::string_t& s) { return add(Value(std::move(s))); }
  bool binary(Json::binary_t& /*bytes*/) { return fail("binary values are not JSON"); }

  bool start_object(std::size_t /*size*/) { return open(true); }
  bool key(Json::string_t& k) {
    open_.back().key = std::move(k);
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t /*size*/) { return open(false); }
  bool end_array() { return close(); }

  bool parse_error(std::size_t /*position*/, const std::string& /*token*/,
                   const nlohmann::detail::exception& e) {
    return fail(e.what());
  }

  std::expected<Value, DecodeError> result() {
    if (error_) return std::unexpected(std::move(*error_));
    if (!root_) return std::unexpected(DecodeError{"empty JSON document"});
    return std::move(*root_);
  }

 private:
  struct Open {
    bool isObject;
    Value::Array array;
    Value::Dictionary dictionary;
    std::string key;
  };

  bool fail(std::string message) {
    if (!error_) error_ = DecodeError{std::move(message)};
    return false;
  }

  bool count() {
    if (++elements_ > limits_.maxElements) {
      return fail("more than " + std::to_string(limits_.maxElements) + " elements");
    }
    return true;
  }

  bool open(bool isObject) {
    if (!count()) return false;
    if (open_.size() >= static_cast<std::size_t>(std::max(limits_.maxDepth, 0))) {
      return fail("nesting deeper than " + std::to_string(limits_.maxDepth) + " levels");
    }
    open_.push_back(Open{isObject, {}, {}, {}});
    return true;
  }

  bool close() {
    Open done = std::move(open_.back());
    open_.pop_back();
    Value value = done.isObject ? Value(std::move(done.dictionary)) : Value(std::move(done.array));
    return place(std::move(value));
  }

  bool add(Value value) {
    if (!count()) return false;
    return place(std::move(value));
  }

  bool place(Value value) {
    if (open_.empty()) {
      root_ = std::move(value);
      return true;
    }
    Open& parent = open_.back();
    if (parent.isObject) {
      // A repeated key keeps its last value.
      parent.dictionary.insert_or_assign(std::move(parent.key), std::move(value));
      parent.key.clear();
    } else {
      parent.array.push_back(std::move(value));
    }
    return true;
  }

  const DecodeLimits& limits_;
  std::vector<Open> open_;
  std::optional<Value> root_;
  std::optional<DecodeError> error_;
  std::size_t elements_ = 0;
};

}  // namespace

std::expected<Value, DecodeError> decodeJSON(std::span<const std::uint8_t> data,
                                             DecodeLimits limits) {
  if (data.size() > limits.maxBytes) {
    return std::unexpected(
        DecodeError{"JSON document larger than " + std::to_string(limits.maxBytes) + " bytes"});
  }
  try {
    ValueBuilder builder(limits);
    // Strict: trailing bytes after the value are an error. The lexer rejects ill-formed
    // UTF-8 and unpaired surrogate escapes in strings.
    const bool ok = Json::sax_parse(data.data(), data.data() + data.size(), &builder,
                                    nlohmann::detail::input_format_t::json, true, false);
    auto result = builder.result();
    if (!ok && result) return std::unexpected(DecodeError{"malformed JSON"});
    return result;
  } catch (const std::exception& e) {
    return std::unexpected(DecodeError{std::string("malformed JSON: ") + e.what()});
  }
}

}  // namespace platform
