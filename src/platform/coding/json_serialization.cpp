#include "platform/coding/json_serialization.h"

#include <cmath>

#include "platform/coding/json_text.h"
#include "platform/foundation/utf8.h"

namespace platform {

namespace {

using Json = nlohmann::ordered_json;

constexpr int kMaximumDepth = 512;

// Checks what JSON cannot hold; `depth` guards against self-made towers as deep as the stack.
void check(const Value& value, int depth) {
  if (depth > kMaximumDepth) throw JSONSerializationError("the value nests too deeply");
  struct Visitor {
    int depth;
    void operator()(const Value::Null&) const {}
    void operator()(bool) const {}
    void operator()(std::int64_t) const {}
    void operator()(std::uint64_t) const {}
    void operator()(double d) const {
      if (!std::isfinite(d)) throw JSONSerializationError("NaN and infinity have no JSON form");
    }
    void operator()(const std::string& s) const {
      if (!utf8::isValid(s)) throw JSONSerializationError("a string is not valid UTF-8");
    }
    void operator()(const Value::Bytes&) const {
      throw JSONSerializationError("raw bytes have no JSON form");
    }
    void operator()(const Value::Array& array) const {
      for (const auto& element : array)
        check(element, depth + 1);
    }
    void operator()(const Value::Dictionary& dictionary) const {
      for (const auto& [key, element] : dictionary) {
        if (!utf8::isValid(key)) throw JSONSerializationError("a key is not valid UTF-8");
        check(element, depth + 1);
      }
    }
  };
  std::visit(Visitor{depth}, value.storage());
}

void write(std::string& out, const Value& value, unsigned options, int depth) {
  const bool pretty = options & JSONSerialization::prettyPrinted;
  const bool escapeSlashes = !(options & JSONSerialization::withoutEscapingSlashes);
  struct Visitor : json_detail::ScalarWriter {
    unsigned options;
    int depth;
    bool pretty;
    using ScalarWriter::operator();
    void operator()(const Value::Null&) const { out += "null"; }
    void operator()(const Value::Bytes&) const {}
    void operator()(const Value::Array& array) const {
      json_detail::appendArray(out, array, pretty, depth, [&](const Value& element, int d) {
        write(out, element, options, d);
      });
    }
    void operator()(const Value::Dictionary& dictionary) const {
      json_detail::appendObject(
          out, dictionary, pretty, escapeSlashes, depth,
          [](const auto& member) -> const std::string& { return member.first; },
          [&](const auto& member, int d) { write(out, member.second, options, d); });
    }
  };
  std::visit(Visitor{{out, escapeSlashes}, options, depth, pretty}, value.storage());
}

}  // namespace

std::string JSONSerializationError::localizedDescription() const {
  return "The data couldn't be read or written because it isn't in the correct format.";
}

std::string JSONSerializationError::debugDescription() const {
  return "JSON serialization failed: " + detail_;
}

Value JSONSerialization::jsonObject(std::span<const std::uint8_t> data, unsigned options) {
  Json json;
  try {
    json = json_detail::parse(data, kMaximumDepth);
  } catch (const json_detail::SyntaxError& e) {
    throw JSONSerializationError(e.what());
  }
  if (!(options & fragmentsAllowed) && !json.is_array() && !json.is_object()) {
    throw JSONSerializationError("the top level is not an array or object");
  }
  return json_detail::valueOf(json);
}

std::vector<std::uint8_t> JSONSerialization::data(const Value& value, unsigned options) {
  if (!(options & fragmentsAllowedWriting) && !value.asArray() && !value.asDictionary()) {
    throw JSONSerializationError("the top level is not an array or dictionary");
  }
  check(value, 0);
  std::string text;
  write(text, value, options, 0);
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

bool JSONSerialization::isValidJSONObject(const Value& value) {
  if (!value.asArray() && !value.asDictionary()) return false;
  try {
    check(value, 0);
  } catch (const JSONSerializationError&) {
    return false;
  }
  return true;
}

}  // namespace platform
