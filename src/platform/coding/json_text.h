#pragma once

// Pieces shared by the JSON coder and JSON serialization: reading text into a tree with a
// depth limit, and writing strings, numbers and containers the way both write them.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/coding/value.h"

namespace platform::json_detail {

// Text that is not JSON; `what()` says where and why.
class SyntaxError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses UTF-8 JSON text (a byte-order mark is skipped). Throws SyntaxError for text that is not
// JSON, not UTF-8, or nested deeper than `maximumDepth`.
nlohmann::ordered_json parse(std::span<const std::uint8_t> data, int maximumDepth);

// The value parsed text stands for: numbers as signed integers where they fit, unsigned where
// only that fits, doubles otherwise; a repeated key keeps its last value, as the text reads.
Value valueOf(const nlohmann::ordered_json& json);

// Appends `text` as a JSON string literal. The caller has checked it is UTF-8.
void appendString(std::string& out, std::string_view text, bool escapeSlashes);
// The shortest text that reads back as `value` (which must be finite): 1.0 → "1", 0.1 → "0.1".
std::string formatDouble(double value);

// The scalars both writers write alike, as the base of each writer's visitor.
struct ScalarWriter {
  std::string& out;
  bool escapeSlashes;
  void operator()(bool b) const { out += b ? "true" : "false"; }
  void operator()(std::int64_t i) const { out += std::to_string(i); }
  void operator()(std::uint64_t u) const { out += std::to_string(u); }
  void operator()(double d) const { out += formatDouble(d); }
  void operator()(const std::string& s) const { appendString(out, s, escapeSlashes); }
};

void appendNewlineAndIndent(std::string& out, int depth);

// The one container layout of both writers: "[]" or "{}" when empty; otherwise, when pretty,
// each element on a line of its own one level deeper, and " : " after a key (":" compact).
// `writeElement(element, depth)` writes one element at the depth given.
template <class Elements, class WriteElement>
void appendContainer(std::string& out, char open, char close, const Elements& elements, bool pretty,
                     int depth, WriteElement&& writeElement) {
  out.push_back(open);
  bool first = true;
  for (const auto& element : elements) {
    if (!first) out.push_back(',');
    first = false;
    if (pretty) appendNewlineAndIndent(out, depth + 1);
    writeElement(element, depth + 1);
  }
  if (pretty && !first) appendNewlineAndIndent(out, depth);
  out.push_back(close);
}

template <class Elements, class WriteElement>
void appendArray(std::string& out, const Elements& elements, bool pretty, int depth,
                 WriteElement&& writeElement) {
  appendContainer(out, '[', ']', elements, pretty, depth, writeElement);
}

// `keyOf(member)` is a member's key, `writeValue(member, depth)` writes its value.
template <class Members, class KeyOf, class WriteValue>
void appendObject(std::string& out, const Members& members, bool pretty, bool escapeSlashes,
                  int depth, KeyOf&& keyOf, WriteValue&& writeValue) {
  appendContainer(out, '{', '}', members, pretty, depth, [&](const auto& member, int inner) {
    appendString(out, keyOf(member), escapeSlashes);
    out += pretty ? " : " : ":";
    writeValue(member, inner);
  });
}

}  // namespace platform::json_detail
