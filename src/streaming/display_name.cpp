#include "streaming/display_name.h"

#include <algorithm>
#include <cstdint>
#include <span>

#include "platform/foundation/string_encoding.h"

namespace streaming {

namespace {

// Length of the UTF-8 sequence that starts with `lead` (the text is well-formed here).
std::size_t sequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

std::uint32_t decodeAt(std::string_view text, std::size_t at, std::size_t length) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  switch (length) {
    case 1:
      return byte(0);
    case 2:
      return (byte(0) & 0x1Fu) << 6 | (byte(1) & 0x3Fu);
    case 3:
      return (byte(0) & 0x0Fu) << 12 | (byte(1) & 0x3Fu) << 6 | (byte(2) & 0x3Fu);
    default:
      return (byte(0) & 0x07u) << 18 | (byte(1) & 0x3Fu) << 12 | (byte(2) & 0x3Fu) << 6 |
             (byte(3) & 0x3Fu);
  }
}

bool isControl(std::uint32_t codePoint) {
  return codePoint < 0x20 || (codePoint >= 0x7F && codePoint <= 0x9F);
}

}  // namespace

std::string displayNameForDevice(std::string_view deviceName) {
  const std::string text = platform::decodeUTF8Lossy(std::span<const std::uint8_t>(
      reinterpret_cast<const std::uint8_t*>(deviceName.data()), deviceName.size()));
  std::string name = "Tovarine ";
  std::size_t characters = name.size();
  for (std::size_t at = 0; at < text.size() && characters < kMaxDisplayNameLength;) {
    const std::size_t length =
        std::min(sequenceLength(static_cast<unsigned char>(text[at])), text.size() - at);
    if (!isControl(decodeAt(text, at, length))) {
      name.append(text, at, length);
      ++characters;
    }
    at += length;
  }
  return name;
}

}  // namespace streaming
