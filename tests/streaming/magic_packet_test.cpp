#include "streaming/magic_packet.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cmath>
#include <limits>
#include <random>

#include "platform/coding/value.h"

namespace streaming {
namespace {

using platform::Value;
using Dictionary = Value::Dictionary;

Dictionary description(Value name, Value screenSize, Value ppi) {
  return Dictionary{
      {"name", std::move(name)}, {"screenSize", std::move(screenSize)}, {"ppi", std::move(ppi)}};
}

Value size(Value width, Value height) {
  return Value(Dictionary{{"Width", std::move(width)}, {"Height", std::move(height)}});
}

TEST(MagicPacket, CompleteDescriptionFillsEveryField) {
  auto packet =
      MagicPacket::make(description(Value("Tablet"), size(Value(1024), Value(768)), Value(132)));
  EXPECT_EQ(packet->deviceName(), "Tablet");
  EXPECT_EQ(packet->width(), 1024);
  EXPECT_EQ(packet->height(), 768);
  EXPECT_EQ(packet->ppi(), 132);

  // Whole doubles are as good as integers.
  MagicPacket doubles(description(Value(""), size(Value(1024.0), Value(-768.0)), Value(264.0)));
  EXPECT_EQ(doubles.deviceName(), "");
  EXPECT_EQ(doubles.width(), 1024);
  EXPECT_EQ(doubles.height(), -768);
  EXPECT_EQ(doubles.ppi(), 264);
}

TEST(MagicPacket, OneUnreadableSizeEntryDiscardsTheWholeSize) {
  const Value bad[] = {Value(1024.5),
                       Value(std::int64_t{1} << 31),
                       Value(std::nan("")),
                       Value(std::numeric_limits<double>::infinity()),
                       Value(true),
                       Value("768"),
                       Value(),
                       Value(Dictionary{})};
  for (const auto& value : bad) {
    MagicPacket packet(description(Value("Pad"), size(Value(1024), value), Value(132)));
    EXPECT_EQ(packet.width(), std::nullopt);
    EXPECT_EQ(packet.height(), std::nullopt);
    EXPECT_EQ(packet.deviceName(), "Pad");
    EXPECT_EQ(packet.ppi(), 132);
  }
  // Even an entry the reader never looks at.
  Dictionary extra{{"Width", Value(1024)}, {"Height", Value(768)}, {"Scale", Value(2.5)}};
  MagicPacket packet(description(Value("Pad"), Value(extra), Value(132)));
  EXPECT_EQ(packet.width(), std::nullopt);
  EXPECT_EQ(packet.height(), std::nullopt);
}

TEST(MagicPacket, MissingOrMisshapenSizeLeavesDimensionsAbsent) {
  MagicPacket widthOnly(
      description(Value("Pad"), Value(Dictionary{{"Width", Value(1024)}}), Value(132)));
  EXPECT_EQ(widthOnly.width(), 1024);
  EXPECT_EQ(widthOnly.height(), std::nullopt);

  MagicPacket wrongCase(description(
      Value("Pad"), Value(Dictionary{{"width", Value(800)}, {"height", Value(600)}}), Value(1)));
  EXPECT_EQ(wrongCase.width(), std::nullopt);
  EXPECT_EQ(wrongCase.height(), std::nullopt);

  for (const auto& shape : {Value(Value::Array{Value(1024), Value(768)}), Value("1024x768"),
                            Value(1024), Value(Dictionary{})}) {
    MagicPacket packet(description(Value("Pad"), shape, Value(132)));
    EXPECT_EQ(packet.width(), std::nullopt);
    EXPECT_EQ(packet.height(), std::nullopt);
  }
  MagicPacket nothing(Dictionary{});
  EXPECT_EQ(nothing.deviceName(), std::nullopt);
  EXPECT_EQ(nothing.width(), std::nullopt);
  EXPECT_EQ(nothing.ppi(), std::nullopt);
}

TEST(MagicPacket, NameIsKeptOnlyAsText) {
  for (const auto& name : {Value(42), Value(true), Value(Value::Bytes{'P', 'a', 'd'}),
                           Value(Value::Array{Value("Pad")}), Value()}) {
    MagicPacket packet(description(name, size(Value(1024), Value(768)), Value(132)));
    EXPECT_EQ(packet.deviceName(), std::nullopt);
    EXPECT_EQ(packet.width(), 1024);
    EXPECT_EQ(packet.height(), 768);
  }
}

TEST(MagicPacket, PpiMustFitA32BitIntegerExactly) {
  auto ppiOf = [](Value ppi) {
    return MagicPacket(description(Value("Pad"), size(Value(1), Value(1)), std::move(ppi))).ppi();
  };
  EXPECT_EQ(ppiOf(Value(std::int64_t{1} << 32)), std::nullopt);
  EXPECT_EQ(ppiOf(Value(std::int64_t{2147483648LL})), std::nullopt);
  EXPECT_EQ(ppiOf(Value(std::int64_t{2147483647LL})), 2147483647);
  EXPECT_EQ(ppiOf(Value(132.5)), std::nullopt);
  EXPECT_EQ(ppiOf(Value("132")), std::nullopt);
  EXPECT_EQ(ppiOf(Value(false)), std::nullopt);
}

TEST(MagicPacket, BuiltFromDecodedFramePayloads) {
  plist_t root = plist_new_dict();
  plist_dict_set_item(root, "name", plist_new_string("Tab \xE2\x84\xA2"));
  plist_t screen = plist_new_dict();
  plist_dict_set_item(screen, "Width", plist_new_uint(2048));
  plist_dict_set_item(screen, "Height", plist_new_real(1536.0));
  plist_dict_set_item(root, "screenSize", screen);
  plist_dict_set_item(root, "ppi", plist_new_uint(264));
  char* raw = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(root, &raw, &length);
  const std::vector<std::uint8_t> binary(raw, raw + length);
  plist_to_bin_free(raw);
  plist_free(root);

  auto fromBinary = platform::dictionaryWithContentsOfData(binary);
  ASSERT_TRUE(fromBinary) << fromBinary.error().message;
  auto packet = MagicPacket::make(*fromBinary);
  EXPECT_EQ(packet->deviceName(), "Tab \xE2\x84\xA2");
  EXPECT_EQ(packet->width(), 2048);
  EXPECT_EQ(packet->height(), 1536);
  EXPECT_EQ(packet->ppi(), 264);

  const std::string json =
      R"({"name": 7, "screenSize": {"Width": 1024, "Height": -1}, "ppi": 4294967296})";
  auto fromJson =
      platform::dictionaryWithContentsOfData(std::vector<std::uint8_t>(json.begin(), json.end()));
  ASSERT_TRUE(fromJson) << fromJson.error().message;
  MagicPacket odd(*fromJson);
  EXPECT_EQ(odd.deviceName(), std::nullopt);
  EXPECT_EQ(odd.width(), 1024);
  EXPECT_EQ(odd.height(), -1);
  EXPECT_EQ(odd.ppi(), std::nullopt);
}

// Random descriptions: nothing may crash, and every field kept must be one the dictionary
// really holds, losslessly.
TEST(MagicPacket, RandomDescriptionsKeepOnlyWhatTheDictionaryHolds) {
  std::mt19937 rng(20240611u);
  auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
  auto scalar = [&]() -> Value {
    switch (pick(7)) {
      case 0:
        return Value(pick(2) == 0);
      case 1:
        return Value(static_cast<std::int64_t>(rng()) << pick(33));
      case 2:
        return Value(std::uint64_t{rng()} << pick(40));
      case 3:
        return Value(pick(4000) / 2.0);
      case 4:
        return Value(std::ldexp(1.0, pick(80)) * (pick(2) ? 1 : -1));
      case 5:
        return Value(std::string(static_cast<std::size_t>(pick(6)), 'x'));
      default:
        return Value();
    }
  };
  for (int i = 0; i < 5000; ++i) {
    Dictionary dictionary;
    if (pick(4)) dictionary["name"] = scalar();
    if (pick(4)) dictionary["ppi"] = scalar();
    if (pick(5) == 0) {
      dictionary["screenSize"] = scalar();
    } else if (pick(4)) {
      Dictionary screen;
      for (const char* key : {"Width", "Height", "Depth"}) {
        if (pick(3)) screen[key] = scalar();
      }
      dictionary["screenSize"] = Value(std::move(screen));
    }

    const MagicPacket packet(dictionary);
    const Value whole(dictionary);
    if (packet.deviceName()) {
      ASSERT_NE(whole.find("name")->asString(), nullptr);
      EXPECT_EQ(*whole.find("name")->asString(), *packet.deviceName());
    }
    if (packet.ppi()) {
      EXPECT_EQ(whole.find("ppi")->exactInt32(), packet.ppi());
    }
    if (packet.width() || packet.height()) {
      for (const auto& [key, entry] : *whole.find("screenSize")->asDictionary()) {
        EXPECT_TRUE(entry.exactInt32()) << "size kept although " << key << " is unreadable";
      }
    }
  }
}

}  // namespace
}  // namespace streaming
