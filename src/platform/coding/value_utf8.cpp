#include "platform/coding/value_utf8.h"

#include <cstdint>

namespace platform {

bool isValidUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const std::uint8_t lead = *p;
    if (lead < 0x80) {
      ++p;
      continue;
    }
    int trailing;
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    // The ranges of the second byte rule out overlong forms, surrogates and code points past
    // U+10FFFF (RFC 3629, table 3-7 of the Unicode standard).
    if (lead >= 0xC2 && lead <= 0xDF) {
      trailing = 1;
    } else if (lead == 0xE0) {
      trailing = 2;
      low = 0xA0;
    } else if (lead >= 0xE1 && lead <= 0xEC) {
      trailing = 2;
    } else if (lead == 0xED) {
      trailing = 2;
      high = 0x9F;
    } else if (lead >= 0xEE && lead <= 0xEF) {
      trailing = 2;
    } else if (lead == 0xF0) {
      trailing = 3;
      low = 0x90;
    } else if (lead >= 0xF1 && lead <= 0xF3) {
      trailing = 3;
    } else if (lead == 0xF4) {
      trailing = 3;
      high = 0x8F;
    } else {
      return false;
    }
    if (end - p <= trailing) return false;
    if (p[1] < low || p[1] > high) return false;
    for (int i = 2; i <= trailing; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
    }
    p += trailing + 1;
  }
  return true;
}

}  // namespace platform
