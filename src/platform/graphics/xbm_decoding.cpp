// X bitmaps are read here: no Debian library short of a toolkit (Xlib's reader wants a display
// connection, ImageMagick a whole imaging suite) reads them from memory, and the format is a few
// lines of C text: two definitions of the size and an array of bytes, eight pixels each.

#include <charconv>
#include <string_view>

#include "platform/graphics/image_decoding_formats.h"

namespace platform::decoding {

namespace {

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// The value of "#define <name>_<suffix> <value>", or none.
std::optional<std::uint64_t> definition(std::string_view text, std::string_view suffix) {
  std::size_t at = 0;
  while ((at = text.find("#define", at)) != std::string_view::npos) {
    at += 7;
    std::size_t nameStart = at;
    while (nameStart < text.size() && isSpace(text[nameStart]))
      ++nameStart;
    std::size_t nameEnd = nameStart;
    while (nameEnd < text.size() && !isSpace(text[nameEnd]))
      ++nameEnd;
    const std::string_view name = text.substr(nameStart, nameEnd - nameStart);
    if (name.size() < suffix.size() || !name.ends_with(suffix)) continue;
    std::size_t valueStart = nameEnd;
    while (valueStart < text.size() && (text[valueStart] == ' ' || text[valueStart] == '\t'))
      ++valueStart;
    std::uint64_t value = 0;
    const auto [end, error] =
        std::from_chars(text.data() + valueStart, text.data() + text.size(), value);
    if (error != std::errc()) return std::nullopt;
    return value;
  }
  return std::nullopt;
}

}  // namespace

ImageDecodingResult decodeXbm(std::span<const std::uint8_t> bytes,
                              const ImageDecodingLimits& limits) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  const std::optional<std::uint64_t> width = definition(text, "_width");
  const std::optional<std::uint64_t> height = definition(text, "_height");
  if (!width || !height) return std::unexpected(ImageDecodingFailure::corrupt);
  if (std::optional<ImageDecodingFailure> refusal = checkGeometry(*width, *height, limits))
    return std::unexpected(*refusal);
  // "static char name_bits[] = {" holds bytes; the older "short" form sixteen pixels a value.
  const std::size_t bitsAt = text.find("_bits");
  const std::size_t open = text.find('{', bitsAt == std::string_view::npos ? 0 : bitsAt);
  if (bitsAt == std::string_view::npos || open == std::string_view::npos)
    return std::unexpected(ImageDecodingFailure::corrupt);
  const bool shorts = text.substr(0, bitsAt).find("short") != std::string_view::npos;
  const std::uint64_t valueBits = shorts ? 16 : 8;
  const std::uint64_t valuesPerRow = (*width + valueBits - 1) / valueBits;
  // Each value takes at least two characters of text, so a short file cannot declare more.
  if (valuesPerRow * *height > text.size() / 2)
    return std::unexpected(ImageDecodingFailure::corrupt);

  const auto w = static_cast<int>(*width);
  const auto h = static_cast<int>(*height);
  const std::size_t count = static_cast<std::size_t>(*width * *height);
  std::uint8_t* pixels = allocateBuffer(count * 4);
  if (!pixels) return std::unexpected(ImageDecodingFailure::exceedsLimits);
  std::size_t at = open + 1;
  bool ok = true;
  for (int y = 0; y < h && ok; ++y) {
    for (std::uint64_t v = 0; v < valuesPerRow && ok; ++v) {
      while (at < text.size() && (isSpace(text[at]) || text[at] == ','))
        ++at;
      std::uint64_t value = 0;
      const bool hex = text.substr(at, 2) == "0x" || text.substr(at, 2) == "0X";
      const char* first = text.data() + at + (hex ? 2 : 0);
      const auto [end, error] =
          std::from_chars(first, text.data() + text.size(), value, hex ? 16 : 10);
      if (error != std::errc() || value >= (std::uint64_t{1} << valueBits)) {
        ok = false;
        break;
      }
      at = static_cast<std::size_t>(end - text.data());
      // Least significant bit first; set bits are the ink, black on a clear ground.
      for (std::uint64_t bit = 0; bit < valueBits; ++bit) {
        const std::uint64_t x = v * valueBits + bit;
        if (x >= *width) break;
        if ((value >> bit) & 1) pixels[(static_cast<std::size_t>(y) * w + x) * 4 + 3] = 255;
      }
    }
  }
  while (ok && at < text.size() && (isSpace(text[at]) || text[at] == ','))
    ++at;
  if (!ok || at >= text.size() || text[at] != '}') {
    freeBuffer(pixels);
    return std::unexpected(ImageDecodingFailure::corrupt);
  }
  return adoptStraight(StraightPixels{pixels, w, h});
}

}  // namespace platform::decoding
