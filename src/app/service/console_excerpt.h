#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace app {

// What may reach the console of text that came from the network: at most `limit` bytes of it
// (never cut inside a character), control characters written as `\u{1B}` so that no escape
// sequence or line break of the sender's gets through, and the full length noted when the text
// was cut.
std::string consoleExcerpt(std::string_view text, std::size_t limit = 200);

}  // namespace app
