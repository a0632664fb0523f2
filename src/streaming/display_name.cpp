#include "streaming/display_name.h"

#include "platform/foundation/utf8.h"

namespace streaming {

std::string displayNameForDevice(std::string_view deviceName) {
  const std::string text = platform::utf8::decodeLossy(deviceName);
  std::string name = "Tovarine ";
  std::size_t characters = name.size();
  for (std::size_t at = 0; at < text.size() && characters < kMaxDisplayNameLength;) {
    const auto character = platform::utf8::sequenceAt(text, at);
    if (!platform::utf8::isControlCodePoint(character.codePoint)) {
      name.append(text, at, character.length);
      ++characters;
    }
    at += character.length;
  }
  return name;
}

}  // namespace streaming
