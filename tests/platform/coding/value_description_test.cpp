#include "platform/coding/value_description.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace platform {
namespace {

TEST(ValueDescription, WritesEveryKindOnOneLine) {
  struct Case {
    Value value;
    std::string text;
  };
  const Case cases[] = {
      {Value(), "null"},
      {Value(true), "true"},
      {Value(false), "false"},
      {Value(-3), "-3"},
      {Value(std::uint64_t{18446744073709551615ULL}), "18446744073709551615"},
      {Value(0.5), "0.5"},
      {Value(3.0), "3"},
      {Value("Tablet"), R"("Tablet")"},
      {Value(Value::Bytes{1, 2, 3}), "<3 bytes>"},
      {Value(Value::Array{}), "[]"},
      {Value(Value::Array{Value(1), Value("a"), Value()}), R"([1, "a", null])"},
      {Value(Value::Dictionary{}), "{}"},
      // Keys in order, whatever order they were given in.
      {Value(Value::Dictionary{{"version", Value(3)}, {"model", Value("Tablet")}}),
       R"({ "model": "Tablet", "version": 3 })"},
      {Value(Value::Dictionary{{"screen", Value(Value::Dictionary{{"w", Value(1024)}})},
                               {"tags", Value(Value::Array{Value(Value::Dictionary{})})}}),
       R"({ "screen": { "w": 1024 }, "tags": [{}] })"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(describeValue(c.value), c.text);
  }
}

}  // namespace
}  // namespace platform
