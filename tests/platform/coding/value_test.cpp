#include "platform/coding/value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/coding/support/plist_fixtures.h"

namespace platform {
namespace {

using testing::bytesOf;

TEST(ValueExactInt32, AcceptsWholeNumbersInRangeOfEveryNumericKind) {
  EXPECT_EQ(Value(1024).exactInt32(), 1024);
  EXPECT_EQ(Value(1024.0).exactInt32(), 1024);
  EXPECT_EQ(Value(std::uint64_t{1024}).exactInt32(), 1024);
  EXPECT_EQ(Value(-0.0).exactInt32(), 0);
  EXPECT_EQ(Value(std::int64_t{2147483647}).exactInt32(), 2147483647);
  EXPECT_EQ(Value(std::int64_t{-2147483648LL}).exactInt32(), std::numeric_limits<int>::min());
  EXPECT_EQ(Value(2147483647.0).exactInt32(), 2147483647);
  EXPECT_EQ(Value(-2147483648.0).exactInt32(), std::numeric_limits<int>::min());
}

TEST(ValueExactInt32, RefusesLossyOrNonNumericValues) {
  EXPECT_EQ(Value(1024.5).exactInt32(), std::nullopt);
  EXPECT_EQ(Value(std::int64_t{2147483648LL}).exactInt32(), std::nullopt);
  EXPECT_EQ(Value(std::int64_t{-2147483649LL}).exactInt32(), std::nullopt);
  EXPECT_EQ(Value(std::uint64_t{2147483648ULL}).exactInt32(), std::nullopt);
  EXPECT_EQ(Value(std::numeric_limits<std::uint64_t>::max()).exactInt32(), std::nullopt);
  EXPECT_EQ(Value(2147483648.0).exactInt32(), std::nullopt);
  EXPECT_EQ(Value(-2147483649.0).exactInt32(), std::nullopt);
  EXPECT_EQ(Value(1e300).exactInt32(), std::nullopt);
  EXPECT_EQ(Value(std::nan("")).exactInt32(), std::nullopt);
  EXPECT_EQ(Value(std::numeric_limits<double>::infinity()).exactInt32(), std::nullopt);
  EXPECT_EQ(Value(-std::numeric_limits<double>::infinity()).exactInt32(), std::nullopt);
  EXPECT_EQ(Value(true).exactInt32(), std::nullopt);
  EXPECT_EQ(Value("1024").exactInt32(), std::nullopt);
  EXPECT_EQ(Value().exactInt32(), std::nullopt);
  EXPECT_EQ(Value(Value::Array{Value(1)}).exactInt32(), std::nullopt);
}

TEST(ValueAccessors, NumbersAreNumbersAndNothingElseIs) {
  EXPECT_TRUE(Value(1).isNumber());
  EXPECT_TRUE(Value(std::uint64_t{1}).isNumber());
  EXPECT_TRUE(Value(0.5).isNumber());
  EXPECT_FALSE(Value(true).isNumber());
  EXPECT_FALSE(Value("1").isNumber());
  EXPECT_FALSE(Value().isNumber());

  EXPECT_EQ(Value(-3).asDouble(), -3.0);
  EXPECT_EQ(Value(std::uint64_t{1} << 63).asDouble(), 9223372036854775808.0);
  EXPECT_EQ(Value(false).asDouble(), std::nullopt);

  const Value dictionary(Value::Dictionary{{"a", Value(1)}});
  ASSERT_NE(dictionary.find("a"), nullptr);
  EXPECT_EQ(*dictionary.find("a"), Value(1));
  EXPECT_EQ(dictionary.find("b"), nullptr);
  EXPECT_EQ(Value(Value::Array{}).find("a"), nullptr);
}

TEST(DictionaryWithContentsOfData, ReadsEveryFormatADeviceMaySend) {
  const Value::Dictionary expected{{"name", Value("Pad")}, {"ppi", Value(132)}};

  testing::PlistPtr root(plist_new_dict());
  plist_dict_set_item(root.get(), "name", plist_new_string("Pad"));
  plist_dict_set_item(root.get(), "ppi", plist_new_uint(132));

  auto binary = dictionaryWithContentsOfData(testing::toBinary(root.get()));
  ASSERT_TRUE(binary) << binary.error().message;
  EXPECT_EQ(*binary, expected);

  auto xml = dictionaryWithContentsOfData(testing::toXml(root.get()));
  ASSERT_TRUE(xml) << xml.error().message;
  EXPECT_EQ(*xml, expected);

  auto json = dictionaryWithContentsOfData(bytesOf(" \n{\"name\": \"Pad\", \"ppi\": 132}"));
  ASSERT_TRUE(json) << json.error().message;
  EXPECT_EQ(*json, expected);

  auto bom = dictionaryWithContentsOfData(bytesOf("\xEF\xBB\xBF{\"name\":\"Pad\",\"ppi\":132}"));
  ASSERT_TRUE(bom) << bom.error().message;
  EXPECT_EQ(*bom, expected);
}

TEST(DictionaryWithContentsOfData, RefusesOtherTopLevelsAndNonsense) {
  testing::PlistPtr array(plist_new_array());
  plist_array_append_item(array.get(), plist_new_uint(1));
  EXPECT_FALSE(dictionaryWithContentsOfData(testing::toBinary(array.get())));
  EXPECT_FALSE(dictionaryWithContentsOfData(testing::toXml(array.get())));
  EXPECT_FALSE(dictionaryWithContentsOfData(bytesOf("[1, 2]")));
  EXPECT_FALSE(dictionaryWithContentsOfData(bytesOf("\"text\"")));
  EXPECT_FALSE(dictionaryWithContentsOfData(bytesOf("")));
  EXPECT_FALSE(dictionaryWithContentsOfData(bytesOf("   ")));
  EXPECT_FALSE(dictionaryWithContentsOfData(bytesOf("hello")));
  EXPECT_FALSE(dictionaryWithContentsOfData(bytesOf("bplist00")));
  EXPECT_FALSE(dictionaryWithContentsOfData(bytesOf("{\"a\": 1")));
  EXPECT_FALSE(dictionaryWithContentsOfData(bytesOf("<plist><dict>")));
}

TEST(DictionaryWithContentsOfData, AppliesTheLimitsToEveryFormat) {
  DecodeLimits small;
  small.maxBytes = 8;
  EXPECT_FALSE(dictionaryWithContentsOfData(bytesOf("{\"a\": 100}"), small));
  EXPECT_TRUE(dictionaryWithContentsOfData(bytesOf("{\"a\":1}"), small));

  DecodeLimits shallow;
  shallow.maxDepth = 1;
  EXPECT_TRUE(dictionaryWithContentsOfData(bytesOf("{\"a\": 1}"), shallow));
  EXPECT_FALSE(dictionaryWithContentsOfData(bytesOf("{\"a\": {}}"), shallow));
}

}  // namespace
}  // namespace platform

// However a value came to nest this deep, letting it go must not overflow the stack.
TEST(ValueLifetime, ADeeplyNestedValueIsFreedWithoutRecursion) {
  for (bool dictionaries : {false, true}) {
    platform::Value value(std::int64_t{7});
    for (int level = 0; level < 200'000; ++level) {
      if (dictionaries) {
        platform::Value::Dictionary wrapper;
        wrapper.emplace("k", std::move(value));
        value = platform::Value(std::move(wrapper));
      } else {
        platform::Value::Array wrapper;
        wrapper.push_back(std::move(value));
        wrapper.push_back(platform::Value("leaf"));
        value = platform::Value(std::move(wrapper));
      }
    }
    const platform::Value* innermost = &value;
    int depth = 0;
    while (const auto* next =
               dictionaries ? innermost->find("k")
                            : (innermost->asArray() ? &innermost->asArray()->front() : nullptr)) {
      innermost = next;
      ++depth;
    }
    EXPECT_EQ(depth, 200'000);
    EXPECT_EQ(innermost->exactInt32(), 7);
    value = platform::Value();  // frees the whole tree here
    EXPECT_TRUE(value.isNull());
  }
}
