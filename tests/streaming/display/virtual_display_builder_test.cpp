#include "streaming/virtual_display_builder.h"

#include <gtest/gtest.h>

#include "platform/display/display_environment.h"
#include "streaming/display_name.h"

namespace {

TEST(VirtualDisplayBuilder, DescribesTheDeviceScreen) {
  auto descriptor = streaming::virtualDisplayDescriptor(1024, 768, 132, "Tovarine iPad");
  EXPECT_EQ(descriptor.name(), "Tovarine iPad");
  EXPECT_EQ(descriptor.maxPixelsWide(), 1024u);
  EXPECT_EQ(descriptor.maxPixelsHigh(), 768u);
  EXPECT_NEAR(descriptor.sizeInMillimeters().width, 197.04, 0.005);
  EXPECT_NEAR(descriptor.sizeInMillimeters().height, 147.78, 0.005);
  EXPECT_EQ(descriptor.whitePoint(), (platform::DisplayPoint{0.3125, 0.3291}));
  EXPECT_EQ(descriptor.bluePrimary(), (platform::DisplayPoint{0.1494, 0.0557}));
  EXPECT_EQ(descriptor.greenPrimary(), (platform::DisplayPoint{0.2559, 0.6983}));
  EXPECT_EQ(descriptor.redPrimary(), (platform::DisplayPoint{0.6797, 0.3203}));
  EXPECT_EQ(descriptor.serialNum(), 1u);
  EXPECT_EQ(descriptor.productID(), 1u);
  EXPECT_EQ(descriptor.vendorID(), 1u);
  EXPECT_EQ(descriptor.queue(), platform::DispatchQueue::global(platform::QoS::userInteractive));
}

TEST(VirtualDisplayBuilder, LeavesThePhysicalSizeUnknownWithoutAPixelDensity) {
  for (std::int32_t ppi : {0, -132}) {
    auto descriptor = streaming::virtualDisplayDescriptor(1024, 768, ppi, "Tovarine iPad");
    EXPECT_EQ(descriptor.sizeInMillimeters(), platform::DisplaySize{}) << ppi;
    EXPECT_EQ(descriptor.maxPixelsWide(), 1024u);
  }
}

TEST(VirtualDisplayBuilder, MakesOneSixtyHertzModeHalvedForHiDPI) {
  struct Case {
    std::int32_t width, height;
    bool hiDPI;
    std::uint32_t modeWidth, modeHeight;
  };
  for (const Case& c : {Case{1024, 768, false, 1024, 768}, Case{1024, 768, true, 512, 384},
                        Case{1125, 2436, true, 562, 1218}}) {
    auto settings = streaming::virtualDisplaySettings(c.width, c.height, c.hiDPI);
    EXPECT_EQ(settings.hiDPI(), c.hiDPI);
    ASSERT_EQ(settings.modes().size(), 1u);
    EXPECT_EQ(settings.modes()[0].width(), c.modeWidth) << c.width;
    EXPECT_EQ(settings.modes()[0].height(), c.modeHeight) << c.height;
    EXPECT_EQ(settings.modes()[0].refreshRate(), 60.0);
  }
}

TEST(VirtualDisplayBuilder, GivesNothingWhenThePlatformRefuses) {
  platform::setDisplayEnvironment(platform::DisplayEnvironment{
      "", platform::VirtualDisplayBackendKind::xvfbPerDisplay, "/nonexistent/Xvfb"});
  struct Case {
    std::int32_t width;
    bool platformAsked;  // a size that is not positive never reaches the platform
  };
  for (const Case& c : {Case{1024, true}, Case{0, false}, Case{-1024, false}}) {
    auto made = streaming::makeVirtualDisplay(c.width, 768, 132, false, "Tovarine iPad");
    ASSERT_FALSE(made) << c.width;
    EXPECT_FALSE(made.error().localizedDescription().empty()) << c.width;
    EXPECT_EQ(made.error().localizedDescription() == "The size is not positive", !c.platformAsked)
        << c.width;
  }
  platform::setDisplayEnvironment(std::nullopt);
}

TEST(DisplayName, DropsControlCharactersAndKeepsToSixtyFourCharacters) {
  EXPECT_EQ(streaming::displayNameForDevice("iPad"), "Tovarine iPad");
  EXPECT_EQ(streaming::displayNameForDevice(std::string("i\nP\ta\x7f"
                                                        "d\xc2\x85\0",
                                                        10)),
            "Tovarine iPad");
  EXPECT_EQ(streaming::displayNameForDevice(std::string(100, 'x')),
            "Tovarine " + std::string(55, 'x'));
  // Characters, not bytes: a name of two-byte letters is cut at a character boundary.
  std::string accents;
  for (int i = 0; i < 100; ++i)
    accents += "\xc3\xa9";
  std::string expected = "Tovarine ";
  for (int i = 0; i < 55; ++i)
    expected += "\xc3\xa9";
  EXPECT_EQ(streaming::displayNameForDevice(accents), expected);
  // Bytes that are not UTF-8 become the replacement character.
  EXPECT_EQ(streaming::displayNameForDevice("Pad\xff"), "Tovarine Pad\xef\xbf\xbd");
  EXPECT_EQ(streaming::displayNameForDevice(""), "Tovarine ");
}

}  // namespace
