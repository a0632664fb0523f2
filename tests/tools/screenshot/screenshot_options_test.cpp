#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "screenshot/screenshot_options.h"

namespace screenshot {
namespace {

std::expected<ParsedArguments, std::string> parse(std::vector<std::string> arguments,
                                                  const std::string& environmentDisplay = ":7") {
  return parseArguments(arguments, environmentDisplay);
}

TEST(ScreenshotOptions, TheDisplayComesFromTheEnvironmentUnlessNamed) {
  auto fromEnvironment = parse({"--out", "shot.png"});
  ASSERT_TRUE(fromEnvironment) << fromEnvironment.error();
  EXPECT_EQ(fromEnvironment->options.display, ":7");
  EXPECT_EQ(fromEnvironment->options.out, "shot.png");

  auto named = parse({"--display", ":42", "--out", "/tmp/a b.png"});
  ASSERT_TRUE(named) << named.error();
  EXPECT_EQ(named->options.display, ":42");
  EXPECT_EQ(named->options.out, "/tmp/a b.png");

  auto namedWithoutEnvironment = parse({"--out", "x.png", "--display", ":3"}, "");
  ASSERT_TRUE(namedWithoutEnvironment) << namedWithoutEnvironment.error();
  EXPECT_EQ(namedWithoutEnvironment->options.display, ":3");
}

TEST(ScreenshotOptions, HelpNeedsNothingElse) {
  auto parsed = parse({"--help"}, "");
  ASSERT_TRUE(parsed) << parsed.error();
  EXPECT_TRUE(parsed->helpRequested);
  EXPECT_NE(usageText().find("--out"), std::string::npos);
}

TEST(ScreenshotOptions, RefusesIncompleteOrUnknownArgumentsNamingThem) {
  struct Case {
    std::vector<std::string> arguments;
    std::string environment;
    std::string named;  // what the error must mention
  };
  const std::vector<Case> cases = {
      {{}, ":1", "--out"},
      {{"--display", ":1"}, ":1", "--out"},
      {{"--out"}, ":1", "--out"},
      {{"--out", ""}, ":1", "--out"},
      {{"--display"}, ":1", "--display"},
      {{"--display", "", "--out", "a.png"}, ":1", "--display"},
      {{"--out", "a.png", "--window", "x"}, ":1", "--window"},
      {{"--out", "a.png"}, "", "DISPLAY"},
  };
  for (const auto& c : cases) {
    auto parsed = parse(c.arguments, c.environment);
    ASSERT_FALSE(parsed) << c.named;
    EXPECT_NE(parsed.error().find(c.named), std::string::npos) << parsed.error();
  }
}

}  // namespace
}  // namespace screenshot
