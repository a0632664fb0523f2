#include <gtest/gtest.h>

#include "companion/companion_options.h"
#include "companion/companion_server.h"
#include "companion/device_description.h"
#include "platform/coding/value.h"
#include "streaming/magic_packet.h"
#include "tools/companion/support/jpeg_maker.h"

namespace streaming::companion {
namespace {

std::expected<ParsedArguments, std::string> parse(std::vector<std::string> arguments) {
  return parseArguments(arguments);
}

TEST(CompanionOptions, DefaultsDescribeA1024By768ScreenOnPort2345) {
  auto parsed = parse({});
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->options.port, 2345);
  EXPECT_EQ(parsed->options.width, 1024);
  EXPECT_EQ(parsed->options.height, 768);
  EXPECT_EQ(parsed->options.ppi, 132);
  EXPECT_FALSE(parsed->options.saveDirectory);
  EXPECT_TRUE(parsed->options.script.empty());
  EXPECT_FALSE(parsed->helpRequested);
}

TEST(CompanionOptions, ReadsEveryOptionAndScriptActionsInOrder) {
  auto parsed = parse({"--port", "0", "--name", "My Tablet", "--width", "750", "--height", "1334",
                       "--ppi", "326", "--save", "/tmp/frames", "--script", "garbage", "--script",
                       "close", "--quiet"});
  ASSERT_TRUE(parsed) << parsed.error();
  const auto& options = parsed->options;
  EXPECT_EQ(options.port, 0);
  EXPECT_EQ(options.name, "My Tablet");
  EXPECT_EQ(options.width, 750);
  EXPECT_EQ(options.height, 1334);
  EXPECT_EQ(options.ppi, 326);
  EXPECT_EQ(options.saveDirectory, std::filesystem::path("/tmp/frames"));
  EXPECT_EQ(options.script, (std::vector{ScriptAction::garbage, ScriptAction::close}));
  EXPECT_TRUE(options.quiet);
  EXPECT_TRUE(parse({"--help"})->helpRequested);
}

TEST(CompanionOptions, RejectsBadValuesNamingTheArgument) {
  const std::vector<std::vector<std::string>> bad = {
      {"--port", "65536"},   {"--port", "-1"}, {"--port", "12ab"}, {"--width", "0"},
      {"--height", "20"},    {"--ppi", "1e3"}, {"--width"},        {"--script", "explode"},
      {"--frobnicate", "1"}, {"--save", ""},
  };
  for (const auto& arguments : bad) {
    auto parsed = parse(arguments);
    ASSERT_FALSE(parsed) << arguments[0];
    EXPECT_NE(parsed.error().find(
                  arguments.size() > 1 && arguments[0] == "--script" ? arguments[1] : arguments[0]),
              std::string::npos)
        << parsed.error();
  }
}

TEST(CompanionDescription, ScreenDescriptionIsABinaryPropertyListTheApplicationReads) {
  const auto bytes = encodeScreenDescription("Tablet \"α\"", 2732, 2048, 264);
  ASSERT_GE(bytes.size(), 8u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 6), "bplist");
  auto dictionary = platform::dictionaryWithContentsOfData(bytes);
  ASSERT_TRUE(dictionary) << dictionary.error().message;
  const MagicPacket packet(*dictionary);
  EXPECT_EQ(packet.deviceName(), "Tablet \"α\"");
  EXPECT_EQ(packet.width(), 2732);
  EXPECT_EQ(packet.height(), 2048);
  EXPECT_EQ(packet.ppi(), 264);

  auto info = platform::decodeJSON(encodeDeviceInfo("Tablet", 1, 2, 3));
  ASSERT_TRUE(info);
  ASSERT_TRUE(info->asDictionary());
  EXPECT_EQ(*info->find("name"), platform::Value("Tablet"));
}

TEST(CompanionDescription, ExpectedImageSizeFollowsTheLetterboxRule) {
  EXPECT_EQ(expectedImageSize(1024, 768), (ImageSize{1024, 768}));
  EXPECT_EQ(expectedImageSize(800, 620), (ImageSize{800, 620}));    // exactly 800 by 600
  EXPECT_EQ(expectedImageSize(799, 1020), (ImageSize{799, 1000}));  // too narrow
  EXPECT_EQ(expectedImageSize(1024, 619), (ImageSize{1024, 599}));  // too short
  EXPECT_EQ(expectedImageSize(750, 1334), (ImageSize{750, 1314}));
}

TEST(CompanionDescription, JpegHeadersAreReadAndAnythingElseIsRefused) {
  const auto jpeg = fakes::makeJpeg(320, 460);
  EXPECT_EQ(jpegImageSize(jpeg), (ImageSize{320, 460}));
  EXPECT_FALSE(jpegImageSize({}));
  const std::vector<std::uint8_t> junk(100, 0xff);
  EXPECT_FALSE(jpegImageSize(junk));
  EXPECT_FALSE(jpegImageSize(std::span(jpeg).first(4)));
}

TEST(CompanionStatistics, LineGivesFramesPerSecondKilobytesPerFrameAndMegabytesPerSecond) {
  EXPECT_EQ(CompanionServer::statisticsLine(30, 3'000'000, 1.0),
            "30 frames/s, 100.0 KB/frame, 3.00 MB/s");
  EXPECT_EQ(CompanionServer::statisticsLine(0, 0, 1.0), "0 frames/s, 0.0 KB/frame, 0.00 MB/s");
  EXPECT_EQ(CompanionServer::statisticsLine(10, 500'000, 2.0),
            "5 frames/s, 50.0 KB/frame, 0.25 MB/s");
}

}  // namespace
}  // namespace streaming::companion
