#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace platform {

// A text encoding with a strict decoder into UTF-8. Decoding never guesses: a truncated
// sequence, an overlong UTF-8 form, a lone surrogate or a code point above U+10FFFF makes the
// bytes invalid in that encoding.
class StringEncoding {
 public:
  enum class Kind {
    utf8,
    isoLatin1,
    utf16,  // byte-order mark honoured and removed; big-endian without one
    utf16BigEndian,
    utf16LittleEndian,
    utf32,  // byte-order mark honoured and removed; big-endian without one
    utf32BigEndian,
    utf32LittleEndian,
  };

  constexpr StringEncoding(Kind kind) : kind_(kind) {}  // NOLINT: a kind is an encoding

  static constexpr Kind utf8 = Kind::utf8;
  static constexpr Kind isoLatin1 = Kind::isoLatin1;
  static constexpr Kind utf16 = Kind::utf16;
  static constexpr Kind utf16BigEndian = Kind::utf16BigEndian;
  static constexpr Kind utf16LittleEndian = Kind::utf16LittleEndian;
  static constexpr Kind utf32 = Kind::utf32;
  static constexpr Kind utf32BigEndian = Kind::utf32BigEndian;
  static constexpr Kind utf32LittleEndian = Kind::utf32LittleEndian;

  Kind kind() const { return kind_; }

  // The bytes as UTF-8 text, or nothing when they are not valid in this encoding.
  std::optional<std::string> decode(std::span<const std::uint8_t> bytes) const;
  std::optional<std::string> decode(std::string_view bytes) const {
    return decode(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                                bytes.size()));
  }

  // The encoding's English name, e.g. "Unicode (UTF-8)" or "Western (ISO Latin 1)".
  std::string description() const;

  bool operator==(const StringEncoding&) const = default;

 private:
  Kind kind_;
};

}  // namespace platform
