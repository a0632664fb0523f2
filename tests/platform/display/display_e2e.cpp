#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <memory>

#include "platform/dispatch/main_queue.h"
#include "platform/display/display_queries.h"
#include "platform/display/screen_capture_access.h"
#include "platform/display/screen_parameters.h"
#include "platform/display/support/x_test_server.h"
#include "platform/display/virtual_display.h"
#include "platform/display/x11/x_connection.h"
#include "platform/foundation/notification_center.h"

namespace {

using platform::VirtualDisplayBackendKind;
using testing_display::kBaseHeight;
using testing_display::kBaseWidth;

std::unique_ptr<platform::VirtualDisplay> makeDisplay(const std::string& name, std::uint32_t width,
                                                      std::uint32_t height,
                                                      platform::DisplaySize millimeters = {},
                                                      bool hiDPI = false) {
  platform::VirtualDisplayDescriptor descriptor;
  descriptor.setName(name);
  descriptor.setMaxPixelsWide(width);
  descriptor.setMaxPixelsHigh(height);
  descriptor.setSizeInMillimeters(millimeters);
  platform::VirtualDisplaySettings settings;
  settings.setHiDPI(hiDPI);
  settings.setModes(
      {platform::VirtualDisplayMode(hiDPI ? width / 2 : width, hiDPI ? height / 2 : height, 60)});
  auto display = std::make_unique<platform::VirtualDisplay>(descriptor);
  if (!display->applySettings(settings)) {
    ADD_FAILURE() << "not created: " << display->failureReason();
    return nullptr;
  }
  return display;
}

bool listed(platform::DisplayID id) {
  auto list = platform::getActiveDisplayList(100);
  return list && std::find(list->begin(), list->end(), id) != list->end();
}

class DisplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing_display::TestXServer::available()) GTEST_SKIP() << "Xvfb is not installed";
    server_.start(VirtualDisplayBackendKind::randrMonitor);
  }

  testing_display::TestXServer server_;
};

TEST_F(DisplayTest, MonitorDisplayJoinsTheScreenAndLeavesItAsItWas) {
  ASSERT_EQ(server_.screenSize(), std::make_pair(kBaseWidth, kBaseHeight));
  auto display = makeDisplay("Tovarine Pad", 1024, 768, {197.04, 147.78});
  ASSERT_TRUE(display);
  const platform::DisplayID id = display->displayID();
  ASSERT_NE(id, platform::kNullDisplayID);

  // Right of the existing monitor, on a screen grown to hold it.
  EXPECT_EQ(server_.screenSize(), std::make_pair(std::uint16_t(kBaseWidth + 1024), kBaseHeight));
  auto monitor = server_.monitorNamed("Tovarine Pad");
  ASSERT_TRUE(monitor);
  EXPECT_EQ(monitor->x, kBaseWidth);
  EXPECT_EQ(monitor->y, 0);

  EXPECT_TRUE(listed(id));
  auto mode = platform::copyDisplayMode(id);
  ASSERT_TRUE(mode);
  EXPECT_EQ(mode->pixelWidth, 1024u);
  EXPECT_EQ(mode->pixelHeight, 768u);
  EXPECT_EQ(mode->width, 1024u);
  EXPECT_EQ(platform::displayScreenSize(id), (platform::DisplaySize{197, 148}));
  EXPECT_EQ(platform::displayName(id), "Tovarine Pad");
  EXPECT_FALSE(platform::displayIsBuiltin(id));
  EXPECT_EQ(platform::displayBounds(id), (platform::DisplayRect{{kBaseWidth, 0}, {1024, 768}}));

  display.reset();
  EXPECT_FALSE(server_.monitorNamed("Tovarine Pad"));
  EXPECT_EQ(server_.screenSize(), std::make_pair(kBaseWidth, kBaseHeight));
  EXPECT_FALSE(listed(id));
  EXPECT_FALSE(platform::copyDisplayMode(id));
}

