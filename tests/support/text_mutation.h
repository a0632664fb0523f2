#pragma once

// Seeded mutation of texts for the parsers' bounded fuzz loops: each input is a seed with a few
// bytes replaced, flipped, inserted from the parser's own alphabet, deleted or repeated (so that
// runs grow long), and now and then cut short. The same round number always gives the same
// input, so a failure names an input that can be made again.

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

inline std::string mutatedText(const std::vector<std::string>& seeds, std::string_view alphabet,
                               int round) {
  std::mt19937 random(static_cast<std::uint32_t>(round) * 7919u + 17u);
  auto below = [&random](std::size_t n) {
    return n == 0 ? 0 : std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
  };
  std::string text = seeds[below(seeds.size())];
  const std::size_t changes = 1 + below(4);
  for (std::size_t i = 0; i < changes; ++i) {
    const std::size_t at = below(text.size() + 1);
    switch (below(5)) {
      case 0:
        if (at < text.size()) text[at] = static_cast<char>(below(256));
        break;
      case 1:
        if (at < text.size()) text[at] ^= static_cast<char>(1u << below(8));
        break;
      case 2:
        text.insert(at, 1, alphabet[below(alphabet.size())]);
        break;
      case 3:
        if (at < text.size()) text.erase(at, 1 + below(3));
        break;
      default:
        if (at < text.size()) text.insert(at, std::string(1 + below(48), text[at]));
        break;
    }
  }
  if (below(8) == 0) text.resize(below(text.size() + 1));
  return text;
}

}  // namespace testsupport
