#include "platform/coding/json_decoder.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using platform::Decoder;
using platform::DecodingError;
using platform::JSONDecoder;
using Kind = platform::DecodingError::Kind;

struct Release {
  std::string version;
  int build = 0;
  std::optional<std::string> notes;
  std::vector<double> sizes;
  bool mandatory = false;

  static Release decode(Decoder& decoder) {
    auto c = decoder.container();
    Release r;
    r.version = c->decode<std::string>("version");
    r.build = c->decode<int>("build");
    r.notes = c->decodeIfPresent<std::string>("notes");
    r.sizes = c->decode<std::vector<double>>("sizes");
    r.mandatory = c->decode<bool>("mandatory");
    return r;
  }
};

struct Catalog {
  std::string name;
  std::vector<Release> releases;
  std::map<std::string, Release> byChannel;
};

// A type decoded through the free-function form.
void decode(Decoder& decoder, Catalog& catalog) {
  auto c = decoder.container();
  catalog.name = c->decode<std::string>("name");
  catalog.releases = c->decode<std::vector<Release>>("releases");
  catalog.byChannel = c->decode<std::map<std::string, Release>>("byChannel");
}

// Expects decoding `json` as T to fail with `kind` at `path`.
template <class T>
void expectFailure(std::string_view json, Kind kind, std::string_view path,
                   JSONDecoder decoder = {}) {
  try {
    decoder.decode<T>(json);
    ADD_FAILURE() << "decoded " << json;
  } catch (const DecodingError& error) {
    EXPECT_EQ(error.kind(), kind) << error.debugDescription();
    EXPECT_EQ(platform::describeCodingPath(error.context().codingPath), path)
        << error.debugDescription();
  }
}

const char* kRelease =
    R"({"version":"2.1","build":40,"sizes":[1,2.5],"mandatory":true,"extra":"ignored"})";

TEST(JSONDecoderTest, DecodesNestedTypesThroughBothForms) {
  JSONDecoder decoder;
  auto release = decoder.decode<Release>(kRelease);
  EXPECT_EQ(release.version, "2.1");
  EXPECT_EQ(release.build, 40);
  EXPECT_EQ(release.notes, std::nullopt);
  EXPECT_EQ(release.sizes, (std::vector<double>{1.0, 2.5}));
  EXPECT_TRUE(release.mandatory);

  auto catalog =
      decoder.decode<Catalog>(std::string(R"({"name":"stable","releases":[)") + kRelease + "," +
                              kRelease + R"(],"byChannel":{"beta":)" + kRelease + "}}");
  EXPECT_EQ(catalog.name, "stable");
  EXPECT_EQ(catalog.releases.size(), 2u);
  EXPECT_EQ(catalog.byChannel.at("beta").build, 40);
}

