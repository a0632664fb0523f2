#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// UTF-8 as every part of the program reads it. Well-formed means what Unicode's table 3-7
// allows: no overlong form, no surrogate, nothing above U+10FFFF, no truncated sequence.
namespace platform::utf8 {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// One step through a text.
struct Sequence {
  char32_t codePoint;  // U+FFFD when the sequence is ill-formed
  // Bytes taken: the whole character, or the maximal ill-formed prefix (at least one byte),
  // which is what one U+FFFD stands for when the text is read leniently.
  std::size_t length;
  bool valid;
};

// The sequence that starts at byte `at` (before the end) of `text`.
Sequence sequenceAt(std::string_view text, std::size_t at);

// Strict: whether `text` is well-formed (embedded NULs are), and its code points if it is.
bool isValid(std::string_view text);
std::optional<std::u32string> decode(std::string_view text);

// Lenient: `text` with every maximal ill-formed prefix replaced by U+FFFD.
std::string decodeLossy(std::string_view text);
std::string decodeLossy(std::span<const std::uint8_t> bytes);

// How many of `text`'s bytes a cut at `maxBytes` keeps without splitting a character: the whole
// text when it is short enough, else `maxBytes` backed up to where a character begins.
std::size_t characterBoundaryBefore(std::string_view text, std::size_t maxBytes);

// Appends the UTF-8 form of a Unicode scalar value.
void append(std::string& out, char32_t codePoint);

// C0, DEL and C1: the code points that may steer a terminal or break a line.
constexpr bool isControlCodePoint(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

// The one spelling of an escaped character in console and log text: "\u{1B}", hexadecimal in
// capitals without leading zeros, appended to `out`.
void appendCodePointEscape(std::string& out, char32_t codePoint);

// Text from outside (a device, the network) made safe for one console line: control
// characters become "\u{1B}"-style escapes, so a peer can neither start a terminal escape
// sequence nor forge a line of its own. Each byte of ill-formed UTF-8 is escaped the same way.
// Longer texts are cut at `maxBytes` (never inside a character) and end in "…".
std::string escapedForConsole(std::string_view text, std::size_t maxBytes = 1024);

}  // namespace platform::utf8
