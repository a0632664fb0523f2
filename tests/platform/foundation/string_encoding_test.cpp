#include "platform/foundation/string_encoding.h"
#include "platform/foundation/utf8.h"

#include <gtest/gtest.h>

namespace {

using platform::StringEncoding;

std::optional<std::string> decode(StringEncoding encoding, std::string_view bytes) {
  return encoding.decode(bytes);
}

TEST(StringEncodingTest, UTF8IsStrict) {
  EXPECT_EQ(decode(StringEncoding::utf8, "caf\xC3\xA9 \xF0\x9F\x98\x80"),
            "caf\xC3\xA9 \xF0\x9F\x98\x80");
  EXPECT_FALSE(decode(StringEncoding::utf8, "\xC0\x80"));          // overlong
  EXPECT_FALSE(decode(StringEncoding::utf8, "\xED\xA0\x80"));      // surrogate
  EXPECT_FALSE(decode(StringEncoding::utf8, "ok\xE2\x82"));        // truncated
  EXPECT_FALSE(decode(StringEncoding::utf8, "\xF4\x90\x80\x80"));  // above U+10FFFF
}

TEST(StringEncodingTest, UTF16AndUTF32) {
  using namespace std::string_view_literals;
  EXPECT_EQ(decode(StringEncoding::utf16, "\xFF\xFEh\0i\0"sv), "hi");  // byte-order mark: LE
  EXPECT_EQ(decode(StringEncoding::utf16, "\0h\0i"sv), "hi");          // none: big-endian
  EXPECT_EQ(decode(StringEncoding::utf16BigEndian, "\xD8\x3D\xDE\x00"sv), "\xF0\x9F\x98\x80");
  EXPECT_FALSE(decode(StringEncoding::utf16LittleEndian, "\x00\xD8"sv));  // lone surrogate
  EXPECT_FALSE(decode(StringEncoding::utf16BigEndian, "\0h\0"sv));        // odd length
  EXPECT_EQ(decode(StringEncoding::utf32LittleEndian, "A\0\0\0"sv), "A");
  EXPECT_FALSE(decode(StringEncoding::utf32BigEndian, "\0\x11\0\0"sv));  // above U+10FFFF
}

TEST(StringEncodingTest, LatinOneAndLossyUTF8) {
  EXPECT_EQ(decode(StringEncoding::isoLatin1, "caf\xE9"), "caf\xC3\xA9");
  const std::string_view bytes =
      "a\xF0\x9F\x98"
      "b\xC0\x80";
  const auto lossy = platform::utf8::decodeLossy(std::span<const std::uint8_t>(
      reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  EXPECT_EQ(lossy,
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(StringEncoding(StringEncoding::isoLatin1).description(), "Western (ISO Latin 1)");
}

}  // namespace
