#include "platform/foundation/string_encoding.h"

#include "platform/foundation/utf8.h"

namespace platform {

namespace {

using utf8::append;

std::optional<std::string> decodeUTF8Strict(std::span<const std::uint8_t> s) {
  const std::string_view text(reinterpret_cast<const char*>(s.data()), s.size());
  if (!utf8::isValid(text)) return std::nullopt;
  return std::string(text);
}

std::optional<std::string> decodeUTF16(std::span<const std::uint8_t> s, bool bigEndian,
                                       bool honourBOM) {
  if (s.size() % 2 != 0) return std::nullopt;
  std::size_t i = 0;
  if (honourBOM && s.size() >= 2) {
    if (s[0] == 0xFE && s[1] == 0xFF) {
      bigEndian = true, i = 2;
    } else if (s[0] == 0xFF && s[1] == 0xFE) {
      bigEndian = false, i = 2;
    }
  }
  auto unit = [&](std::size_t at) -> char32_t {
    return bigEndian ? char32_t((s[at] << 8) | s[at + 1]) : char32_t((s[at + 1] << 8) | s[at]);
  };
  std::string out;
  out.reserve(s.size());
  for (; i < s.size(); i += 2) {
    char32_t c = unit(i);
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 2 >= s.size()) return std::nullopt;
      const char32_t low = unit(i + 2);
      if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return std::nullopt;
    }
    append(out, c);
  }
  return out;
}

std::optional<std::string> decodeUTF32(std::span<const std::uint8_t> s, bool bigEndian,
                                       bool honourBOM) {
  if (s.size() % 4 != 0) return std::nullopt;
  std::size_t i = 0;
  if (honourBOM && s.size() >= 4) {
    if (s[0] == 0 && s[1] == 0 && s[2] == 0xFE && s[3] == 0xFF) {
      bigEndian = true, i = 4;
    } else if (s[0] == 0xFF && s[1] == 0xFE && s[2] == 0 && s[3] == 0) {
      bigEndian = false, i = 4;
    }
  }
  std::string out;
  out.reserve(s.size());
  for (; i < s.size(); i += 4) {
    const char32_t c = bigEndian ? (char32_t(s[i]) << 24) | (char32_t(s[i + 1]) << 16) |
                                       (char32_t(s[i + 2]) << 8) | char32_t(s[i + 3])
                                 : (char32_t(s[i + 3]) << 24) | (char32_t(s[i + 2]) << 16) |
                                       (char32_t(s[i + 1]) << 8) | char32_t(s[i]);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
    append(out, c);
  }
  return out;
}

}  // namespace

std::optional<std::string> StringEncoding::decode(std::span<const std::uint8_t> bytes) const {
  switch (kind_) {
    case Kind::utf8:
      return decodeUTF8Strict(bytes);
    case Kind::isoLatin1: {
      std::string out;
      out.reserve(bytes.size());
      for (std::uint8_t b : bytes)
        append(out, b);
      return out;
    }
    case Kind::utf16:
      return decodeUTF16(bytes, true, true);
    case Kind::utf16BigEndian:
      return decodeUTF16(bytes, true, false);
    case Kind::utf16LittleEndian:
      return decodeUTF16(bytes, false, false);
    case Kind::utf32:
      return decodeUTF32(bytes, true, true);
    case Kind::utf32BigEndian:
      return decodeUTF32(bytes, true, false);
    case Kind::utf32LittleEndian:
      return decodeUTF32(bytes, false, false);
  }
  return std::nullopt;
}

std::string StringEncoding::description() const {
  switch (kind_) {
    case Kind::utf8:
      return "Unicode (UTF-8)";
    case Kind::isoLatin1:
      return "Western (ISO Latin 1)";
    case Kind::utf16:
      return "Unicode (UTF-16)";
    case Kind::utf16BigEndian:
      return "Unicode (UTF-16BE)";
    case Kind::utf16LittleEndian:
      return "Unicode (UTF-16LE)";
    case Kind::utf32:
      return "Unicode (UTF-32)";
    case Kind::utf32BigEndian:
      return "Unicode (UTF-32BE)";
    case Kind::utf32LittleEndian:
      return "Unicode (UTF-32LE)";
  }
  return "Unknown";
}

}  // namespace platform
