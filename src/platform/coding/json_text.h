#pragma once

// Pieces shared by the JSON coder and JSON serialization: reading text into a tree with a
// depth limit, and writing strings and numbers the way both write them.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace platform::json_detail {

// Text that is not JSON; `what()` says where and why.
class SyntaxError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses UTF-8 JSON text (a byte-order mark is skipped). Throws SyntaxError for text that is not
// JSON, not UTF-8, or nested deeper than `maximumDepth`.
nlohmann::ordered_json parse(std::span<const std::uint8_t> data, int maximumDepth);

// Appends `text` as a JSON string literal. The caller has checked it is UTF-8.
void appendString(std::string& out, std::string_view text, bool escapeSlashes);
// The shortest text that reads back as `value` (which must be finite): 1.0 → "1", 0.1 → "0.1".
std::string formatDouble(double value);

void appendNewlineAndIndent(std::string& out, int depth);

}  // namespace platform::json_detail
