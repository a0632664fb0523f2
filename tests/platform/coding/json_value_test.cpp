#include <gtest/gtest.h>

#include <limits>

#include "platform/coding/support/plist_fixtures.h"
#include "platform/coding/value.h"

namespace platform {
namespace {

using testing::bytesOf;

std::expected<Value, DecodeError> decode(std::string_view text, DecodeLimits limits = {}) {
  return decodeJSON(bytesOf(text), limits);
}

TEST(JsonValue, DecodesNestedDocumentsWithEveryKind) {
  auto decoded = decode(R"({
    "name": "Pad \u00e9\ud83d\ude00",
    "screenSize": {"Width": 1024, "Height": 768.0},
    "flags": [true, false, null],
    "ppi": 132,
    "empty": {}, "none": []
  })");
  ASSERT_TRUE(decoded) << decoded.error().message;
  const Value expected(Value::Dictionary{
      {"name", Value("Pad \xC3\xA9\xF0\x9F\x98\x80")},
      {"screenSize", Value(Value::Dictionary{{"Width", Value(1024)}, {"Height", Value(768.0)}})},
      {"flags", Value(Value::Array{Value(true), Value(false), Value()})},
      {"ppi", Value(132)},
      {"empty", Value(Value::Dictionary{})},
      {"none", Value(Value::Array{})},
  });
  EXPECT_EQ(*decoded, expected);
}

TEST(JsonValue, IntegersAndFloatsKeepTheirKinds) {
  auto decoded = decode(
      "[0, -1, 9223372036854775807, -9223372036854775808, 9223372036854775808,"
      " 18446744073709551615, 1.5, 1e3, -0.0]");
  ASSERT_TRUE(decoded) << decoded.error().message;
  const Value expected(Value::Array{
      Value(0),
      Value(-1),
      Value(std::int64_t{INT64_MAX}),
      Value(std::int64_t{INT64_MIN}),
      Value(std::uint64_t{9223372036854775808ULL}),
      Value(std::numeric_limits<std::uint64_t>::max()),
      Value(1.5),
      Value(1000.0),
      Value(-0.0),
  });
  EXPECT_EQ(*decoded, expected);
  // Integers past 64 bits have no exact form and arrive as doubles.
  auto huge = decode("18446744073709551616");
  ASSERT_TRUE(huge) << huge.error().message;
  EXPECT_EQ(*huge, Value(18446744073709551616.0));
  EXPECT_FALSE(decode("1e400"));
}

TEST(JsonValue, RepeatedKeysKeepTheLastValue) {
  auto decoded = decode(R"({"a": 1, "a": 2})");
  ASSERT_TRUE(decoded) << decoded.error().message;
  EXPECT_EQ(*decoded, Value(Value::Dictionary{{"a", Value(2)}}));
}

TEST(JsonValue, RefusesIllFormedText) {
  EXPECT_FALSE(decode("\"\xFF\""));
  EXPECT_FALSE(decode("\"\xC0\xAF\""));      // overlong '/'
  EXPECT_FALSE(decode("\"\xED\xA0\x80\""));  // encoded surrogate
  EXPECT_FALSE(decode("\"\xE2\x82\""));      // truncated
  EXPECT_FALSE(decode(R"("\ud800")"));       // lone surrogate escape
  EXPECT_FALSE(decode(R"("\udc00\ud800")"));
  EXPECT_FALSE(decode("{\"\xFE\": 1}"));
  EXPECT_TRUE(decode("\"\xF4\x8F\xBF\xBF\""));  // U+10FFFF
}

TEST(JsonValue, RefusesMalformedDocuments) {
  EXPECT_FALSE(decode(""));
  EXPECT_FALSE(decode("   "));
  EXPECT_FALSE(decode("{"));
  EXPECT_FALSE(decode("{\"a\" 1}"));
  EXPECT_FALSE(decode("[1,]"));
  EXPECT_FALSE(decode("{} {}"));
  EXPECT_FALSE(decode("[1] x"));
  EXPECT_FALSE(decode("NaN"));
  EXPECT_FALSE(decode("// comment\n{}"));
  EXPECT_FALSE(decode(std::string_view("[1,\0 2]", 7)));
}

TEST(JsonValue, DepthLimitHoldsWithoutRecursing) {
  EXPECT_TRUE(decode(testing::jsonNestedArrays(64)));
  auto tooDeep = decode(testing::jsonNestedArrays(65));
  ASSERT_FALSE(tooDeep);
  EXPECT_NE(tooDeep.error().message.find("nesting"), std::string::npos);

  DecodeLimits limits;
  limits.maxDepth = 3;
  EXPECT_TRUE(decode(R"({"a": [{}]})", limits));
  EXPECT_TRUE(decode(R"({"a": [{"b": 1}, []]} )", limits));
  EXPECT_FALSE(decode(R"({"a": [[[]]]})", limits));

  // Deep enough to overflow the stack of a recursive parser or destructor.
  EXPECT_FALSE(decode(testing::jsonNestedArrays(2000000)));
  EXPECT_FALSE(decode(std::string(2000000, '[')));
}

TEST(JsonValue, SizeAndElementLimits) {
  DecodeLimits limits;
  limits.maxBytes = 5;
  EXPECT_TRUE(decode("[1,2]", limits));
  auto tooLarge = decode("[1, 2]", limits);
  ASSERT_FALSE(tooLarge);
  EXPECT_NE(tooLarge.error().message.find("larger"), std::string::npos);

  limits = {};
  limits.maxElements = 4;  // the array and three numbers
  EXPECT_TRUE(decode("[1,2,3]", limits));
  EXPECT_FALSE(decode("[1,2,3,4]", limits));
  EXPECT_TRUE(decode("[[], [], []]", limits));
  EXPECT_FALSE(decode("[[], [], [], []]", limits));
}

}  // namespace
}  // namespace platform
