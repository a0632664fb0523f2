#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "platform/coding/support/plist_fixtures.h"
#include "platform/coding/value.h"
#include "platform/coding/value_plist_scan.h"

namespace platform {
namespace {

using testing::Bytes;
using testing::bytesOf;
using testing::PlistPtr;

// A tree that uses every kind of node libplist can write.
PlistPtr everyKind() {
  PlistPtr root(plist_new_dict());
  plist_t r = root.get();
  plist_dict_set_item(r, "name", plist_new_string("Tablet \xC3\xA9\xE2\x82\xAC"));
  plist_dict_set_item(r, "yes", plist_new_bool(1));
  plist_dict_set_item(r, "no", plist_new_bool(0));
  plist_dict_set_item(r, "small", plist_new_uint(7));
  plist_dict_set_item(r, "big", plist_new_uint(4000000000ULL));
  plist_dict_set_item(r, "negative", plist_new_uint(static_cast<std::uint64_t>(-42)));
  plist_dict_set_item(r, "min", plist_new_uint(static_cast<std::uint64_t>(INT64_MIN)));
  plist_dict_set_item(r, "real", plist_new_real(-1.25));
  plist_dict_set_item(r, "data", plist_new_data("\x00\x01\xFF", 3));
  plist_dict_set_item(r, "date", plist_new_date(10, 500000));
  plist_t nested = plist_new_dict();
  plist_t sizes = plist_new_array();
  plist_array_append_item(sizes, plist_new_uint(1024));
  plist_array_append_item(sizes, plist_new_string(""));
  plist_array_append_item(sizes, plist_new_array());
  plist_dict_set_item(nested, "list", sizes);
  plist_dict_set_item(nested, "empty", plist_new_dict());
  plist_dict_set_item(r, "nested", nested);
  return root;
}

Value everyKindExpected() {
  return Value(Value::Dictionary{
      {"name", Value("Tablet \xC3\xA9\xE2\x82\xAC")},
      {"yes", Value(true)},
      {"no", Value(false)},
      {"small", Value(7)},
      {"big", Value(std::int64_t{4000000000LL})},
      {"negative", Value(-42)},
      {"min", Value(std::int64_t{INT64_MIN})},
      {"real", Value(-1.25)},
      {"data", Value(Value::Bytes{0x00, 0x01, 0xFF})},
      {"date", Value(10.5)},
      {"nested", Value(Value::Dictionary{
                     {"list", Value(Value::Array{Value(1024), Value(""), Value(Value::Array{})})},
                     {"empty", Value(Value::Dictionary{})}})},
  });
}

TEST(PropertyList, BinaryRoundTripKeepsEveryKind) {
  PlistPtr root = everyKind();
  auto decoded = decodePropertyList(testing::toBinary(root.get()));
  ASSERT_TRUE(decoded) << decoded.error().message;
  EXPECT_EQ(*decoded, everyKindExpected());
}

TEST(PropertyList, XmlRoundTripKeepsEveryKind) {
  PlistPtr root = everyKind();
  auto decoded = decodePropertyList(testing::toXml(root.get()));
  ASSERT_TRUE(decoded) << decoded.error().message;
  // XML dates carry whole seconds only.
  auto expected = everyKindExpected();
  auto storage = std::move(expected).take();
  std::get<Value::Dictionary>(storage)["date"] = Value(10.0);
  EXPECT_EQ(*decoded, Value(std::get<Value::Dictionary>(std::move(storage))));
}

TEST(PropertyList, IntegersKeepTheirSignAtTheEdgesOf64Bits) {
  const std::string xml =
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><array>"
      "<integer>-1</integer>"
      "<integer>-9223372036854775808</integer>"
      "<integer>9223372036854775807</integer>"
      "<integer>9223372036854775808</integer>"
      "<integer>18446744073709551615</integer>"
      "</array></plist>";
  auto fromXml = decodePropertyList(bytesOf(xml));
  ASSERT_TRUE(fromXml) << fromXml.error().message;
  const Value expected(Value::Array{
      Value(-1),
      Value(std::int64_t{INT64_MIN}),
      Value(std::int64_t{INT64_MAX}),
      Value(std::uint64_t{9223372036854775808ULL}),
      Value(std::numeric_limits<std::uint64_t>::max()),
  });
  EXPECT_EQ(*fromXml, expected);

  // Through libplist's binary writer, which uses 16-byte integers above INT64_MAX.
  plist_t parsed = nullptr;
  plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &parsed);
  PlistPtr root(parsed);
  ASSERT_TRUE(root);
  auto fromBinary = decodePropertyList(testing::toBinary(root.get()));
  ASSERT_TRUE(fromBinary) << fromBinary.error().message;
  EXPECT_EQ(*fromBinary, expected);
}

TEST(PropertyList, WideBinaryIntegersMustFit64Bits) {
  auto small = decodePropertyList(testing::binaryWideInteger(0, 5));
  ASSERT_TRUE(small) << small.error().message;
  EXPECT_EQ(*small, Value(Value::Array{Value(5)}));

  auto top = decodePropertyList(testing::binaryWideInteger(0, UINT64_MAX));
  ASSERT_TRUE(top) << top.error().message;
  EXPECT_EQ(*top, Value(Value::Array{Value(std::numeric_limits<std::uint64_t>::max())}));

  // Would otherwise come back as its low 64 bits, 5.
  EXPECT_FALSE(decodePropertyList(testing::binaryWideInteger(1, 5)));
}

TEST(PropertyList, UidBecomesAnUnsignedNumber) {
  PlistPtr root(plist_new_dict());
  plist_dict_set_item(root.get(), "ref", plist_new_uid(3));
  auto decoded = decodePropertyList(testing::toBinary(root.get()));
  ASSERT_TRUE(decoded) << decoded.error().message;
  EXPECT_EQ(*decoded->find("ref"), Value(3));
}

TEST(PropertyList, TextMustBeUtf8) {
  auto good = decodePropertyList(testing::binaryDictionaryWithAsciiName("Pad"));
  ASSERT_TRUE(good) << good.error().message;
  EXPECT_EQ(*good->find("name"), Value("Pad"));

  EXPECT_FALSE(
      decodePropertyList(testing::binaryDictionaryWithAsciiName("P\xFF"
                                                                "d")));
  EXPECT_FALSE(decodePropertyList(
      bytesOf("<?xml version=\"1.0\"?><plist version=\"1.0\"><string>\xC0\xAF</string></plist>")));
  EXPECT_FALSE(decodePropertyList(
      bytesOf("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>\xED\xA0\x80</key>"
              "<true/></dict></plist>")));
}

TEST(PropertyList, NestingUpToTheLimitIsAcceptedAndOneMoreIsNot) {
  DecodeLimits limits;
  limits.maxDepth = 16;
  EXPECT_TRUE(decodePropertyList(bytesOf(testing::xmlNestedArrays(16)), limits));
  EXPECT_FALSE(decodePropertyList(bytesOf(testing::xmlNestedArrays(17)), limits));
  EXPECT_TRUE(decodePropertyList(testing::binaryChain(17, 1), limits));  // 16 arrays + true
  EXPECT_FALSE(decodePropertyList(testing::binaryChain(18, 1), limits));

  // The default limit.
  EXPECT_TRUE(decodePropertyList(bytesOf(testing::xmlNestedArrays(64))));
  EXPECT_FALSE(decodePropertyList(bytesOf(testing::xmlNestedArrays(65))));
}

TEST(PropertyList, HostileShapesAreRefusedBeforeTheyExhaustStackOrMemory) {
  // Each of these crashes or exhausts memory inside libplist when handed to it directly.
  auto deepBinary = decodePropertyList(testing::binaryChain(200000, 1));
  ASSERT_FALSE(deepBinary);
  EXPECT_NE(deepBinary.error().message.find("nesting"), std::string::npos);

  EXPECT_FALSE(decodePropertyList(bytesOf(testing::xmlNestedArrays(1000000))));

  // 40 objects that expand to 2^40 values.
  auto laughs = decodePropertyList(testing::binaryChain(40, 2));
  ASSERT_FALSE(laughs);
  EXPECT_NE(laughs.error().message.find("elements"), std::string::npos);

  auto cycle = decodePropertyList(testing::binarySelfReference());
  ASSERT_FALSE(cycle);
}

TEST(PropertyList, SharedObjectsCountOncePerUse) {
  // 2^10 leaves plus 2^10 - 1 arrays: fine by default, too many under a tight budget.
  EXPECT_TRUE(decodePropertyList(testing::binaryChain(11, 2)));
  DecodeLimits limits;
  limits.maxElements = 2000;
  EXPECT_FALSE(decodePropertyList(testing::binaryChain(11, 2), limits));
  limits.maxElements = 2047;
  EXPECT_TRUE(decodePropertyList(testing::binaryChain(11, 2), limits));
}

TEST(PropertyList, SizeLimitIsCheckedFirst) {
  PlistPtr root = everyKind();
  Bytes binary = testing::toBinary(root.get());
  DecodeLimits limits;
  limits.maxBytes = binary.size() - 1;
  auto decoded = decodePropertyList(binary, limits);
  ASSERT_FALSE(decoded);
  EXPECT_NE(decoded.error().message.find("larger"), std::string::npos);
  limits.maxBytes = binary.size();
  EXPECT_TRUE(decodePropertyList(binary, limits));
}

TEST(PropertyList, BrokenStructureIsAnError) {
  PlistPtr root = everyKind();
  const Bytes binary = testing::toBinary(root.get());

  EXPECT_FALSE(decodePropertyList({}));
  EXPECT_FALSE(decodePropertyList(Bytes(binary.begin(), binary.begin() + binary.size() / 2)));

  Bytes badOffsetSize = binary;
  badOffsetSize[badOffsetSize.size() - 26] = 3;
  EXPECT_FALSE(decodePropertyList(badOffsetSize));

  Bytes badTop = binary;
  badTop[badTop.size() - 9] = 0xFF;
  EXPECT_FALSE(decodePropertyList(badTop));

  Bytes badTable = binary;
  badTable[badTable.size() - 1] = 0xFF;
  badTable[badTable.size() - 2] = 0xFF;
  EXPECT_FALSE(decodePropertyList(badTable));

  EXPECT_FALSE(decodePropertyList(bytesOf("<plist><array><true/></dict></plist>")));
  EXPECT_FALSE(decodePropertyList(bytesOf("<plist><array><!-- open")));
  EXPECT_FALSE(decodePropertyList(bytesOf("not a property list")));
}

TEST(PropertyList, MarkupThatHidesNestingIsStillCounted) {
  DecodeLimits limits;
  limits.maxDepth = 2;
  // A quoted "/>" must not make the scan think an element closed itself.
  const std::string quoted =
      "<plist version=\"1.0\"><array a=\"/>\"><array a='/>'><array><true/></array></array>"
      "</array></plist>";
  EXPECT_FALSE(decodePropertyList(bytesOf(quoted), limits));
  // Comments, declarations and CDATA are skipped, not counted.
  const std::string decorated =
      "<?xml version=\"1.0\"?><!DOCTYPE plist><!-- <array><array><array> -->"
      "<plist version=\"1.0\"><array><string><![CDATA[<array><array>]]></string></array>"
      "</plist>";
  auto decoded = decodePropertyList(bytesOf(decorated), limits);
  ASSERT_TRUE(decoded) << decoded.error().message;
  EXPECT_EQ(*decoded, Value(Value::Array{Value("<array><array>")}));
}

}  // namespace
}  // namespace platform

