#include <gtest/gtest.h>

#include <string>

#include "app/shell/window_geometry.h"
#include "app/style/color.h"
#include "app/style/view_helpers.h"

namespace app {
namespace {

Color rgba255(double r, double g, double b, double a) {
  return Color{r / 255.0, g / 255.0, b / 255.0, a / 255.0};
}

}  // namespace

TEST(ColorFromHex, SixDigits) {
  EXPECT_EQ(Color::fromHex("#5B68DF"), rgba255(91, 104, 223, 255));
  EXPECT_EQ(Color::fromHex("#C1C1C1"), rgba255(193, 193, 193, 255));
  EXPECT_EQ(Color::fromHex("5b68df"), rgba255(91, 104, 223, 255));
  EXPECT_EQ(accentColor(), Color::fromHex("#5B68DF"));
  EXPECT_EQ(secondaryTextColor(), Color::fromHex("#C1C1C1"));
}

TEST(ColorFromHex, ThreeAndEightDigits) {
  EXPECT_EQ(Color::fromHex("F80"), rgba255(255, 136, 0, 255));
  EXPECT_EQ(Color::fromHex("#80FF0000"), rgba255(255, 0, 0, 128));
}

TEST(ColorFromHex, OtherLengthsGiveTheAlmostInvisibleColour) {
  for (const char* text : {"12345", "#1", "1234567", "123456789", "", "#"}) {
    EXPECT_EQ(Color::fromHex(text), rgba255(1, 1, 0, 1)) << text;
  }
}

TEST(ColorFromHex, ReadsOnlyTheLeadingHexDigits) {
  EXPECT_EQ(Color::fromHex("#GGGGGG"), rgba255(0, 0, 0, 255));
  // "12GGGG": 0x12 is read, so blue holds it.
  EXPECT_EQ(Color::fromHex("12GGGG"), rgba255(0, 0, 0x12, 255));
  // Only the ends are trimmed: "#5B 68DF" has eight characters.
  EXPECT_EQ(Color::fromHex("  #5B68DF;  "), rgba255(91, 104, 223, 255));
}

// Every character that is no letter, mark or digit is trimmed from the ends, white space of
// any script included; letters of any script stay and count as characters.
TEST(ColorFromHex, TrimsUnicodeWhiteSpaceAndSymbols) {
  struct Row {
    const char* name;
    const char* text;
    Color expected;
  };
  const Row rows[] = {
      {"noBreakSpaceAfter", "#5B68DF\u00A0", rgba255(91, 104, 223, 255)},
      {"noBreakSpaceBefore", "\u00A0#5B68DF", rgba255(91, 104, 223, 255)},
      {"ideographicSpace", "\u3000#5B68DF\u3000", rgba255(91, 104, 223, 255)},
      {"lineSeparatorAndTab", "\t#5B68DF\u2028", rgba255(91, 104, 223, 255)},
      {"narrowNoBreakSpace", "#F80\u202F", rgba255(255, 136, 0, 255)},
      {"emDash", "\u2014#5B68DF\u2014", rgba255(91, 104, 223, 255)},
      // A letter of another script is content: seven characters.
      {"greekLetterStays", "#5B68DF\u03B1", rgba255(1, 1, 0, 1)},
      {"spaceInsideStays", "#5B\u00A068DF", rgba255(1, 1, 0, 1)},
      {"onlySpace", "\u00A0\u00A0", rgba255(1, 1, 0, 1)},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Color::fromHex(row.text), row.expected) << row.name;
  }
}

TEST(ApplyIf, PicksTheBranchByTheCondition) {
  auto plain = applyIf(std::string("view"), false, [](std::string v) { return v.size(); });
  ASSERT_EQ(plain.index(), 0u);
  EXPECT_EQ(std::get<0>(plain), "view");
  auto transformed = applyIf(std::string("view"), true, [](std::string v) { return v.size(); });
  ASSERT_EQ(transformed.index(), 1u);
  EXPECT_EQ(std::get<1>(transformed), 4u);
}

TEST(WindowGeometry, FollowsTheMainScreen) {
  EXPECT_EQ(windowSize(1920, 1080), (WindowSize{1280, 900}));
  const auto none = windowSize(std::nullopt, std::nullopt);
  EXPECT_NEAR(none.width, 666.667, 0.001);
  EXPECT_NEAR(none.height, 833.333, 0.001);
  EXPECT_EQ(windowSize(1500, std::nullopt), (WindowSize{1000, 1000 / 1.2}));
  EXPECT_EQ(progressBarWidth(1920), 960);
  EXPECT_EQ(progressBarWidth(std::nullopt), 500);
}

}  // namespace app
