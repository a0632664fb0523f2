#include "platform/display/virtual_display.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/display/display_environment.h"
#include "platform/display/display_queries.h"
#include "platform/display/screen_capture_access.h"

namespace {

using platform::VirtualDisplayBackendKind;

// Points the layer at an environment for one test.
class EnvironmentScope {
 public:
  explicit EnvironmentScope(platform::DisplayEnvironment environment) {
    platform::setDisplayEnvironment(std::move(environment));
  }
  ~EnvironmentScope() { platform::setDisplayEnvironment(std::nullopt); }
};

platform::VirtualDisplaySettings settings(std::uint32_t width, std::uint32_t height,
                                          bool hiDPI = false, double refresh = 60) {
  platform::VirtualDisplaySettings result;
  result.setHiDPI(hiDPI);
  result.setModes({platform::VirtualDisplayMode(width, height, refresh)});
  return result;
}

platform::VirtualDisplayDescriptor descriptor(std::uint32_t maxWidth, std::uint32_t maxHeight) {
  platform::VirtualDisplayDescriptor result;
  result.setName("Test");
  result.setMaxPixelsWide(maxWidth);
  result.setMaxPixelsHigh(maxHeight);
  return result;
}

TEST(VirtualDisplay, RefusesSettingsNoDisplayCanTake) {
  // An Xvfb program that does not exist: a refusal before the backend would say so too.
  EnvironmentScope scope({"", VirtualDisplayBackendKind::xvfbPerDisplay, "/nonexistent/Xvfb"});
  struct Case {
    const char* what;
    platform::VirtualDisplaySettings settings;
    std::uint32_t maxWidth, maxHeight;
  };
  platform::VirtualDisplaySettings noModes;
  const Case cases[] = {
      {"no mode", noModes, 0, 0},
      {"empty mode", settings(0, 768), 0, 0},
      {"no refresh rate", settings(1024, 768, false, 0), 0, 0},
      {"wider than allowed", settings(1025, 768), 1024, 768},
      {"hiDPI doubles past the maximum", settings(600, 384, true), 1024, 768},
      {"beyond X coordinates", settings(40000, 768), 0, 0},
  };
  for (const auto& c : cases) {
    platform::VirtualDisplay display(descriptor(c.maxWidth, c.maxHeight));
    EXPECT_FALSE(display.applySettings(c.settings)) << c.what;
    EXPECT_EQ(display.displayID(), platform::kNullDisplayID) << c.what;
    EXPECT_NE(display.failureReason().find("mode"), std::string::npos)
        << c.what << ": " << display.failureReason();
  }
}

TEST(VirtualDisplay, ReportsABackendThatCannotMakeTheDisplay) {
  {
    EnvironmentScope scope({"", VirtualDisplayBackendKind::xvfbPerDisplay, "/nonexistent/Xvfb"});
    platform::VirtualDisplay display(descriptor(1024, 768));
    EXPECT_FALSE(display.applySettings(settings(1024, 768)));
    EXPECT_NE(display.failureReason().find("/nonexistent/Xvfb"), std::string::npos);
  }
  {
    EnvironmentScope scope({"", VirtualDisplayBackendKind::randrMonitor, "Xvfb"});
    platform::VirtualDisplay display(descriptor(1024, 768));
    EXPECT_FALSE(display.applySettings(settings(1024, 768)));
    EXPECT_NE(display.failureReason().find("No X server"), std::string::npos);
  }
}

TEST(DisplayQueries, AnswerWithoutAReachableServer) {
  {
    // Working on a running server that cannot be reached: the list fails.
    EnvironmentScope scope({":65000", VirtualDisplayBackendKind::randrMonitor, "Xvfb"});
    EXPECT_FALSE(platform::getActiveDisplayList(5));
    EXPECT_FALSE(platform::copyDisplayMode(1));
    EXPECT_EQ(platform::displayScreenSize(1), platform::DisplaySize{});
    EXPECT_FALSE(platform::preflightScreenCaptureAccess());
    EXPECT_FALSE(platform::requestScreenCaptureAccess());
  }
  {
    // Every display has a server of its own and none exists yet: an empty list.
    EnvironmentScope scope({"", VirtualDisplayBackendKind::xvfbPerDisplay, "/nonexistent/Xvfb"});
    auto list = platform::getActiveDisplayList(5);
    ASSERT_TRUE(list);
    EXPECT_TRUE(list->empty());
    EXPECT_FALSE(platform::preflightScreenCaptureAccess());
  }
}

TEST(DisplayEnvironment, FollowsTheProcessEnvironment) {
  const char* savedDisplay = std::getenv("DISPLAY");
  const std::string restoreDisplay = savedDisplay ? savedDisplay : "";
  const char* savedBackend = std::getenv("TOVARINE_DISPLAY_BACKEND");
  const std::string restoreBackend = savedBackend ? savedBackend : "";

  setenv("DISPLAY", ":7", 1);
  unsetenv("TOVARINE_DISPLAY_BACKEND");
  EXPECT_EQ(platform::currentDisplayEnvironment().xDisplay, ":7");
  EXPECT_EQ(platform::currentDisplayEnvironment().backend, VirtualDisplayBackendKind::randrMonitor);
  setenv("TOVARINE_DISPLAY_BACKEND", "xvfb", 1);
  EXPECT_EQ(platform::currentDisplayEnvironment().backend,
            VirtualDisplayBackendKind::xvfbPerDisplay);
  unsetenv("TOVARINE_DISPLAY_BACKEND");
  unsetenv("DISPLAY");
  EXPECT_EQ(platform::currentDisplayEnvironment().backend,
            VirtualDisplayBackendKind::xvfbPerDisplay);

  {
    EnvironmentScope scope({":3", VirtualDisplayBackendKind::xvfbPerDisplay, "Xvfb"});
    EXPECT_EQ(platform::currentDisplayEnvironment().xDisplay, ":3");
  }

  if (savedDisplay) setenv("DISPLAY", restoreDisplay.c_str(), 1);
  if (savedBackend) setenv("TOVARINE_DISPLAY_BACKEND", restoreBackend.c_str(), 1);
}

}  // namespace
