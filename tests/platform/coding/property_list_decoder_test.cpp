#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/coding/date_coding.h"
#include "platform/coding/property_list_decoder.h"
#include "platform/coding/support/plist_fixtures.h"
#include "platform/coding/value.h"

namespace platform {
namespace {

using testing::Bytes;
using testing::bytesOf;
using testing::PlistPtr;

struct Screen {
  std::int32_t width = 0;
  std::int32_t height = 0;
  static Screen decode(Decoder& decoder) {
    auto c = decoder.container();
    return {c->decode<std::int32_t>("width"), c->decode<std::int32_t>("height")};
  }
  bool operator==(const Screen&) const = default;
};

struct Device {
  std::string name;
  double ppi = 0;
  bool touch = false;
  std::vector<std::uint8_t> token;
  Date made;
  std::vector<Screen> screens;
  std::optional<std::string> note;
  static Device decode(Decoder& decoder) {
    auto c = decoder.container();
    Device d;
    d.name = c->decode<std::string>("name");
    d.ppi = c->decode<double>("ppi");
    d.touch = c->decode<bool>("touch");
    d.token = c->decode<std::vector<std::uint8_t>>("token");
    d.made = c->decode<Date>("made");
    d.screens = c->decode<std::vector<Screen>>("screens");
    d.note = c->decodeIfPresent<std::string>("note");
    return d;
  }
  bool operator==(const Device&) const = default;
};

plist_t screenNode(std::uint64_t width, plist_t height) {
  plist_t screen = plist_new_dict();
  plist_dict_set_item(screen, "width", plist_new_uint(width));
  plist_dict_set_item(screen, "height", height);
  return screen;
}

// {"name", "ppi", "touch", "token", "made", "screens": [{width, height} × 2]}; `change` may
// replace any entry to make the document wrong.
PlistPtr deviceTree(void (*change)(plist_t) = nullptr) {
  PlistPtr root(plist_new_dict());
  plist_t r = root.get();
  plist_dict_set_item(r, "name", plist_new_string("Pad \xC3\xA9"));
  plist_dict_set_item(r, "ppi", plist_new_real(264.5));
  plist_dict_set_item(r, "touch", plist_new_bool(1));
  plist_dict_set_item(r, "token", plist_new_data("\x00\x01\xFF", 3));
  plist_dict_set_item(r, "made", plist_new_date(600000000, 0));
  plist_t screens = plist_new_array();
  plist_array_append_item(screens, screenNode(2048, plist_new_uint(1536)));
  plist_array_append_item(screens, screenNode(1024, plist_new_uint(768)));
  plist_dict_set_item(r, "screens", screens);
  if (change) change(r);
  return root;
}

const Device kDevice{
    "Pad \xC3\xA9", 264.5, true, {0x00, 0x01, 0xFF}, Date(600000000.0), {{2048, 1536}, {1024, 768}},
    std::nullopt};

struct Format {
  const char* name;
  Bytes (*write)(plist_t);
};
const Format kFormats[] = {{"binary", testing::toBinary}, {"XML", testing::toXml}};

TEST(PropertyListDecoder, DecodesANestedRecordFromEitherForm) {
  for (const Format& format : kFormats) {
    SCOPED_TRACE(format.name);
    const Bytes bytes = format.write(deviceTree().get());
    EXPECT_EQ(PropertyListDecoder().decode<Device>(bytes), kDevice);
    // The loosely typed form of the same document.
    const Value value = PropertyListDecoder().decode<Value>(bytes);
    ASSERT_NE(value.find("screens"), nullptr);
    EXPECT_EQ(*value.find("made"), Value(600000000.0));
  }
}

TEST(PropertyListDecoder, RefusesAWrongValueNamingItsPath) {
  using Kind = DecodingError::Kind;
  struct Row {
    const char* name;
    void (*change)(plist_t);
    Kind kind;
    const char* path;
  };
  const Row rows[] = {
      {"text for an integer",
       [](plist_t r) {
         plist_array_set_item(plist_dict_get_item(r, "screens"),
                              screenNode(1, plist_new_string("768")), 1);
       },
       Kind::typeMismatch, "screens[1].height"},
      {"integer past Int32",
       [](plist_t r) {
         plist_array_set_item(plist_dict_get_item(r, "screens"),
                              screenNode(1ULL << 31, plist_new_uint(1)), 0);
       },
       Kind::dataCorrupted, "screens[0].width"},
      {"real with a fraction for an integer",
       [](plist_t r) {
         plist_array_set_item(plist_dict_get_item(r, "screens"), screenNode(1, plist_new_real(1.5)),
                              0);
       },
       Kind::dataCorrupted, "screens[0].height"},
      {"number for a date", [](plist_t r) { plist_dict_set_item(r, "made", plist_new_real(1.0)); },
       Kind::typeMismatch, "made"},
      {"text for data",
       [](plist_t r) { plist_dict_set_item(r, "token", plist_new_string("AAE=")); },
       Kind::typeMismatch, "token"},
      {"date for a text", [](plist_t r) { plist_dict_set_item(r, "name", plist_new_date(0, 0)); },
       Kind::typeMismatch, "name"},
      {"integer for a Boolean",
       [](plist_t r) { plist_dict_set_item(r, "touch", plist_new_uint(1)); }, Kind::typeMismatch,
       "touch"},
      {"dictionary for an array",
       [](plist_t r) { plist_dict_set_item(r, "screens", plist_new_dict()); }, Kind::typeMismatch,
       "screens"},
      {"missing key", [](plist_t r) { plist_dict_remove_item(r, "ppi"); }, Kind::keyNotFound, ""},
  };
  for (const Format& format : kFormats) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(format.name) + ": " + row.name);
      const Bytes bytes = format.write(deviceTree(row.change).get());
      try {
        PropertyListDecoder().decode<Device>(bytes);
        ADD_FAILURE() << "decoded";
      } catch (const DecodingError& e) {
        EXPECT_EQ(e.kind(), row.kind) << e.debugDescription();
        EXPECT_EQ(describeCodingPath(e.context().codingPath), row.path);
      }
    }
  }
}

