#include "platform/coding/json_serialization.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using platform::JSONSerialization;
using platform::JSONSerializationError;
using platform::Value;

std::span<const std::uint8_t> bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string text(const std::vector<std::uint8_t>& data) {
  return std::string(data.begin(), data.end());
}

TEST(JSONSerializationTest, ReadsObjectsWithTheNarrowestNumberTypes) {
  auto value = JSONSerialization::jsonObject(bytes(
      R"({"i":-3,"u":18446744073709551615,"small":5,"d":2.5,"s":"x","b":false,"n":null,"a":[]})"));
  const auto& d = *value.asDictionary();
  EXPECT_EQ(d.at("i"), Value(std::int64_t{-3}));
  EXPECT_EQ(d.at("u"), Value(std::uint64_t{UINT64_MAX}));
  EXPECT_EQ(d.at("small"), Value(std::int64_t{5}));
  EXPECT_EQ(d.at("d"), Value(2.5));
  EXPECT_EQ(d.at("s"), Value("x"));
  EXPECT_EQ(d.at("b"), Value(false));
  EXPECT_TRUE(d.at("n").isNull());
  EXPECT_EQ(d.at("a"), Value(Value::Array{}));
}

TEST(JSONSerializationTest, FragmentsOnlyWhenAllowed) {
  EXPECT_THROW(JSONSerialization::jsonObject(bytes("42")), JSONSerializationError);
  EXPECT_EQ(JSONSerialization::jsonObject(bytes("42"), JSONSerialization::fragmentsAllowed),
            Value(std::int64_t{42}));
  EXPECT_THROW(JSONSerialization::data(Value("s")), JSONSerializationError);
  EXPECT_EQ(text(JSONSerialization::data(Value("s"), JSONSerialization::fragmentsAllowedWriting)),
            R"("s")");
}

TEST(JSONSerializationTest, RefusesBrokenText) {
  for (const char* bad : {"", "{", "[1,]", "{\"a\" 1}", "[\"\xC3\"]", "[1] x", "[NaN]"}) {
    EXPECT_THROW(JSONSerialization::jsonObject(bytes(bad)), JSONSerializationError) << bad;
  }
  std::string deep(600, '[');
  deep += std::string(600, ']');
  EXPECT_THROW(JSONSerialization::jsonObject(bytes(deep)), JSONSerializationError);
  // A byte-order mark is not an error.
  EXPECT_EQ(JSONSerialization::jsonObject(bytes("\xEF\xBB\xBF[1]")), Value(Value::Array{Value(1)}));
}

TEST(JSONSerializationTest, WritesWhatItReads) {
  Value value(Value::Dictionary{
      {"z", Value(Value::Array{Value(1), Value(1.5), Value(true), Value()})},
      {"a", Value("tab\tslash/quote\"")},
  });
  auto data = JSONSerialization::data(value);
  EXPECT_EQ(text(data), R"({"a":"tab\tslash\/quote\"","z":[1,1.5,true,null]})");
  EXPECT_EQ(JSONSerialization::jsonObject(data), value);
  EXPECT_EQ(text(JSONSerialization::data(Value(Value::Dictionary{}))), "{}");
  EXPECT_EQ(text(JSONSerialization::data(value, JSONSerialization::withoutEscapingSlashes |
                                                    JSONSerialization::prettyPrinted)),
            "{\n  \"a\" : \"tab\\tslash/quote\\\"\",\n  \"z\" : [\n    1,\n    1.5,\n    true,\n"
            "    null\n  ]\n}");
}

TEST(JSONSerializationTest, RefusesValuesJSONCannotHold) {
  auto wrap = [](Value v) { return Value(Value::Array{std::move(v)}); };
  for (const Value& bad : {wrap(Value(NAN)), wrap(Value(INFINITY)), wrap(Value(Value::Bytes{1})),
                           wrap(Value(std::string("\xFF")))}) {
    EXPECT_THROW(JSONSerialization::data(bad), JSONSerializationError);
    EXPECT_FALSE(JSONSerialization::isValidJSONObject(bad));
  }
  EXPECT_TRUE(JSONSerialization::isValidJSONObject(wrap(Value(1))));
  EXPECT_FALSE(JSONSerialization::isValidJSONObject(Value(1)));
}

}  // namespace
