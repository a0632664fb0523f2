#include "app/style/color.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <climits>
#include <cstdint>

namespace app {
namespace {

// Letters, marks and numbers of any script are content; everything else at the ends (white
// space of any script, punctuation, symbols) is trimmed. Bytes that are not UTF-8 stay, as
// content, so nothing the caller wrote disappears unread.
bool isContent(UChar32 c) {
  if (c < 0) return true;
  return (U_GET_GC_MASK(c) & (U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK)) != 0;
}

// The part of the text between its first and its last content character.
std::string_view trimmed(std::string_view text) {
  // Longer than any colour text; left whole, it reads as no colour.
  if (text.size() > static_cast<std::size_t>(INT32_MAX)) return text;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  std::int32_t begin = -1;
  std::int32_t end = 0;
  for (std::int32_t at = 0; at < length;) {
    const std::int32_t start = at;
    UChar32 c;
    U8_NEXT(bytes, at, length, c);
    if (!isContent(c)) continue;
    if (begin < 0) begin = start;
    end = at;
  }
  if (begin < 0) return {};
  return text.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::size_t characterCount(std::string_view utf8) {
  std::size_t n = 0;
  for (unsigned char c : utf8)
    n += (c & 0xC0) != 0x80;
  return n;
}

}  // namespace

Color Color::fromHex(std::string_view text) {
  const std::string_view hex = trimmed(text);

  std::uint64_t v = 0;
  for (char c : hex) {
    const int d = hexDigit(c);
    if (d < 0) break;
    // A scanner saturates rather than wrap; only the lengths below 17 digits matter anyway.
    if (v > (UINT64_MAX >> 4)) {
      v = UINT64_MAX;
      break;
    }
    v = (v << 4) | static_cast<std::uint64_t>(d);
  }

  std::uint64_t a, r, g, b;
  switch (characterCount(hex)) {
    case 3:
      a = 255, r = (v >> 8) * 17, g = ((v >> 4) & 0xF) * 17, b = (v & 0xF) * 17;
      break;
    case 6:
      a = 255, r = v >> 16, g = (v >> 8) & 0xFF, b = v & 0xFF;
      break;
    case 8:
      a = v >> 24, r = (v >> 16) & 0xFF, g = (v >> 8) & 0xFF, b = v & 0xFF;
      break;
    default:
      a = 1, r = 1, g = 1, b = 0;
      break;
  }
  return Color{static_cast<double>(r) / 255.0, static_cast<double>(g) / 255.0,
               static_cast<double>(b) / 255.0, static_cast<double>(a) / 255.0};
}

Color accentColor() {
  return Color::fromHex("#5B68DF");
}
Color secondaryTextColor() {
  return Color::fromHex("#C1C1C1");
}

}  // namespace app