namespace platform {
namespace {

using testing::Bytes;
using testing::bytesOf;

// {key: "v"} with the key as the given encoded object.
Bytes dictionaryWithKey(Bytes key, Bytes value = testing::binaryAsciiObject("v")) {
  return testing::binaryFromObjects(
      {testing::binaryDictionaryObject({{1, 2}}), std::move(key), std::move(value)});
}

TEST(PropertyList, DictionaryKeysMustBeTextWithoutNul) {
  struct Case {
    const char* what;
    Bytes document;
    std::optional<Value::Dictionary> expected;  // nullopt: refused
  };
  const Case cases[] = {
      {"ASCII key", dictionaryWithKey(testing::binaryAsciiObject("name")),
       Value::Dictionary{{"name", Value("v")}}},
      {"UTF-16 key", dictionaryWithKey(testing::binaryUtf16Object({0xE9, 0xD83D, 0xDE00})),
       Value::Dictionary{{"\xC3\xA9\xF0\x9F\x98\x80", Value("v")}}},
      {"ASCII key with NUL", dictionaryWithKey(testing::binaryAsciiObject({"a\0b", 3})),
       std::nullopt},
      {"UTF-16 key with NUL", dictionaryWithKey(testing::binaryUtf16Object({'a', 0, 'b'})),
       std::nullopt},
      {"UTF-16 key that is only NUL", dictionaryWithKey(testing::binaryUtf16Object({0})),
       std::nullopt},
      {"lone surrogate key", dictionaryWithKey(testing::binaryUtf16Object({0xD800, 'a'})),
       std::nullopt},
      {"number key", dictionaryWithKey(Bytes{0x10, 0x07}), std::nullopt},
      {"truncated text key", dictionaryWithKey(Bytes{0x65, 0x00, 0x41}), std::nullopt},
      // A value may hold NUL: it is read with its length.
      {"UTF-16 value with NUL",
       dictionaryWithKey(testing::binaryAsciiObject("k"), testing::binaryUtf16Object({'a', 0})),
       Value::Dictionary{{"k", Value(std::string("a\0", 2))}}},
      {"null object", dictionaryWithKey(testing::binaryAsciiObject("k"), Bytes{0x00}),
       std::nullopt},
      {"UID of three bytes",
       dictionaryWithKey(testing::binaryAsciiObject("k"), Bytes{0x82, 1, 2, 3}), std::nullopt},
      {"unknown kind", dictionaryWithKey(testing::binaryAsciiObject("k"), Bytes{0x70}),
       std::nullopt},
  };
  for (const Case& c : cases) {
    auto decoded = dictionaryWithContentsOfData(c.document);
    if (c.expected) {
      ASSERT_TRUE(decoded) << c.what << ": " << decoded.error().message;
      EXPECT_EQ(*decoded, *c.expected) << c.what;
    } else {
      EXPECT_FALSE(decoded) << c.what;
    }
  }
}

std::string xmlArray(const std::string& items) {
  return "<?xml version=\"1.0\"?><plist version=\"1.0\"><array>" + items + "</array></plist>";
}

TEST(PropertyList, XmlNumbersAreReadWithoutLossOrKeptAsText) {
  struct Case {
    const char* element;
    Value expected;
  };
  const Case cases[] = {
      {"<integer>12</integer>", Value(12)},
      {"<integer>-42</integer>", Value(-42)},
      {"<integer>+7</integer>", Value(7)},
      {"<integer>0</integer>", Value(0)},
      {"<integer>18446744073709551615</integer>", Value(std::uint64_t{UINT64_MAX})},
      {"<integer>-9223372036854775808</integer>", Value(std::int64_t{INT64_MIN})},
      {"<integer>12abc</integer>", Value("12abc")},
      {"<integer>-99999999999999999999999999</integer>", Value("-99999999999999999999999999")},
      {"<integer>18446744073709551616</integer>", Value("18446744073709551616")},
      {"<integer>010</integer>", Value("010")},
      {"<integer>0x10</integer>", Value("0x10")},
      {"<integer> 5</integer>", Value(" 5")},
      {"<integer/>", Value("")},
      {"<real>1.5</real>", Value(1.5)},
      {"<real>-2e3</real>", Value(-2000.0)},
      {"<real>.5</real>", Value(0.5)},
      {"<real>2abc</real>", Value("2abc")},
      {"<real>1e</real>", Value("1e")},
  };
  for (const Case& c : cases) {
    auto decoded = decodePropertyList(bytesOf(xmlArray(c.element)));
    ASSERT_TRUE(decoded) << c.element << ": " << decoded.error().message;
    EXPECT_EQ(*decoded, Value(Value::Array{c.expected})) << c.element;
  }
  // Markup inside a number is no number at all.
  EXPECT_FALSE(decodePropertyList(bytesOf(xmlArray("<integer>1<!-- -->2</integer>"))));
}

TEST(PropertyList, XmlElementsCharactersAndSizeAreBoundedBeforeParsing) {
  DecodeLimits limits;
  limits.maxElements = 100;
  std::string many;
  for (int i = 0; i < 101; ++i)
    many += "<true/>";
  struct Case {
    const char* what;
    std::string document;
    bool accepted;
  };
  const Case cases[] = {
      {"elements up to the limit", xmlArray(many.substr(14)), true},
      {"one element more", xmlArray(many.substr(7)), false},
      {"keys do not count",
       "<plist><dict>" + std::string(50, ' ') +
           [] {
             std::string s;
             for (int i = 0; i < 99; ++i)
               s += "<key>k" + std::to_string(i) + "</key><true/>";
             return s;
           }() +
           "</dict></plist>",
       true},
      {"a NUL byte", xmlArray(std::string("<string>a\0b</string>", 20)), false},
      {"a reference to NUL", "<plist><dict><key>a&#0;b</key><true/></dict></plist>", false},
      {"a reference to ESC", xmlArray("<string>&#x1B;</string>"), false},
      {"a reference to a surrogate", xmlArray("<string>&#xD800;</string>"), false},
      {"a reference to e acute", xmlArray("<string>&#233;</string>"), true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(decodePropertyList(bytesOf(c.document), limits).has_value(), c.accepted) << c.what;
  }
}

TEST(PropertyList, TheXmlScanCountsElementsBeforeTheParserBuildsAny) {
  DecodeLimits limits;
  limits.maxElements = 100;
  struct Case {
    int elements;  // inside the array, which is one more
    bool refused;
  };
  for (const Case c : {Case{99, false}, Case{100, true}, Case{100000, true}}) {
    std::string items;
    for (int i = 0; i < c.elements; ++i)
      items += "<true/>";
    const auto error = checkXmlPropertyListShape(bytesOf(xmlArray(items)), limits);
    EXPECT_EQ(error.has_value(), c.refused) << c.elements;
  }
}

TEST(PropertyList, APeersDatesAreTextNotNumbers) {
  const Bytes binaryDate = dictionaryWithKey(testing::binaryAsciiObject("Width"),
                                             Bytes{0x33, 0x40, 0x24, 0, 0, 0, 0, 0, 0});
  const std::string xmlDate =
      "<plist><dict><key>Width</key><date>2001-01-01T00:17:04Z</date></dict></plist>";
  const std::pair<Bytes, std::string> cases[] = {
      {binaryDate, "2001-01-01T00:00:10Z"},
      {bytesOf(xmlDate), "2001-01-01T00:17:04Z"},
  };
  for (const auto& [document, expected] : cases) {
    auto decoded = dictionaryWithContentsOfData(document);
    ASSERT_TRUE(decoded) << decoded.error().message;
    EXPECT_EQ(decoded->at("Width"), Value(expected));
  }
  // The general decoder keeps dates as seconds since 2001.
  EXPECT_EQ(decodePropertyList(bytesOf(xmlDate))->asDictionary()->at("Width"), Value(1024.0));
}

}  // namespace
}  // namespace platform
