#include "platform/coding/json_text.h"

#include <fmt/format.h>

namespace platform::json_detail {

namespace {
struct TooDeep {};
}  // namespace

nlohmann::ordered_json parse(std::span<const std::uint8_t> data, int maximumDepth) {
  if (data.size() >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) {
    data = data.subspan(3);
  }
  auto limit = [maximumDepth](int depth, nlohmann::ordered_json::parse_event_t,
                              nlohmann::ordered_json&) {
    if (depth > maximumDepth) throw TooDeep{};
    return true;
  };
  try {
    return nlohmann::ordered_json::parse(data.begin(), data.end(), limit, true, false);
  } catch (const TooDeep&) {
    throw SyntaxError("the text nests deeper than " + std::to_string(maximumDepth) + " levels");
  } catch (const nlohmann::ordered_json::exception& e) {
    throw SyntaxError(e.what());
  }
}

void appendString(std::string& out, std::string_view text, bool escapeSlashes) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '/':
        if (escapeSlashes) {
          out += "\\/";
        } else {
          out.push_back('/');
        }
        break;
      default:
        if (u < 0x20) {
          out += "\\u00";
          out.push_back(kHex[u >> 4]);
          out.push_back(kHex[u & 0xF]);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

std::string formatDouble(double value) {
  if (value == 0) return std::signbit(value) ? "-0" : "0";
  return fmt::format("{}", value);
}

void appendNewlineAndIndent(std::string& out, int depth) {
  out.push_back('\n');
  out.append(static_cast<std::size_t>(depth) * 2, ' ');
}

}  // namespace platform::json_detail