TEST(JSONDecoderTest, DecodesTheBuiltInTypes) {
  JSONDecoder decoder;
  EXPECT_EQ(decoder.decode<int>("7"), 7);
  EXPECT_EQ(decoder.decode<std::string>(R"("a\u00e9\n")"), "a\xC3\xA9\n");
  EXPECT_EQ(decoder.decode<std::optional<int>>("null"), std::nullopt);
  EXPECT_EQ((decoder.decode<std::vector<std::optional<int>>>("[1,null,3]")),
            (std::vector<std::optional<int>>{1, std::nullopt, 3}));
  EXPECT_EQ(decoder.decode<std::uint64_t>("18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(decoder.decode<std::int64_t>("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(decoder.decode<double>("1e3"), 1000.0);
  EXPECT_EQ(decoder.decode<int>("3.0"), 3);  // an integral number written with a fraction
  auto value = decoder.decode<platform::Value>(R"({"a":[1,-2,2.5,"s",true,null]})");
  const auto& array = *value.find("a")->asArray();
  ASSERT_EQ(array.size(), 6u);
  EXPECT_EQ(array[0], platform::Value(std::int64_t{1}));
  EXPECT_EQ(array[2], platform::Value(2.5));
  EXPECT_TRUE(array[5].isNull());
}

TEST(JSONDecoderTest, TypesAreStrict) {
  expectFailure<Release>(R"({"version":"2","build":"40","sizes":[],"mandatory":true})",
                         Kind::typeMismatch, "build");
  expectFailure<Release>(R"({"version":"2","build":40,"sizes":["1"],"mandatory":true})",
                         Kind::typeMismatch, "sizes[0]");
  expectFailure<Release>(R"({"version":"2","build":40,"sizes":[],"mandatory":1})",
                         Kind::typeMismatch, "mandatory");
  expectFailure<Release>(R"({"version":2,"build":40,"sizes":[],"mandatory":true})",
                         Kind::typeMismatch, "version");
  expectFailure<Release>(R"([])", Kind::typeMismatch, "");
  expectFailure<std::vector<int>>(R"({"a":1})", Kind::typeMismatch, "");
  expectFailure<double>(R"("1.5")", Kind::typeMismatch, "");
}

TEST(JSONDecoderTest, MissingAndNullValuesAreReportedWithTheirPath) {
  expectFailure<Release>(R"({"version":"2","sizes":[],"mandatory":true})", Kind::keyNotFound, "");
  expectFailure<Release>(R"({"version":null,"build":1,"sizes":[],"mandatory":true})",
                         Kind::valueNotFound, "version");
  expectFailure<Catalog>(
      R"({"name":"n","releases":[{"version":"1","build":1,"sizes":[null],"mandatory":false}],"byChannel":{}})",
      Kind::valueNotFound, "releases[0].sizes[0]");
  expectFailure<std::vector<int>>("null", Kind::valueNotFound, "");
  try {
    JSONDecoder().decode<Release>(R"({"version":"2","sizes":[],"mandatory":true})");
  } catch (const DecodingError& error) {
    EXPECT_EQ(error.subject(), "build");
    EXPECT_EQ(error.localizedDescription(), "The data couldn't be read because it is missing.");
  }
  // decodeIfPresent takes a null as absent.
  auto release = JSONDecoder().decode<Release>(
      R"({"version":"2","build":1,"notes":null,"sizes":[],"mandatory":false})");
  EXPECT_EQ(release.notes, std::nullopt);
}

TEST(JSONDecoderTest, NumbersThatDoNotFitAreCorrupted) {
  expectFailure<std::int8_t>("128", Kind::dataCorrupted, "");
  expectFailure<std::uint32_t>("-1", Kind::dataCorrupted, "");
  expectFailure<int>("1.5", Kind::dataCorrupted, "");
  expectFailure<std::int64_t>("9223372036854775808", Kind::dataCorrupted, "");
  expectFailure<std::int64_t>("1e19", Kind::dataCorrupted, "");
  expectFailure<float>("1e300", Kind::dataCorrupted, "");
  EXPECT_EQ(JSONDecoder().decode<std::int8_t>("-128"), -128);
}

TEST(JSONDecoderTest, TextThatIsNotJSONIsCorruptedAtTheTop) {
  for (const char* text : {"", "{", "[1,]", "{'a':1}", "nul", "\"\xFF\"", "[1] [2]"}) {
    try {
      JSONDecoder().decode<platform::Value>(text);
      ADD_FAILURE() << "accepted " << text;
    } catch (const DecodingError& error) {
      EXPECT_EQ(error.kind(), Kind::dataCorrupted) << text;
      EXPECT_NE(error.context().underlyingError, nullptr);
    }
  }
}

TEST(JSONDecoderTest, DeepNestingIsRefusedRatherThanOverflowingTheStack) {
  std::string deep(100000, '[');
  deep += std::string(100000, ']');
  expectFailure<platform::Value>(deep, Kind::dataCorrupted, "");
  JSONDecoder shallow;
  shallow.maximumDepth = 3;
  expectFailure<platform::Value>("[[[[1]]]]", Kind::dataCorrupted, "", shallow);
  EXPECT_NO_THROW(shallow.decode<platform::Value>("[[[1]]]"));
}

TEST(JSONDecoderTest, SnakeCaseKeysCanBeReadAsCamelCase) {
  struct Keys {
    std::string userName;
    int id;
    static Keys decode(Decoder& decoder) {
      auto c = decoder.container();
      EXPECT_EQ(c->allKeys(), (std::vector<std::string>{"userName", "_private_", "id"}));
      return Keys{c->decode<std::string>("userName"), c->decode<int>("id")};
    }
  };
  JSONDecoder decoder;
  decoder.keyDecodingStrategy = JSONDecoder::KeyDecodingStrategy::convertFromSnakeCase;
  auto keys = decoder.decode<Keys>(R"({"user_NAME":"ann","_private_":1,"id":3})");
  EXPECT_EQ(keys.userName, "ann");
  EXPECT_EQ(keys.id, 3);
}

TEST(JSONDecoderTest, NonConformingFloatsOnlyWhenAsked) {
  expectFailure<double>(R"("NaN")", Kind::typeMismatch, "");
  JSONDecoder decoder;
  decoder.nonConformingFloatDecodingStrategy =
      JSONDecoder::NonConformingFloatDecodingStrategy::convertFromString;
  EXPECT_TRUE(std::isnan(decoder.decode<double>(R"("NaN")")));
  EXPECT_EQ(decoder.decode<double>(R"("-Infinity")"), -INFINITY);
}

TEST(JSONDecoderTest, UnkeyedContainersWalkTheirElements) {
  struct Pair {
    int a;
    std::string b;
    static Pair decode(Decoder& decoder) {
      auto c = decoder.unkeyedContainer();
      EXPECT_EQ(c->count(), 3);
      EXPECT_FALSE(c->decodeNil());
      int a = c->decode<int>();
      std::string b = c->decode<std::string>();
      EXPECT_TRUE(c->decodeNil());
      EXPECT_TRUE(c->isAtEnd());
      EXPECT_THROW(c->decode<int>(), DecodingError);
      return Pair{a, b};
    }
  };
  auto pair = JSONDecoder().decode<Pair>(R"([1,"x",null])");
  EXPECT_EQ(pair.a, 1);
  EXPECT_EQ(pair.b, "x");
}

}  // namespace
