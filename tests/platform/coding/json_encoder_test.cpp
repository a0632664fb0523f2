#include "platform/coding/json_encoder.h"

#include <gtest/gtest.h>

#include <cmath>

#include "platform/coding/date_coding.h"
#include "platform/coding/json_decoder.h"

namespace {

using platform::Decoder;
using platform::Encoder;
using platform::EncodingError;
using platform::JSONDecoder;
using platform::JSONEncoder;

struct Item {
  std::string name;
  double price = 0;
  std::optional<std::string> note;
  std::vector<int> tags;

  void encode(Encoder& encoder) const {
    auto c = encoder.container();
    c->encode(name, "name");
    c->encode(price, "price");
    c->encodeIfPresent(note, "note");
    c->encode(tags, "tags");
  }
  static Item decode(Decoder& decoder) {
    auto c = decoder.container();
    return Item{c->decode<std::string>("name"), c->decode<double>("price"),
                c->decodeIfPresent<std::string>("note"), c->decode<std::vector<int>>("tags")};
  }
  bool operator==(const Item&) const = default;
};

struct Order {
  int id = 0;
  std::vector<Item> items;
};

void encode(Encoder& encoder, const Order& order) {
  auto c = encoder.container();
  c->encode(order.id, "id");
  c->encode(order.items, "items");
}

TEST(JSONEncoderTest, WritesMembersInTheOrderEncoded) {
  JSONEncoder encoder;
  Item item{"tea", 2.5, std::nullopt, {1, 2}};
  EXPECT_EQ(encoder.encodeToString(item), R"({"name":"tea","price":2.5,"tags":[1,2]})");
  Order order{7, {item, Item{"cup", 3, "blue", {}}}};
  EXPECT_EQ(encoder.encodeToString(order),
            R"({"id":7,"items":[{"name":"tea","price":2.5,"tags":[1,2]},)"
            R"({"name":"cup","price":3,"note":"blue","tags":[]}]})");
}

// Dates and byte buffers reach the format as themselves; JSON writes their plain forms.
TEST(JSONEncoderTest, WritesDatesAsReferenceSecondsAndBytesAsNumbers) {
  struct Stamped {
    void encode(Encoder& encoder) const {
      auto c = encoder.container();
      c->encode(platform::Date(1.5), "at");
      c->encode(std::vector<std::uint8_t>{0, 255}, "raw");
      c->encodeIfPresent(std::optional<platform::Date>(), "none");
      auto list = c->nestedUnkeyedContainer("list");
      list->encode(platform::Date(-2));
      list->encode(std::vector<std::uint8_t>{7});
    }
  };
  EXPECT_EQ(JSONEncoder().encodeToString(Stamped{}), R"({"at":1.5,"raw":[0,255],"list":[-2,[7]]})");
}

TEST(JSONEncoderTest, RoundTripsThroughTheDecoder) {
  Item item{"a \"quoted\" / slashed\n\xC3\xA9 name", -0.1, "n", {-1, 0, 1}};
  auto bytes = JSONEncoder().encode(item);
  EXPECT_EQ(JSONDecoder().decode<Item>(bytes), item);
}

TEST(JSONEncoderTest, EncodesBuiltInsAndTopLevelFragments) {
  JSONEncoder encoder;
  EXPECT_EQ(encoder.encodeToString(42), "42");
  EXPECT_EQ(encoder.encodeToString(std::string("s")), R"("s")");
  EXPECT_EQ(encoder.encodeToString(true), "true");
  EXPECT_EQ(encoder.encodeToString(std::optional<int>()), "null");
  EXPECT_EQ(encoder.encodeToString(std::uint64_t{UINT64_MAX}), "18446744073709551615");
  EXPECT_EQ(encoder.encodeToString(std::vector<bool>{true, false}), "[true,false]");
  EXPECT_EQ(encoder.encodeToString(std::map<std::string, int>{{"b", 2}, {"a", 1}}),
            R"({"a":1,"b":2})");
  EXPECT_EQ(encoder.encodeToString(1.0), "1");
  EXPECT_EQ(encoder.encodeToString(0.1), "0.1");
  platform::Value value(platform::Value::Dictionary{
      {"list", platform::Value(platform::Value::Array{platform::Value(1), platform::Value()})}});
  EXPECT_EQ(encoder.encodeToString(value), R"({"list":[1,null]})");
}

TEST(JSONEncoderTest, RefusesWhatJSONCannotHold) {
  JSONEncoder encoder;
  EXPECT_THROW(encoder.encode(NAN), EncodingError);
  EXPECT_THROW(encoder.encode(INFINITY), EncodingError);
  EXPECT_THROW(encoder.encode(Item{"x", -INFINITY, {}, {}}), EncodingError);
  EXPECT_THROW(encoder.encode(std::string("\xFF\xFE")), EncodingError);
  EXPECT_THROW(encoder.encode(platform::Value(platform::Value::Bytes{1, 2})), EncodingError);
  try {
    encoder.encode(Order{1, {Item{"ok", 1, {}, {}}, Item{"bad", NAN, {}, {}}}});
    ADD_FAILURE();
  } catch (const EncodingError& error) {
    EXPECT_EQ(platform::describeCodingPath(error.context().codingPath), "items[1].price");
  }

  JSONEncoder lenient;
  lenient.nonConformingFloatEncodingStrategy =
      JSONEncoder::NonConformingFloatEncodingStrategy::convertToString;
  EXPECT_EQ(lenient.encodeToString(std::vector<double>{NAN, INFINITY, -INFINITY}),
            R"(["NaN","Infinity","-Infinity"])");
}

TEST(JSONEncoderTest, FormattingOptions) {
  std::map<std::string, std::string> map{{"url", "http://h/p"}};
  JSONEncoder encoder;
  EXPECT_EQ(encoder.encodeToString(map), R"({"url":"http:\/\/h\/p"})");
  encoder.outputFormatting = JSONEncoder::withoutEscapingSlashes;
  EXPECT_EQ(encoder.encodeToString(map), R"({"url":"http://h/p"})");

  struct Unsorted {
    void encode(Encoder& e) const {
      auto c = e.container();
      c->encode(1, "b");
      c->encode(2, "a");
      auto nested = c->nestedUnkeyedContainer("list");
      nested->encode(3);
    }
  };
  encoder.outputFormatting = JSONEncoder::sortedKeys | JSONEncoder::prettyPrinted;
  EXPECT_EQ(encoder.encodeToString(Unsorted{}),
            "{\n  \"a\" : 2,\n  \"b\" : 1,\n  \"list\" : [\n    3\n  ]\n}");
}

TEST(JSONEncoderTest, SnakeCaseKeys) {
  struct Keys {
    void encode(Encoder& e) const {
      auto c = e.container();
      c->encode(1, "userName");
      c->encode(2, "myURLString");
      c->encode(3, "_private");
    }
  };
  JSONEncoder encoder;
  encoder.keyEncodingStrategy = JSONEncoder::KeyEncodingStrategy::convertToSnakeCase;
  EXPECT_EQ(encoder.encodeToString(Keys{}), R"({"user_name":1,"my_url_string":2,"_private":3})");
}

TEST(JSONEncoderTest, ContainerMisuseIsAnErrorNotACrash) {
  struct NothingEncoded {
    void encode(Encoder&) const {}
  };
  EXPECT_THROW(JSONEncoder().encode(NothingEncoded{}), EncodingError);

  struct TwoValues {
    void encode(Encoder& e) const {
      e.singleValueContainer()->encode(1);
      e.singleValueContainer()->encode(2);
    }
  };
  EXPECT_THROW(JSONEncoder().encode(TwoValues{}), EncodingError);

  struct ValueThenKeyed {
    void encode(Encoder& e) const {
      e.singleValueContainer()->encode(1);
      e.container()->encode(2, "a");
    }
  };
  EXPECT_THROW(JSONEncoder().encode(ValueThenKeyed{}), EncodingError);

  // A key written twice keeps its place and the later value.
  struct Twice {
    void encode(Encoder& e) const {
      auto c = e.container();
      c->encode(1, "a");
      c->encode(2, "b");
      c->encode(3, "a");
    }
  };
  EXPECT_EQ(JSONEncoder().encodeToString(Twice{}), R"({"a":3,"b":2})");
}

}  // namespace
