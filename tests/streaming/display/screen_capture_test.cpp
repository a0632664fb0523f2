#include "streaming/screen_capture.h"

#include <gtest/gtest.h>

#include "platform/dispatch/main_queue.h"
#include "platform/display/display_environment.h"
#include "platform/display/xvfb/xvfb_server.h"
#include "platform/foundation/log.h"

namespace {

class ScreenCaptureTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::setDisplayEnvironment(std::nullopt); }

  void useEnvironmentWithXvfb(const std::string& program) {
    platform::setDisplayEnvironment(platform::DisplayEnvironment{
        "", platform::VirtualDisplayBackendKind::xvfbPerDisplay, program});
  }
};

TEST_F(ScreenCaptureTest, WithoutPermissionPrintsWhyAndMakesNoRecorder) {
  useEnvironmentWithXvfb("/nonexistent/Xvfb");
  platform::LogCapture log;
  auto capture = streaming::ScreenCapture::make();
  capture->setCapturedBuffer([](const auto&) {});
  capture->startCapture(7);
  ASSERT_TRUE(platform::runMainUntil(
      [&] { return log.contains("Error during recording: No screen capture permission"); }, 10));
  EXPECT_FALSE(capture->screenRecorder());
}

TEST_F(ScreenCaptureTest, ADisplayThatIsNotShareableIsNamedInTheError) {
  if (!platform::XvfbServer::isAvailable()) GTEST_SKIP() << "Xvfb is not installed";
  useEnvironmentWithXvfb("Xvfb");  // capture is possible, but no display exists
  platform::LogCapture log;
  auto capture = streaming::ScreenCapture::make();
  capture->setCapturedBuffer([](const auto&) {});
  capture->startCapture(42);
  ASSERT_TRUE(platform::runMainUntil(
      [&] {
        return log.contains(
            "Error during recording: Can't find display with ID 42 in sharable content");
      },
      10));
  EXPECT_FALSE(capture->screenRecorder());
}

}  // namespace
