#include "halyard/encoding/url_encoded_form_encoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "halyard/encoding/query_value_characters.h"
#include "platform/coding/date_coding.h"
#include "platform/time/time_zone.h"

namespace {

using halyard::URLEncodedFormEncoder;
using Encoder = URLEncodedFormEncoder;

// A value that writes whatever the row says.
struct Writes {
  std::function<void(platform::Encoder&)> write;
  void encode(platform::Encoder& encoder) const { write(encoder); }
};

// A keyed value whose fields each row fills in through one keyed container.
Writes fields(std::function<void(platform::KeyedEncodingContainer&)> write) {
  return {[write](platform::Encoder& encoder) { write(*encoder.container()); }};
}

std::shared_ptr<Encoder> defaults() {
  return std::make_shared<Encoder>();
}

struct Row {
  const char* name;
  std::shared_ptr<Encoder> encoder;
  Writes value;
  std::string expected;
};

class FormEncoderRows : public ::testing::TestWithParam<Row> {};

TEST_P(FormEncoderRows, WritesTheExpectedTextAndItsBytes) {
  const Row& row = GetParam();
  EXPECT_EQ(row.encoder->encodeToString(row.value), row.expected);
  const auto bytes = row.encoder->encodeToData(row.value);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), row.expected);
}

Writes boolAndList() {
  return fields([](auto& c) {
    c.encode(true, "b");
    c.encode(std::vector<int>{3, 1, 2}, "a");
  });
}

Writes oneKey(std::function<void(platform::KeyedEncodingContainer&)> write) {
  return fields(std::move(write));
}

Writes nilField() {
  return fields([](auto& c) { c.encodeNil("key"); });
}
Writes absentField() {
  return fields([](auto& c) { c.encodeIfPresent(std::optional<int>(), "key"); });
}

std::shared_ptr<Encoder> nils(Encoder::NilEncoding nil) {
  return std::make_shared<Encoder>(true, Encoder::ArrayEncoding::brackets(),
                                   Encoder::BoolEncoding::numeric, Encoder::DataEncoding::base64(),
                                   Encoder::DateEncoding::deferredToDate(),
                                   Encoder::KeyEncoding::useDefaultKeys(),
                                   Encoder::KeyPathEncoding::bracketed(), std::move(nil));
}
std::shared_ptr<Encoder> dates(Encoder::DateEncoding date) {
  return std::make_shared<Encoder>(true, Encoder::ArrayEncoding::brackets(),
                                   Encoder::BoolEncoding::numeric, Encoder::DataEncoding::base64(),
                                   std::move(date));
}
std::shared_ptr<Encoder> data(Encoder::DataEncoding encoding) {
  return std::make_shared<Encoder>(true, Encoder::ArrayEncoding::brackets(),
                                   Encoder::BoolEncoding::numeric, std::move(encoding));
}
std::shared_ptr<Encoder> keys(Encoder::KeyEncoding key) {
  return std::make_shared<Encoder>(true, Encoder::ArrayEncoding::brackets(),
                                   Encoder::BoolEncoding::numeric, Encoder::DataEncoding::base64(),
                                   Encoder::DateEncoding::deferredToDate(), std::move(key));
}
std::shared_ptr<Encoder> spaces(
    Encoder::SpaceEncoding space,
    Encoder::KeyPathEncoding path = Encoder::KeyPathEncoding::bracketed()) {
  return std::make_shared<Encoder>(true, Encoder::ArrayEncoding::brackets(),
                                   Encoder::BoolEncoding::numeric, Encoder::DataEncoding::base64(),
                                   Encoder::DateEncoding::deferredToDate(),
                                   Encoder::KeyEncoding::useDefaultKeys(), std::move(path),
                                   Encoder::NilEncoding::omitKey(), space);
}

std::shared_ptr<platform::DateFormatter> yearFormatter() {
  auto formatter = std::make_shared<platform::DateFormatter>();
  formatter->setLocale(platform::Locale("en_US_POSIX"));
  formatter->setTimeZone(platform::TimeZone::gmt());
  formatter->setDateFormat("yyyy");
  return formatter;
}

Writes keyed(std::string key) {
  return fields([key](auto& c) { c.encode(1, key); });
}
Writes userName() {
  return fields([](auto& c) {
    c.encode(std::map<std::string, std::string>{{"name", "x y"}}, "user");
  });
}
const std::vector<std::uint8_t> kBytes{0xFB, 0xFF};

