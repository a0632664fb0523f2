#include "app/style/color.h"

#include <cstdint>

namespace app {
namespace {

// Letters and digits of any script count as content; UTF-8 bytes above ASCII belong to such
// characters often enough that trimming keeps them.
bool isContent(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c >= 0x80;
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
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && !isContent(static_cast<unsigned char>(text[begin])))
    ++begin;
  while (end > begin && !isContent(static_cast<unsigned char>(text[end - 1])))
    --end;
  const std::string_view hex = text.substr(begin, end - begin);

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
