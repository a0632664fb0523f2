#include "platform/foundation/net_service.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using platform::TXTRecord;

std::vector<std::uint8_t> bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

TEST(TXTRecordCodec, EncodesLengthPrefixedEntriesAndDecodesThemBack) {
  TXTRecord record{{"--type", bytes("displays")}, {"ndisplays", bytes("1")}, {"flag", {}}};
  auto data = platform::dataFromTXTRecord(record);
  ASSERT_TRUE(data);
  // Keys in ascending order, each entry "key=value" after its length byte.
  const std::string expected =
      std::string("\x0f--type=displays") + "\x05" + "flag=" + "\x0b" + "ndisplays=1";
  EXPECT_EQ(*data, bytes(expected));
  auto decoded = platform::txtRecordFromData(*data);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, record);
  EXPECT_EQ(platform::dataFromTXTRecord({}), std::vector<std::uint8_t>{});
}

TEST(TXTRecordCodec, RefusesEntriesItCannotEncode) {
  // key + '=' + value may take 255 bytes, not 256.
  EXPECT_TRUE(platform::dataFromTXTRecord({{"k", std::vector<std::uint8_t>(253, 'v')}}));
  EXPECT_FALSE(platform::dataFromTXTRecord({{"k", std::vector<std::uint8_t>(254, 'v')}}));
  EXPECT_FALSE(platform::dataFromTXTRecord({{"", bytes("value")}}));
  EXPECT_FALSE(platform::dataFromTXTRecord({{"a=b", bytes("value")}}));
}

TEST(TXTRecordCodec, DecodesLikeDnsServiceDiscovery) {
  const std::string data = std::string("\x04") + "bare" +  // no '=': an empty value
                           "\x00" +                        // an empty entry is skipped
                           "\x06" + "=empty" +             // an empty key is ignored
                           "\x07" + "Key=one" +            //
                           "\x07" + "KEY=two" +            // repeated key (any case): ignored
                           "\x07" + "eq=a=b=";             // only the first '=' splits
  auto decoded = platform::txtRecordFromData(bytes(data));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, (TXTRecord{{"bare", {}}, {"Key", bytes("one")}, {"eq", bytes("a=b=")}}));
}

TEST(TXTRecordCodec, RejectsAnEntryRunningPastTheEnd) {
  EXPECT_FALSE(platform::txtRecordFromData(bytes(std::string("\x09") + "short=1")));
  EXPECT_EQ(platform::txtRecordFromData({}), TXTRecord{});
}

TEST(NetService, KeepsTXTDataOnlyWhenARecordCanHoldIt) {
  platform::NetService service("local.", "_test._tcp.", "host");
  EXPECT_TRUE(
      service.setTXTRecordData(bytes("\x03"
                                     "a=b")));
  EXPECT_FALSE(service.setTXTRecordData(std::vector<std::uint8_t>(65536, 1)));
  EXPECT_EQ(service.txtRecordData(), bytes("\x03"
                                           "a=b"));
  EXPECT_TRUE(service.setTXTRecordData(std::nullopt));
  EXPECT_FALSE(service.txtRecordData());
}

}  // namespace