Bytes bigEndianDouble(double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  Bytes out;
  for (int shift = 56; shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(bits >> shift));
  return out;
}

// [date] as a binary property list, written by hand: libplist's writer takes 32-bit seconds.
Bytes binaryDate(double seconds) {
  Bytes date{0x33};
  const Bytes body = bigEndianDouble(seconds);
  date.insert(date.end(), body.begin(), body.end());
  return testing::binaryFromObjects({Bytes{0xA1, 0x00, 0x01}, date});
}

Bytes xmlDate(std::string_view text) {
  return bytesOf("<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><array><date>" +
                 std::string(text) + "</date></array></plist>");
}

TEST(PropertyListDecoder, ReadsDatesOfEveryYearAndRefusesNonFiniteOnes) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  struct Row {
    const char* name;
    Bytes bytes;
    std::optional<double> seconds;  // none: refused
  };
  const Row rows[] = {
      {"binary 1800", binaryDate(-6342969600.0), -6342969600.0},
      {"binary 1901", binaryDate(-3125790849.0), -3125790849.0},
      {"binary 2100", binaryDate(3124137600.0), 3124137600.0},
      {"binary 9999", binaryDate(252423993599.0), 252423993599.0},
      {"binary fraction", binaryDate(-0.25), -0.25},
      {"binary NaN", binaryDate(kNaN), std::nullopt},
      {"binary +inf", binaryDate(kInf), std::nullopt},
      {"binary -inf", binaryDate(-kInf), std::nullopt},
      {"XML 1800", xmlDate("1800-01-01T00:00:00Z"), -6342969600.0},
      {"XML 1901", xmlDate("1901-12-13T20:45:51Z"), -3125790849.0},
      {"XML 2100", xmlDate("2100-01-01T00:00:00Z"), 3124137600.0},
      {"XML 9999", xmlDate("9999-12-31T23:59:59Z"), 252423993599.0},
      {"XML NaN", xmlDate("nan"), std::nullopt},
      {"XML +inf", xmlDate("inf"), std::nullopt},
      {"XML -inf", xmlDate("-inf"), std::nullopt},
      {"XML without zone", xmlDate("2020-01-01T00:00:00"), std::nullopt},
      {"XML empty", bytesOf("<plist version=\"1.0\"><array><date/></array></plist>"), std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto generic = decodePropertyList(row.bytes);
    std::optional<std::vector<Date>> typed;
    try {
      typed = PropertyListDecoder().decode<std::vector<Date>>(row.bytes);
    } catch (const DecodingError& e) {
      EXPECT_EQ(e.kind(), DecodingError::Kind::dataCorrupted);
    }
    if (!row.seconds) {
      EXPECT_FALSE(generic) << "generic reader took it";
      EXPECT_FALSE(typed) << "decoder took it";
      continue;
    }
    ASSERT_TRUE(generic) << generic.error().message;
    EXPECT_EQ(*generic, Value(Value::Array{Value(*row.seconds)}));
    ASSERT_TRUE(typed);
    EXPECT_EQ(*typed, std::vector<Date>{Date(*row.seconds)});
  }
}

