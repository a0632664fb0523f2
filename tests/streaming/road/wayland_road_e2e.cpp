// The whole road on Wayland desktops: a sway or a GNOME compositor of the test's own, running
// headless, the companion simulator on a loopback port, and the coordinator with everything it
// creates. A window on the tablet's display is what the device must show.

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/dispatch/main_queue.h"
#include "platform/display/display_environment.h"
#include "platform/display/display_queries.h"
#include "platform/display/support/gnome_session.h"
#include "platform/display/support/sway_session.h"
#include "platform/display/support/wayland_painter.h"
#include "platform/display/wlroots/wlroots_ipc.h"
#include "platform/display/wlroots/wlroots_outputs.h"
#include "streaming/road/support/frames.h"
#include "streaming/road/support/road_fixture.h"
#include "streaming/starting_screen_view_model.h"

namespace streaming {
namespace {

constexpr std::uint32_t kBackground = 0x2050A0;
constexpr std::uint32_t kRectangle = 0xE0A030;

enum class Desktop { sway, gnome };

class WaylandRoadTest : public road::RoadFixture<::testing::TestWithParam<Desktop>> {
 protected:
  void SetUp() override {
    platform::DisplayEnvironment environment;
    if (GetParam() == Desktop::sway) {
      if (!testing_display::SwaySession::available()) GTEST_SKIP() << "sway is not installed";
      auto session = testing_display::SwaySession::start();
      ASSERT_TRUE(session.has_value()) << session.error();
      sway_ = std::move(*session);
      environment.backend = platform::VirtualDisplayBackendKind::wlrootsOutput;
      environment.compositorSocket = sway_->ipcSocket();
      environment.waylandDisplay = sway_->waylandDisplay();
      waylandDisplay_ = sway_->waylandDisplay();
    } else {
      if (auto missing = testing_display::GnomeSession::missingProgram(); !missing.empty()) {
        GTEST_SKIP() << missing << " is not installed";
      }
      auto session = testing_display::GnomeSession::start();
      ASSERT_TRUE(session.has_value()) << session.error();
      gnome_ = std::move(*session);
      setenv("DBUS_SESSION_BUS_ADDRESS", gnome_->busAddress().c_str(), 1);
      setenv("PIPEWIRE_RUNTIME_DIR", gnome_->runtimeDir().c_str(), 1);
      environment.backend = platform::VirtualDisplayBackendKind::gnomeVirtualMonitor;
      waylandDisplay_ = gnome_->waylandDisplay();
    }
    platform::setDisplayEnvironment(environment);
    makeSaveFolder("tovarine-wayland-road");
  }

  void TearDown() override {
    endRoad();
    window_.reset();
    platform::drainMainQueue();
    platform::setDisplayEnvironment(std::nullopt);
    sway_.reset();
    gnome_.reset();
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    unsetenv("PIPEWIRE_RUNTIME_DIR");
    removeSaveFolder();
  }

  std::unique_ptr<testing_display::SwaySession> sway_;
  std::unique_ptr<testing_display::GnomeSession> gnome_;
  std::string waylandDisplay_;
  std::unique_ptr<testing_display::WaylandPainter> window_;
};

TEST_P(WaylandRoadTest, ADeviceGetsADisplayWhosePictureReachesIt) {
  startRoad(1024, 768);

  ASSERT_TRUE(platform::runMainUntil(
      [&] { return model_->deviceStatus.get() == DeviceStatus::Connected; }, 20));
  platform::DisplayID id = platform::kNullDisplayID;
  {  // a copy of the record would keep the display
    auto displays = model_->virtualScreen()->virtualDisplays();
    ASSERT_EQ(displays.size(), 1u);
    id = displays.begin()->second.display->displayID();
  }
  EXPECT_EQ(platform::displayName(id), std::string("Tovarine ") + kDeviceName);

  // An application draws on the tablet's display.
  if (sway_) {
    auto ipc = platform::wlroots::IpcClient::connect(sway_->ipcSocket());
    ASSERT_TRUE(ipc.has_value());
    ASSERT_TRUE((*ipc)->command("focus output HEADLESS-2").has_value());
  }
  auto window = testing_display::WaylandPainter::open(waylandDisplay_, gnome_ != nullptr);
  ASSERT_TRUE(window.has_value()) << window.error();
  window_ = std::move(*window);
  ASSERT_TRUE(window_->fill(kBackground));
  ASSERT_EQ(window_->width(), 1024u);
  ASSERT_TRUE(window_->paint(400, 300, 200, 150, kRectangle));

  const bool shown = platform::runMainUntil(
      [&] {
        const auto saved = simulator_->statistics().savedImages;
        if (saved == 0) return false;
        auto image = road::decodeJpeg(savedImage(saved));
        return image && image->width == 1024 && image->height == 768 &&
               road::near(image->at(500, 375), kRectangle) &&
               road::near(image->at(50, 50), kBackground) &&
               road::near(image->at(1000, 740), kBackground);
      },
      20);
  EXPECT_TRUE(shown) << "the device never showed the window";
  EXPECT_EQ(simulator_->statistics().badImages, 0u);

  // The device goes away: its display goes (parked, where sway cannot remove it).
  simulator_->stop();
  ASSERT_TRUE(platform::runMainUntil(
      [&] {
        return model_->deviceStatus.get() == DeviceStatus::Attached &&
               model_->virtualScreen()->virtualDisplays().empty();
      },
      10));
  // Released on the channel's thread: wait until that has taken effect.
  EXPECT_TRUE(platform::runMainUntil([&] { return !platform::copyDisplayMode(id); }, 5));
  if (sway_) {
    auto ipc = platform::wlroots::IpcClient::connect(sway_->ipcSocket());
    ASSERT_TRUE(ipc.has_value());
    // The compositor applies the parking mode on its own time.
    EXPECT_TRUE(platform::runMainUntil(
        [&] {
          auto outputs = (*ipc)->outputs();
          return outputs && outputs->size() == 2u && platform::wlroots::isParked(outputs->back());
        },
        5));
  } else {
    EXPECT_TRUE(platform::runMainUntil(
        [&] {
          auto sizes = gnome_->monitorSizes();
          return sizes && sizes->empty();
        },
        5));
  }
}

INSTANTIATE_TEST_SUITE_P(Desktops, WaylandRoadTest,
                         ::testing::Values(Desktop::sway, Desktop::gnome),
                         [](const ::testing::TestParamInfo<Desktop>& info) {
                           return info.param == Desktop::sway ? "Sway" : "Gnome";
                         });

}  // namespace
}  // namespace streaming