TEST_F(DisplayTest, TheRealOutputStaysTheFirstMonitorListed) {
  platform::x11::Connection& x = server_.x();
  const auto before = server_.monitors();
  ASSERT_EQ(before.size(), 1u);
  ASSERT_FALSE(before.front().outputs.empty());
  const xcb_randr_output_t output = before.front().outputs.front();
  struct Row {
    const char* name;
    xcb_randr_output_t primary;  // before the display is made, and again after it goes
  };
  for (const Row& row : {Row{"no primary output", XCB_NONE}, Row{"a primary output", output}}) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(x.setPrimaryOutput(row.primary));
    auto first = makeDisplay("Tovarine Pad", 800, 600);
    auto second = makeDisplay("Tovarine Pad", 640, 480);
    ASSERT_TRUE(first && second);
    const auto listed = server_.monitors();
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed.front().outputs, std::vector<xcb_randr_output_t>{output});
    EXPECT_TRUE(listed.front().primary);
    EXPECT_EQ(x.atomName(listed[1].name), "Tovarine Pad");
    EXPECT_EQ(x.atomName(listed[2].name), "Tovarine Pad (2)");
    first.reset();
    EXPECT_EQ(x.primaryOutput(), output) << "while a display is shown";
    second.reset();
    EXPECT_EQ(x.primaryOutput(), row.primary) << "the user's layout is not back";
  }
}

TEST_F(DisplayTest, HiDPIModeHasHalfAsManyPointsAsPixels) {
  auto display = makeDisplay("Tovarine Retina", 1024, 768, {}, true);
  ASSERT_TRUE(display);
  auto mode = platform::copyDisplayMode(display->displayID());
  ASSERT_TRUE(mode);
  EXPECT_EQ(mode->width, 512u);
  EXPECT_EQ(mode->height, 384u);
  EXPECT_EQ(mode->pixelWidth, 1024u);
  EXPECT_EQ(mode->pixelHeight, 768u);
  // Unknown physical size stays unknown.
  EXPECT_EQ(platform::displayScreenSize(display->displayID()), platform::DisplaySize{});
  // Applying the same size again is accepted; another size is not.
  platform::VirtualDisplaySettings same;
  same.setHiDPI(true);
  same.setModes({platform::VirtualDisplayMode(512, 384, 60)});
  EXPECT_TRUE(display->applySettings(same));
  same.setModes({platform::VirtualDisplayMode(400, 300, 60)});
  EXPECT_FALSE(display->applySettings(same));
}

TEST_F(DisplayTest, DisplaysOfOneNameGetNumberedAndAnyReleaseOrderRestoresTheScreen) {
  auto first = makeDisplay("Tovarine Twin", 400, 300);
  auto second = makeDisplay("Tovarine Twin", 500, 900);
  ASSERT_TRUE(first && second);
  EXPECT_NE(first->displayID(), second->displayID());
  EXPECT_EQ(platform::displayName(second->displayID()), "Tovarine Twin (2)");
  EXPECT_EQ(server_.screenSize(),
            std::make_pair(std::uint16_t(kBaseWidth + 900), std::uint16_t(900)));

  first.reset();  // the older one first: the newer one keeps its place
  auto secondMonitor = server_.monitorNamed("Tovarine Twin (2)");
  ASSERT_TRUE(secondMonitor);
  EXPECT_EQ(secondMonitor->x, kBaseWidth + 400);
  EXPECT_EQ(server_.screenSize(),
            std::make_pair(std::uint16_t(kBaseWidth + 900), std::uint16_t(900)));
  second.reset();
  EXPECT_EQ(server_.screenSize(), std::make_pair(kBaseWidth, kBaseHeight));
  EXPECT_EQ(server_.monitors().size(), 1u);
}

TEST_F(DisplayTest, RefusesADisplayTheScreenCannotGrowToHold) {
  platform::VirtualDisplayDescriptor descriptor;
  descriptor.setName("Tovarine Huge");
  platform::VirtualDisplaySettings settings;
  settings.setModes({platform::VirtualDisplayMode(testing_display::kServerWidth, 600, 60)});
  platform::VirtualDisplay display(descriptor);
  EXPECT_FALSE(display.applySettings(settings));
  EXPECT_NE(display.failureReason().find("cannot grow"), std::string::npos)
      << display.failureReason();
  EXPECT_EQ(server_.monitors().size(), 1u);
  EXPECT_EQ(server_.screenSize(), std::make_pair(kBaseWidth, kBaseHeight));
}

