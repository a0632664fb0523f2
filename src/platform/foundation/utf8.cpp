#include "platform/foundation/utf8.h"

#include <algorithm>
#include <cstdio>

namespace platform::utf8 {

Sequence sequenceAt(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(at);
  if (lead < 0x80) return {lead, 1, true};
  // The range of the second byte is what rules out overlong forms, surrogates and code points
  // past U+10FFFF; later bytes are plain continuation bytes.
  std::size_t length;
  std::uint8_t low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead == 0xE0) {
    length = 3, low = 0xA0;
  } else if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) {
    length = 3;
  } else if (lead == 0xED) {
    length = 3, high = 0x9F;
  } else if (lead == 0xF0) {
    length = 4, low = 0x90;
  } else if (lead >= 0xF1 && lead <= 0xF3) {
    length = 4;
  } else if (lead == 0xF4) {
    length = 4, high = 0x8F;
  } else {
    return {kReplacementCharacter, 1, false};
  }
  char32_t value = lead & (length == 2 ? 0x1F : length == 3 ? 0x0F : 0x07);
  for (std::size_t k = 1; k < length; ++k) {
    if (at + k >= text.size()) return {kReplacementCharacter, k, false};
    const std::uint8_t next = byte(at + k);
    if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) {
      return {kReplacementCharacter, k, false};
    }
    value = (value << 6) | (next & 0x3F);
  }
  return {value, length, true};
}

bool isValid(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const Sequence s = sequenceAt(text, i);
    if (!s.valid) return false;
    i += s.length;
  }
  return true;
}

std::optional<std::u32string> decode(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const Sequence s = sequenceAt(text, i);
    if (!s.valid) return std::nullopt;
    out.push_back(s.codePoint);
    i += s.length;
  }
  return out;
}

std::string decodeLossy(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const Sequence s = sequenceAt(text, i);
    if (s.valid) {
      out.append(text.substr(i, s.length));
    } else {
      append(out, kReplacementCharacter);
    }
    i += s.length;
  }
  return out;
}

std::string decodeLossy(std::span<const std::uint8_t> bytes) {
  return decodeLossy(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

void append(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += char(c);
  } else if (c < 0x800) {
    out += char(0xC0 | (c >> 6));
    out += char(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += char(0xE0 | (c >> 12));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  } else {
    out += char(0xF0 | (c >> 18));
    out += char(0x80 | ((c >> 12) & 0x3F));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  }
}

std::size_t characterBoundaryBefore(std::string_view text, std::size_t maxBytes) {
  if (maxBytes >= text.size()) return text.size();
  std::size_t end = maxBytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
    --end;
  return end;
}

void appendCodePointEscape(std::string& out, char32_t codePoint) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "\\u{%X}", static_cast<unsigned>(codePoint));
  out += buffer;
}

std::string escapedForConsole(std::string_view text, std::size_t maxBytes) {
  std::string out;
  out.reserve(std::min(text.size(), maxBytes) + 8);
  for (std::size_t i = 0; i < text.size();) {
    const Sequence s = sequenceAt(text, i);
    // Ill-formed bytes are escaped one by one, so each shows as what it was.
    const std::size_t length = s.valid ? s.length : 1;
    const bool escaped = !s.valid || isControlCodePoint(s.codePoint);
    // The escape is longer than what it stands for; counting it keeps the line bounded.
    const std::size_t cost = escaped ? 8 : length;
    if (out.size() + cost > maxBytes) {
      out += "…";
      return out;
    }
    if (!escaped) {
      out.append(text.substr(i, length));
    } else {
      appendCodePointEscape(out, s.valid ? s.codePoint : static_cast<std::uint8_t>(text[i]));
    }
    i += length;
  }
  return out;
}

}  // namespace platform::utf8
