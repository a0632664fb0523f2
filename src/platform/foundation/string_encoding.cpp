#include "platform/foundation/string_encoding.h"

namespace platform {

namespace {

void appendUTF8(std::string& out, char32_t c) {
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

// Length of the well-formed UTF-8 sequence at `i` (Unicode table 3-7), or of its maximal
// ill-formed prefix as a negative number (at least one byte).
int utf8SequenceAt(std::span<const std::uint8_t> s, std::size_t i, char32_t& codePoint) {
  const std::uint8_t b0 = s[i];
  if (b0 < 0x80) {
    codePoint = b0;
    return 1;
  }
  int length;
  std::uint8_t lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
  } else if (b0 == 0xE0) {
    length = 3, lo = 0xA0;
  } else if ((b0 >= 0xE1 && b0 <= 0xEC) || b0 == 0xEE || b0 == 0xEF) {
    length = 3;
  } else if (b0 == 0xED) {
    length = 3, hi = 0x9F;  // no surrogates
  } else if (b0 == 0xF0) {
    length = 4, lo = 0x90;
  } else if (b0 >= 0xF1 && b0 <= 0xF3) {
    length = 4;
  } else if (b0 == 0xF4) {
    length = 4, hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return -1;
  }
  char32_t c = b0 & (length == 2 ? 0x1F : length == 3 ? 0x0F : 0x07);
  for (int k = 1; k < length; ++k) {
    if (i + k >= s.size()) return -k;
    const std::uint8_t b = s[i + k];
    if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return -k;
    c = (c << 6) | (b & 0x3F);
  }
  codePoint = c;
  return length;
}

std::optional<std::string> decodeUTF8Strict(std::span<const std::uint8_t> s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    char32_t c;
    const int n = utf8SequenceAt(s, i, c);
    if (n < 0) return std::nullopt;
    out.append(reinterpret_cast<const char*>(s.data() + i), std::size_t(n));
    i += std::size_t(n);
  }
  return out;
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
    appendUTF8(out, c);
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
    appendUTF8(out, c);
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
        appendUTF8(out, b);
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

std::string decodeUTF8Lossy(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    char32_t c;
    const int n = utf8SequenceAt(bytes, i, c);
    if (n > 0) {
      out.append(reinterpret_cast<const char*>(bytes.data() + i), std::size_t(n));
      i += std::size_t(n);
    } else {
      out += "\xEF\xBF\xBD";
      i += std::size_t(-n);
    }
  }
  return out;
}

}  // namespace platform