TEST_F(DisplayTest, XvfbDisplayIsAServerOfItsOwn) {
  platform::DisplayEnvironment environment = platform::currentDisplayEnvironment();
  environment.backend = VirtualDisplayBackendKind::xvfbPerDisplay;
  platform::setDisplayEnvironment(environment);

  auto display = makeDisplay("Tovarine Own", 800, 600, {152.4, 114.3});
  ASSERT_TRUE(display);
  const platform::DisplayID id = display->displayID();
  EXPECT_TRUE(listed(id));
  EXPECT_EQ(platform::displayName(id), "Tovarine Own");
  EXPECT_EQ(platform::displayScreenSize(id), (platform::DisplaySize{152.4, 114.3}));
  EXPECT_EQ(platform::displayBounds(id), (platform::DisplayRect{{0, 0}, {800, 600}}));
  auto location = platform::locateDisplay(id);
  ASSERT_TRUE(location);
  EXPECT_NE(location->xDisplay, server_.displayName());
  EXPECT_FALSE(location->isMonitor);
  auto own = platform::x11::Connection::open(location->xDisplay);
  ASSERT_TRUE(own) << own.error();
  auto size = (*own)->currentScreenSize();
  ASSERT_TRUE(size);
  EXPECT_EQ(size->width, 800);
  EXPECT_EQ(size->height, 600);
  // -dpi from the physical size: 800 px over 152.4 mm is 133 dpi.
  EXPECT_NEAR((*own)->screen()->width_in_millimeters, 152.4, 1.0);
  // The main server's screen is left alone.
  EXPECT_EQ(server_.screenSize(), std::make_pair(kBaseWidth, kBaseHeight));

  display.reset();
  EXPECT_FALSE(listed(id));
  // Its server is gone (its number may already serve another test's server).
  EXPECT_FALSE(testing_display::TestXServer::answers(**own));
}

TEST_F(DisplayTest, ScreenParameterChangesArePostedOnTheMainQueue) {
  std::atomic<int> posts{0};
  std::atomic<bool> onOtherThread{false};
  const auto mainThread = std::this_thread::get_id();
  auto token = platform::NotificationCenter::defaultCenter()->addObserver(
      platform::kScreenParametersDidChangeNotification, [&](const platform::Notification&) {
        if (std::this_thread::get_id() != mainThread) onOtherThread = true;
        ++posts;
      });
  platform::startScreenParametersNotifications();

  auto display = makeDisplay("Tovarine Watched", 640, 480);
  ASSERT_TRUE(display);
  EXPECT_TRUE(platform::runMainUntil([&] { return posts > 0; }, 10));
  const int afterCreate = posts;
  display.reset();
  EXPECT_TRUE(platform::runMainUntil([&] { return posts > afterCreate; }, 10));

  // Another program changing the layout is noticed too.
  const int beforeMonitor = posts;
  ASSERT_TRUE(server_.addMonitor("Elsewhere", 0, 0, 100, 100, 10, 10));
  EXPECT_TRUE(platform::runMainUntil([&] { return posts > beforeMonitor; }, 10));

  // A display with a server of its own is announced by the layer itself.
  platform::DisplayEnvironment environment = platform::currentDisplayEnvironment();
  environment.backend = VirtualDisplayBackendKind::xvfbPerDisplay;
  platform::setDisplayEnvironment(environment);
  const int beforeXvfb = posts;
  auto own = makeDisplay("Tovarine Own", 320, 240);
  ASSERT_TRUE(own);
  EXPECT_TRUE(platform::runMainUntil([&] { return posts > beforeXvfb; }, 10));
  EXPECT_FALSE(onOtherThread);
}

TEST_F(DisplayTest, SixDisplaysListTheFirstFive) {
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(server_.addMonitor("Extra " + std::to_string(i), std::int16_t(i * 100), 0, 100, 100,
                                   26, 26));
  }
  auto all = platform::getActiveDisplayList(100);
  ASSERT_TRUE(all);
  EXPECT_EQ(all->size(), 6u);
  auto five = platform::getActiveDisplayList(5);
  ASSERT_TRUE(five);
  ASSERT_EQ(five->size(), 5u);
  EXPECT_TRUE(std::equal(five->begin(), five->end(), all->begin()));
}

TEST_F(DisplayTest, CaptureAccessIsGrantedOnAReachableServer) {
  EXPECT_TRUE(platform::preflightScreenCaptureAccess());
  EXPECT_TRUE(platform::requestScreenCaptureAccess());
}

}  // namespace
