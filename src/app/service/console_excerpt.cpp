#include "app/service/console_excerpt.h"

#include <fmt/format.h>

#include "platform/foundation/utf8.h"

namespace app {

std::string consoleExcerpt(std::string_view text, std::size_t limit) {
  const std::size_t end = platform::utf8::characterBoundaryBefore(text, limit);
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
