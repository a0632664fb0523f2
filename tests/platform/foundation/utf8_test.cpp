#include "platform/foundation/utf8.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace platform::utf8 {
namespace {

using namespace std::string_literals;

const std::string kFFFD = "\xEF\xBF\xBD";

TEST(Utf8, StrictAndLenientReadingsOfOneText) {
  struct Row {
    const char* what;
    std::string bytes;
    std::optional<std::u32string> strict;  // nothing: ill-formed
    std::string lenient;
  };
  const Row rows[] = {
      {"ascii with a NUL", "a\0b"s, U"a\0b"s, "a\0b"s},
      {"one of each length", "\x41\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", U"A\u00E9\u20AC\U0001F600",
       "\x41\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"largest scalar", "\xF4\x8F\xBF\xBF", U"\U0010FFFF", "\xF4\x8F\xBF\xBF"},
      {"last before the surrogates", "\xED\x9F\xBF", U"\uD7FF", "\xED\x9F\xBF"},
      {"overlong two bytes", "\xC0\xAF", std::nullopt, kFFFD + kFFFD},
      {"overlong NUL", "\xC1\x80", std::nullopt, kFFFD + kFFFD},
      {"overlong three bytes", "\xE0\x80\xAF", std::nullopt, kFFFD + kFFFD + kFFFD},
      {"overlong four bytes", "\xF0\x8F\xBF\xBF", std::nullopt, kFFFD + kFFFD + kFFFD + kFFFD},
      {"high surrogate", "\xED\xA0\x80", std::nullopt, kFFFD + kFFFD + kFFFD},
      {"low surrogate", "\xED\xBF\xBF", std::nullopt, kFFFD + kFFFD + kFFFD},
      {"above U+10FFFF", "\xF4\x90\x80\x80", std::nullopt, kFFFD + kFFFD + kFFFD + kFFFD},
      {"no such lead byte", "\xF5\x80\x80\x80", std::nullopt, kFFFD + kFFFD + kFFFD + kFFFD},
      {"lone continuation", "a\x80z", std::nullopt, "a" + kFFFD + "z"},
      // A truncated sequence is one replacement however much of it is there.
      {"truncated at the end", "ok\xF0\x9F\x98", std::nullopt, "ok" + kFFFD},
      {"truncated before ascii", "\xE2\x82z", std::nullopt, kFFFD + "z"},
      {"truncated before a lead", "\xC3\xC3\xA9", std::nullopt, kFFFD + "\xC3\xA9"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(decode(row.bytes), row.strict) << row.what;
    EXPECT_EQ(isValid(row.bytes), row.strict.has_value()) << row.what;
    EXPECT_EQ(decodeLossy(row.bytes), row.lenient) << row.what;
  }
}

TEST(Utf8, AppendWritesWhatDecodeReads) {
  for (char32_t c :
       {U'\0', U'\x7F', U'\x80', U'\x7FF', U'\x800', U'\xFFFF', U'\U00010000', U'\U0010FFFF'}) {
    std::string bytes;
    append(bytes, c);
    EXPECT_EQ(decode(bytes), std::u32string(1, c)) << unsigned(c);
    const Sequence step = sequenceAt(bytes, 0);
    EXPECT_TRUE(step.valid);
    EXPECT_EQ(step.length, bytes.size());
  }
}

TEST(Utf8, ControlCodePointsAreC0DeleteAndC1) {
  struct Row {
    char32_t codePoint;
    bool control;
  };
  const Row rows[] = {{0x00, true},  {0x1B, true},    {0x1F, true},   {0x20, false},
                      {0x7E, false}, {0x7F, true},    {0x80, true},   {0x9F, true},
                      {0xA0, false}, {0xFFFD, false}, {0x2028, false}};
  for (const Row& row : rows) {
    EXPECT_EQ(isControlCodePoint(row.codePoint), row.control) << unsigned(row.codePoint);
  }
}

TEST(Utf8, ACutKeepsWholeCharactersOnly) {
  struct Case {
    std::string text;
    std::size_t maxBytes;
    std::size_t kept;
  };
  const Case cases[] = {
      {"short", 10, 5},
      {"exact", 5, 5},
      {"abcdef", 3, 3},
      {"a\xC3\xA9", 2, 1},                 // inside a two-byte character
      {"a\xC3\xA9z", 3, 3},                // a whole character ends at the cut
      {"\xE2\x82\xAC\xE2\x82\xAC", 5, 3},  // inside the second three-byte one
      {"\xF0\x9F\x98\x80", 3, 0},          // nothing but the start of one
      {"abc", 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(characterBoundaryBefore(c.text, c.maxBytes), c.kept) << c.text << " " << c.maxBytes;
  }
}

TEST(Utf8, OutsideTextIsEscapedAndBoundedForOneConsoleLine) {
  struct Case {
    std::string text;
    std::size_t maxBytes;
    std::string expected;
  };
  const Case cases[] = {
      {"plain Tablet", 1024, "plain Tablet"},
      {"caf\xC3\xA9 \xE2\x82\xAC", 1024, "caf\xC3\xA9 \xE2\x82\xAC"},
      {"\x1B[2J\x1B]0;owned\x07", 1024, "\\u{1B}[2J\\u{1B}]0;owned\\u{7}"},
      {"forged\nRefused the description", 1024, "forged\\u{A}Refused the description"},
      {"cr\rtab\tdel\x7F", 1024, "cr\\u{D}tab\\u{9}del\\u{7F}"},
      {std::string("nul\0end", 7), 1024, "nul\\u{0}end"},
      {"c1 \xC2\x9B csi", 1024, "c1 \\u{9B} csi"},
      {"bad \xFF\xC3 utf8", 1024, "bad \\u{FF}\\u{C3} utf8"},
      {"surrogate \xED\xA0\x80", 1024, "surrogate \\u{ED}\\u{A0}\\u{80}"},
      {"overlong \xC0\xAF", 1024, "overlong \\u{C0}\\u{AF}"},
      {"truncated \xE2\x82", 1024, "truncated \\u{E2}\\u{82}"},
      {std::string(50, 'x'), 10, "xxxxxxxxxx…"},
      // Cut between characters, never inside one; escapes count their full length.
      {"\xC3\xA9\xC3\xA9\xC3\xA9", 5, "\xC3\xA9\xC3\xA9…"},
      {"ab\x1B\x1B", 10, "ab\\u{1B}…"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(escapedForConsole(c.text, c.maxBytes), c.expected) << c.text;
  }
}

}  // namespace
}  // namespace platform::utf8
