#include "app/service/console_excerpt.h"

#include <fmt/format.h>

#include "platform/foundation/utf8.h"

namespace app {

std::string consoleExcerpt(std::string_view text, std::size_t limit) {
  std::size_t end = std::min(limit, text.size());
  // Back up to the start of a character when the cut falls inside one.
  if (end < text.size()) {
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
      --end;
  }
  std::string out;
  out.reserve(end + 32);
  for (std::size_t i = 0; i < end; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      platform::utf8::appendCodePointEscape(out, c);
    } else {
      out += static_cast<char>(c);
    }
  }
  if (end < text.size()) out += fmt::format("… ({} bytes in all)", text.size());
  return out;
}

}  // namespace app
