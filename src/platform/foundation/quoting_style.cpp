#include "platform/foundation/quoting_style.h"

#include "platform/foundation/utf8.h"

namespace platform {

namespace {

// The escape of an ASCII character, or nothing when it stands as it is.
const char* shortEscape(char c, const QuotingStyle& style) {
  const bool json = style.controls == QuotingStyle::Controls::json;
  switch (c) {
    case '"':
      return "\\\"";
    case '\\':
      return "\\\\";
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
    case '\0':
      return style.nulAsZero ? "\\0" : nullptr;
    case '/':
      return style.escapeSlashes ? "\\/" : nullptr;
    case '\b':
      return json ? "\\b" : nullptr;
    case '\f':
      return json ? "\\f" : nullptr;
    default:
      return nullptr;
  }
}

}  // namespace

void appendQuoted(std::string& out, std::string_view text, const QuotingStyle& style) {
  static constexpr char kHex[] = "0123456789abcdef";
  const bool json = style.controls == QuotingStyle::Controls::json;
  out.push_back('"');
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x80) {
      // Only a C1 control needs the whole character read; anything else is copied a byte at a
      // time.
      if (style.c1Controls) {
        const auto character = utf8::sequenceAt(text, i);
        if (utf8::isControlCodePoint(character.codePoint)) {
          utf8::appendCodePointEscape(out, character.codePoint);
        } else {
          out.append(text, i, character.length);
        }
        i += character.length;
      } else {
        out.push_back(text[i++]);
      }
      continue;
    }
    if (const char* escape = shortEscape(text[i], style)) {
      out += escape;
    } else if (byte < 0x20 && json) {
      out += "\\u00";
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0xF]);
    } else if (byte < 0x20 || (byte == 0x7F && !json)) {
      utf8::appendCodePointEscape(out, byte);
    } else {
      out.push_back(text[i]);
    }
    ++i;
  }
  out.push_back('"');
}

std::string quoted(std::string_view text, const QuotingStyle& style) {
  std::string out;
  out.reserve(text.size() + 2);
  appendQuoted(out, text, style);
  return out;
}

}  // namespace platform