INSTANTIATE_TEST_SUITE_P(
    Values, FormEncoderRows,
    ::testing::Values(
        Row{"SortedWithListInTextOrder", defaults(), boolAndList(),
            "a%5B%5D=1&a%5B%5D=2&a%5B%5D=3&b=1"},
        Row{"UnsortedKeepsWritingOrder", std::make_shared<Encoder>(false), boolAndList(),
            "b=1&a%5B%5D=3&a%5B%5D=1&a%5B%5D=2"},
        Row{"IndexTenSortsBeforeTwo",
            std::make_shared<Encoder>(true, Encoder::ArrayEncoding::indexInBrackets()),
            oneKey([](auto& c) {
              c.encode(std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, "a");
            }),
            "a%5B0%5D=0&a%5B1%5D=1&a%5B10%5D=10&a%5B2%5D=2&a%5B3%5D=3&a%5B4%5D=4&a%5B5%5D=5&"
            "a%5B6%5D=6&a%5B7%5D=7&a%5B8%5D=8&a%5B9%5D=9"},
        Row{"NoBracketsAndCustomArrays",
            std::make_shared<Encoder>(true, Encoder::ArrayEncoding::custom([](const std::string& k,
                                                                              int i) {
                                        return k + "-" + std::to_string(i);
                                      })),
            oneKey([](auto& c) {
              c.encode(std::vector<int>{1, 2}, "k");
            }),
            "k-0=1&k-1=2"},
        Row{"NestedObjectBracketed", defaults(), userName(), "user%5Bname%5D=x%20y"},
        Row{"NestedObjectDottedPlus",
            spaces(Encoder::SpaceEncoding::plusReplaced, Encoder::KeyPathEncoding::dotted()),
            userName(), "user.name=x+y"},
        Row{"NilOmitted", nils(Encoder::NilEncoding::omitKey()), nilField(), ""},
        Row{"NilEmpty", nils(Encoder::NilEncoding::emptyValue()), nilField(), "key="},
        Row{"NilLiteral", nils(Encoder::NilEncoding::nullLiteral()), nilField(), "key=null"},
        Row{"AbsentOmitted", nils(Encoder::NilEncoding::omitKey()), absentField(), ""},
        Row{"AbsentEmpty", nils(Encoder::NilEncoding::emptyValue()), absentField(), "key="},
        Row{"AbsentLiteral", nils(Encoder::NilEncoding::nullLiteral()), absentField(), "key=null"},
        Row{"NilInsideList", nils(Encoder::NilEncoding::nullLiteral()), oneKey([](auto& c) {
              c.encode(std::vector<std::optional<int>>{1, std::nullopt, 2}, "a");
            }),
            "a%5B%5D=1&a%5B%5D=2&a%5B%5D=null"},
        Row{"EmptyListLeavesNoTrace", defaults(), oneKey([](auto& c) {
              c.encode(std::vector<int>{}, "a");
              c.encode(1, "b");
            }),
            "b=1"},
        Row{"EmptyNestedValueLeavesNoTrace", defaults(), oneKey([](auto& c) {
              c.nestedContainer("n");
              c.encode(1, "b");
            }),
            "b=1"},
        Row{"ValueWithoutFields", defaults(), fields([](auto&) {}), ""},
        Row{"PlusEscaped", spaces(Encoder::SpaceEncoding::percentEscaped),
            oneKey([](auto& c) { c.encode(std::string("1+1"), "v"); }), "v=1%2B1"},
        Row{"PlusEscapedWithPlusSpaces", spaces(Encoder::SpaceEncoding::plusReplaced),
            oneKey([](auto& c) { c.encode(std::string("1+1"), "v"); }), "v=1%2B1"},
        Row{"BoolLiteral",
            std::make_shared<Encoder>(true, Encoder::ArrayEncoding::brackets(),
                                      Encoder::BoolEncoding::literal),
            oneKey([](auto& c) { c.encode(true, "b"); }), "b=true"},
        Row{"DoubleWhole", defaults(), oneKey([](auto& c) { c.encode(3.0, "d"); }), "d=3.0"},
        Row{"DoubleFraction", defaults(), oneKey([](auto& c) { c.encode(0.1, "d"); }), "d=0.1"},
        Row{"DoubleSmall", defaults(), oneKey([](auto& c) { c.encode(0.00001, "d"); }), "d=1e-05"},
        Row{"DoubleExponent", defaults(), oneKey([](auto& c) { c.encode(1e16, "d"); }),
            "d=1e%2B16"},
        // An 8-bit integer is a number, never a Boolean.
        Row{"SmallIntegersInDecimal", defaults(), oneKey([](auto& c) {
              c.encode(std::int8_t{5}, "i");
              c.encode(std::uint64_t{18446744073709551615u}, "u");
              c.encode(std::int64_t{-9}, "s");
            }),
            "i=5&s=-9&u=18446744073709551615"},
        Row{"DataBase64", data(Encoder::DataEncoding::base64()),
            oneKey([](auto& c) { c.encode(kBytes, "data"); }), "data=%2B/8%3D"},
        Row{"DataDeferred", data(Encoder::DataEncoding::deferredToData()),
            oneKey([](auto& c) { c.encode(kBytes, "data"); }), "data%5B%5D=251&data%5B%5D=255"},
        Row{"DataCustom", data(Encoder::DataEncoding::custom([](const auto& b) {
              return std::to_string(b.size()) + " bytes";
            })),
            oneKey([](auto& c) { c.encode(kBytes, "data"); }), "data=2%20bytes"},
        Row{"DateDeferred", dates(Encoder::DateEncoding::deferredToDate()),
            oneKey([](auto& c) { c.encode(platform::Date(), "date"); }), "date=0.0"},
        Row{"DateSeconds", dates(Encoder::DateEncoding::secondsSince1970()),
            oneKey([](auto& c) { c.encode(platform::Date(), "date"); }), "date=978307200.0"},
        Row{"DateMilliseconds", dates(Encoder::DateEncoding::millisecondsSince1970()),
            oneKey([](auto& c) { c.encode(platform::Date(), "date"); }), "date=978307200000.0"},
        Row{"DateISO8601", dates(Encoder::DateEncoding::iso8601()),
            oneKey([](auto& c) { c.encode(platform::Date(), "date"); }),
            "date=2001-01-01T00%3A00%3A00Z"},
        Row{"DateFormatted", dates(Encoder::DateEncoding::formatted(yearFormatter())),
            oneKey([](auto& c) { c.encode(platform::Date(), "date"); }), "date=2001"},
        Row{"LaterWriteOfAKeyWins", defaults(), oneKey([](auto& c) {
              c.encode(1, "a");
              c.encode(2, "a");
            }),
            "a=2"},
        // Nothing passes unescaped: delimiters, non-ASCII text and bytes that are not UTF-8.
        Row{"EveryOutsideByteEscaped", defaults(),
            oneKey([](auto& c) { c.encode(std::string("a&b=c#d\xFF é"), "v"); }),
            "v=a%26b%3Dc%23d%FF%20%C3%A9"},
        Row{"LooseValuesWriteTheirShape", defaults(), Writes{[](platform::Encoder& e) {
              platform::encodeValue(e, platform::Value(platform::Value::Dictionary{
                                           {"l", platform::Value::Array{1, true}},
                                           {"n", platform::Value()},
                                           {"o", platform::Value::Dictionary{{"x", "y"}}}}));
            }},
            "l%5B%5D=1&l%5B%5D=1&o%5Bx%5D=y"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Key encodings -------------------------------------------------------------------------

struct KeyRow {
  const char* name;
  Encoder::KeyEncoding encoding;
  Writes value;
  std::string expected;
};

class FormKeyRows : public ::testing::TestWithParam<KeyRow> {};

TEST_P(FormKeyRows, EncodesTheCompleteKeyBeforeEscaping) {
  const KeyRow& row = GetParam();
  EXPECT_EQ(keys(row.encoding)->encodeToString(row.value), row.expected);
}

Writes nestedKey(std::string outer, std::string inner) {
  return fields([outer, inner](auto& c) { c.nestedContainer(outer)->encode(1, inner); });
}

const auto snake = Encoder::KeyEncoding::convertToSnakeCase();

INSTANTIATE_TEST_SUITE_P(
    Keys, FormKeyRows,
    ::testing::Values(KeyRow{"SnakeAcronymInside", snake, keyed("myURLValue"), "my_url_value=1"},
                      KeyRow{"SnakeAcronymBeforeWord", snake, keyed("isHTMLPage"),
                             "is_html_page=1"},
                      KeyRow{"SnakeAllCapitals", snake, keyed("ABC"), "a_bc=1"},
                      KeyRow{"SnakeLeadingAcronym", snake, keyed("URLValue"), "u_rl_value=1"},
                      KeyRow{"SnakeSingleLetters", snake, keyed("aBc"), "a_bc=1"},
                      KeyRow{"SnakeEmpty", snake, keyed(""), "=1"},
                      KeyRow{"SnakeCompound", snake, nestedKey("userInfo", "firstName"),
                             "user_info%5Bfirst_name%5D=1"},
                      KeyRow{"SnakeNonASCIICapital", snake, keyed("größeÄnderung"),
                             "gr%C3%B6%C3%9Fe_%C3%A4nderung=1"},
                      KeyRow{"Kebab", Encoder::KeyEncoding::convertToKebabCase(),
                             keyed("myURLValue"), "my-url-value=1"},
                      KeyRow{"CapitalizedFirstOnly", Encoder::KeyEncoding::capitalized(),
                             nestedKey("user", "name"), "User%5Bname%5D=1"},
                      KeyRow{"Uppercased", Encoder::KeyEncoding::uppercased(),
                             nestedKey("user", "name"), "USER%5BNAME%5D=1"},
                      KeyRow{"Lowercased", Encoder::KeyEncoding::lowercased(),
                             nestedKey("User", "Name"), "user%5Bname%5D=1"},
                      KeyRow{"CustomEscaped", Encoder::KeyEncoding::custom([](const std::string&) {
                               return std::string("a&b");
                             }),
                             keyed("k"), "a%26b=1"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Failures ------------------------------------------------------------------------------

class Refusal : public platform::Error {
 public:
  explicit Refusal(int code) : code(code) {}
  std::string localizedDescription() const override { return "refused"; }
  int code;
};

struct FailureRow {
  const char* name;
  std::shared_ptr<Encoder> encoder;
  Writes value;
  std::function<void(const std::exception_ptr&)> check;
};

class FormFailureRows : public ::testing::TestWithParam<FailureRow> {};

TEST_P(FormFailureRows, FailsWithTheExpectedError) {
  const FailureRow& row = GetParam();
  std::exception_ptr thrown;
  try {
    row.encoder->encodeToString(row.value);
  } catch (...) {
    thrown = std::current_exception();
  }
  ASSERT_TRUE(thrown) << "no error";
  row.check(thrown);
}

std::function<void(const std::exception_ptr&)> refusal(int code) {
  return [code](const std::exception_ptr& e) {
    try {
      std::rethrow_exception(e);
    } catch (const Refusal& refusal) {
      EXPECT_EQ(refusal.code, code);
    } catch (...) {
      ADD_FAILURE() << "another error";
    }
  };
}

std::function<void(const std::exception_ptr&)> invalidRoot(std::string description) {
  return [description](const std::exception_ptr& e) {
    try {
      std::rethrow_exception(e);
    } catch (const Encoder::Error& error) {
      EXPECT_EQ(error.kind(), Encoder::Error::Kind::invalidRootObject);
      EXPECT_EQ(error.description(), description);
    } catch (...) {
      ADD_FAILURE() << "another error";
    }
  };
}

INSTANTIATE_TEST_SUITE_P(
    Failures, FormFailureRows,
    ::testing::Values(
        FailureRow{"CustomDateThrows",
                   dates(Encoder::DateEncoding::custom([](platform::Date) -> std::string {
                     throw Refusal(7);
                   })),
                   oneKey([](auto& c) { c.encode(platform::Date(), "d"); }), refusal(7)},
        FailureRow{"CustomDataThrows",
                   data(Encoder::DataEncoding::custom([](const auto&) -> std::string {
                     throw Refusal(8);
                   })),
                   oneKey([](auto& c) { c.encode(kBytes, "d"); }), refusal(8)},
        FailureRow{"TopLevelText", defaults(),
                   Writes{[](auto& e) { e.singleValueContainer()->encodeString("x"); }},
                   invalidRoot("string(\"x\")")},
        FailureRow{"TopLevelNumber", defaults(),
                   Writes{[](auto& e) { e.singleValueContainer()->encodeSigned(3); }},
                   invalidRoot("string(\"3\")")},
        FailureRow{"TopLevelList", defaults(), Writes{[](auto& e) {
                     platform::encodeValue(e, std::vector<int>{1, 2});
                   }},
                   invalidRoot("array([string(\"1\"), string(\"2\")])")}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FormEncoder, ASecondValueThroughOneContainerFailsAndStoresNothing) {
  std::string message;
  const Writes twice{[&](platform::Encoder& e) {
    auto keyed = e.container();
    auto single = keyed->encoderForKey("a")->singleValueContainer();
    single->encodeString("1");
    try {
      single->encodeString("2");
    } catch (const platform::EncodingError& error) {
      message = error.context().debugDescription;
      EXPECT_EQ(error.context().codingPath, platform::CodingPath{platform::CodingKey::key("a")});
    }
  }};
  EXPECT_EQ(Encoder().encodeToString(twice), "a=1");
  EXPECT_EQ(message,
            "Attempt to encode value through single value container when previously value "
            "already encoded.");
}

// One encoder serving several threads while another replaces its allowed set: every result is
// one of the two complete answers, and the shared date formatters are never used at once.
TEST(FormEncoder, OneEncoderServesManyThreadsWhileItsSetIsReplaced) {
  auto iso = dates(Encoder::DateEncoding::iso8601());
  auto formatted = dates(Encoder::DateEncoding::formatted([] {
    auto formatter = yearFormatter();
    formatter->setDateFormat("yyyy-HH:mm");
    return formatter;
  }()));
  const auto value = oneKey([](auto& c) { c.encode(platform::Date(), "date"); });
  const auto plain = halyard::queryValueAllowedCharacters();
  const auto withColon = plain.adding(":");
  std::atomic<bool> stop = false;
  std::atomic<int> wrong = 0;
  std::thread replacer([&] {
    for (int i = 0; !stop; ++i) {
      iso->setAllowedCharacters(i % 2 ? withColon : plain);
      formatted->setAllowedCharacters(i % 2 ? withColon : plain);
    }
  });
  std::vector<std::thread> workers;
  for (int t = 0; t < 8; ++t) {
    workers.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        const auto a = iso->encodeToString(value);
        const auto b = formatted->encodeToString(value);
        if (a != "date=2001-01-01T00%3A00%3A00Z" && a != "date=2001-01-01T00:00:00Z") ++wrong;
        if (b != "date=2001-00%3A00" && b != "date=2001-00:00") ++wrong;
      }
    });
  }
  for (auto& worker : workers)
    worker.join();
  stop = true;
  replacer.join();
  EXPECT_EQ(wrong, 0);
}

}  // namespace

namespace {

// A value nested `depth` levels: {"k": {"k": … "leaf" …}}.
platform::Value nestedValue(int depth) {
  platform::Value value("leaf");
  for (int i = 0; i < depth; ++i) {
    platform::Value::Dictionary wrapper;  // emplaced: a braced list would copy the whole tree
    wrapper.emplace("k", std::move(value));
    value = platform::Value(std::move(wrapper));
  }
  return value;
}

TEST(FormEncoderLimits, RefusesValuesNestedPastTheBoundWithAnEncodingError) {
  struct DepthRow {
    int depth;
    bool encodes;
  };
  for (DepthRow row : {DepthRow{256, true}, DepthRow{257, false}, DepthRow{2'000, false},
                       DepthRow{100'000, false}}) {
    auto value = nestedValue(row.depth);
    Writes write{[&value](platform::Encoder& e) { platform::encodeValue(e, value); }};
    if (row.encodes) {
      auto text = defaults()->encodeToString(write);
      EXPECT_TRUE(text.ends_with("=leaf")) << row.depth;
    } else {
      try {
        defaults()->encodeToString(write);
        ADD_FAILURE() << row.depth << " levels encoded";
      } catch (const platform::EncodingError& error) {
        EXPECT_NE(error.debugDescription().find("deeper than 256 levels"), std::string::npos)
            << error.debugDescription();
        EXPECT_EQ(error.context().codingPath.size(), 256u) << row.depth;
      }
    }
  }
}

// Each key is found through an index: 300,000 keys take about a second here, where a search per
// key took the better part of an hour.
TEST(FormEncoderLimits, WritesManyKeysInTheirOrder) {
  constexpr int kKeys = 300'000;
  Writes many = fields([](platform::KeyedEncodingContainer& c) {
    for (int i = kKeys - 1; i >= 0; --i)
      c.encode(i, "k" + std::to_string(i));
    c.encode(-1, "k0");  // writing a key again replaces its value in its first place
  });
  auto text = defaults()->encodeToString(many);  // sorted by the default encoder
  EXPECT_TRUE(text.starts_with("k0=-1&k100000=100000&")) << text.substr(0, 40);
  EXPECT_TRUE(text.ends_with("&k9=9"));
  EXPECT_EQ(std::count(text.begin(), text.end(), '&'), kKeys - 1);
}

}  // namespace