// An array of `count` references to one `true`: each use counts as an element.
Bytes binaryWideArray(std::uint32_t count) {
  Bytes array{0xAF, 0x12};
  for (int shift = 24; shift >= 0; shift -= 8)
    array.push_back(static_cast<std::uint8_t>(count >> shift));
  for (std::uint32_t i = 0; i < count; ++i) {
    array.push_back(0x00);
    array.push_back(0x01);
  }
  return testing::binaryFromObjects({array, Bytes{0x09}});
}

// One object whose marker declares `length` bytes (data) or entries (array) it does not hold.
Bytes binaryDeclaring(std::uint8_t kind, std::uint64_t length) {
  Bytes object{static_cast<std::uint8_t>((kind << 4) | 0x0F), 0x13};
  for (int shift = 56; shift >= 0; shift -= 8)
    object.push_back(static_cast<std::uint8_t>(length >> shift));
  object.insert(object.end(), {0x00, 0x00});
  return testing::binaryFromObjects({object});
}

std::string xmlTextWithReferences(int count) {
  std::string text;
  for (int i = 0; i < count; ++i)
    text += "a&amp;";
  return "<plist version=\"1.0\"><string>" + text + "</string></plist>";
}

TEST(PropertyListDecoder, RefusesDocumentsPastItsBoundsBeforeBuildingThem) {
  struct Row {
    const char* name;
    Bytes bytes;
    const char* error;   // nullptr: decodes
    bool roomy = false;  // room for more than 8 MiB, so another bound is the one to meet
  };
  const Row rows[] = {
      {"10^6 nested arrays, binary", testing::binaryChain(1'000'000, 1), "nesting deeper", true},
      {"10^6 nested arrays, XML", bytesOf(testing::xmlNestedArrays(1'000'000)), "nesting deeper",
       true},
      {"1 GiB of data declared", binaryDeclaring(0x4, 1ULL << 30), "runs past its end"},
      {"2^30 array entries declared", binaryDeclaring(0xA, 1ULL << 30), "runs past its data"},
      {"100,000 elements", binaryWideArray(99'999), nullptr},
      {"100,001 elements", binaryWideArray(100'000), "more than 100000 elements"},
      {"more than 8 MiB", bytesOf(std::string((8u << 20) + 1, ' ')), "larger than"},
      {"4,096 character references", bytesOf(xmlTextWithReferences(4096)), nullptr},
      {"4,097 character references", bytesOf(xmlTextWithReferences(4097)), "character references"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    PropertyListDecoder decoder;
    if (row.roomy) decoder.limits.maxBytes = 64u << 20;
    auto generic = decodePropertyList(row.bytes, decoder.limits);
    std::string typedError;
    try {
      decoder.decode<Value>(row.bytes);
    } catch (const DecodingError& e) {
      EXPECT_EQ(e.kind(), DecodingError::Kind::dataCorrupted);
      ASSERT_NE(e.context().underlyingError, nullptr);
      typedError = e.context().underlyingError->debugDescription();
    }
    if (!row.error) {
      EXPECT_TRUE(generic) << generic.error().message;
      EXPECT_EQ(typedError, "");
      continue;
    }
    ASSERT_FALSE(generic);
    EXPECT_NE(generic.error().message.find(row.error), std::string::npos)
        << generic.error().message;
    EXPECT_NE(typedError.find(row.error), std::string::npos) << typedError;
  }
}

// Inputs that once decoded to a wrong answer reported as success, or could not be refused in
// time, with what they decode to now.
TEST(PropertyListDecoderFuzz, RegressionInputsGiveTheirAnswers) {
  struct Row {
    const char* name;
    Bytes bytes;
    std::optional<Value> value;  // none: refused
  };
  const Row rows[] = {
      {"1800 as binary", binaryDate(-6342969600.0), Value(Value::Array{Value(-6342969600.0)})},
      {"garbage date text", xmlDate("garbage"), std::nullopt},
      {"date with markup", xmlDate("2001-01-01T00:00:00Z<string/>"), std::nullopt},
      {"NaN date", binaryDate(std::numeric_limits<double>::quiet_NaN()), std::nullopt},
      {"quadratic references", bytesOf(xmlTextWithReferences(100'000)), std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto decoded = decodePropertyList(row.bytes);
    if (row.value) {
      ASSERT_TRUE(decoded) << decoded.error().message;
      EXPECT_EQ(*decoded, *row.value);
    } else {
      EXPECT_FALSE(decoded);
    }
  }
}

// Mutated and random documents through the typed decoder: every input is decoded or refused
// with a DecodingError, never anything else.
TEST(PropertyListDecoderFuzz, MutatedDocumentsDecodeOrFailCleanly) {
  const std::vector<Bytes> corpus = {testing::toBinary(deviceTree().get()),
                                     testing::toXml(deviceTree().get()), binaryDate(-6342969600.0),
                                     xmlDate("9999-12-31T23:59:59Z")};
  std::mt19937_64 rng(0x9A1157ULL);
  PropertyListDecoder decoder;
  decoder.limits.maxDepth = 8;
  decoder.limits.maxElements = 500;
  decoder.limits.maxBytes = 4096;
  int decoded = 0;
  constexpr int kInputs = 20000;
  for (int i = 0; i < kInputs; ++i) {
    Bytes input = corpus[rng() % corpus.size()];
    if (i % 7 == 0) input.resize(rng() % 64);
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits && !input.empty(); ++e) {
      const std::size_t at = rng() % input.size();
      switch (rng() % 3) {
        case 0:
          input[at] = static_cast<std::uint8_t>(rng());
          break;
        case 1:
          input.erase(input.begin() + static_cast<std::ptrdiff_t>(at));
          break;
        default:
          input.insert(input.begin() + static_cast<std::ptrdiff_t>(at),
                       static_cast<std::uint8_t>(rng()));
      }
    }
    try {
      decoder.decode<Value>(input);
      decoder.decode<Device>(input);
      ++decoded;
    } catch (const DecodingError&) {
    } catch (...) {
      ADD_FAILURE() << "input #" << i << " threw something other than a DecodingError";
      break;
    }
  }
  EXPECT_GT(decoded, 50);
}

}  // namespace
}  // namespace platform
