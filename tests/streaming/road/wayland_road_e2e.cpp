// The whole road on Wayland desktops: a sway or a GNOME compositor of the test's own, running
// headless, the companion simulator on a loopback port, and the coordinator with everything it
// creates. A window on the tablet's display is what the device must show.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

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

  // The road until the device is connected and has its display; then a window on that
  // display. Returns the display.
  platform::DisplayID connectAndOpenWindow() {
    startRoad(1024, 768);
    if (!model_) return platform::kNullDisplayID;
    if (!platform::runMainUntil(
            [&] { return model_->deviceStatus.get() == DeviceStatus::Connected; }, 20)) {
      ADD_FAILURE() << "the device never connected";
      return platform::kNullDisplayID;
    }
    platform::DisplayID id = platform::kNullDisplayID;
    {  // a copy of the record would keep the display
      auto displays = model_->virtualScreen()->virtualDisplays();
      if (displays.size() != 1u) {
        ADD_FAILURE() << displays.size() << " displays";
        return platform::kNullDisplayID;
      }
      id = displays.begin()->second.display->displayID();
    }
    // An application draws on the tablet's display.
    if (sway_) {
      auto ipc = platform::wlroots::IpcClient::connect(sway_->ipcSocket());
      EXPECT_TRUE(ipc.has_value() && (*ipc)->command("focus output HEADLESS-2").has_value());
    }
    auto window = testing_display::WaylandPainter::open(waylandDisplay_, gnome_ != nullptr);
    if (!window) {
      ADD_FAILURE() << window.error();
      return platform::kNullDisplayID;
    }
    window_ = std::move(*window);
    return id;
  }

  // Whether the newest picture the device saved shows `check` before the time-out.
  bool deviceShows(const std::function<bool(const road::DecodedImage&)>& check) {
    return platform::runMainUntil(
        [&] {
          const auto saved = simulator_->statistics().savedImages;
          if (saved == 0) return false;
          auto image = road::decodeJpeg(savedImage(saved));
          return image && image->width == 1024 && image->height == 768 && check(*image);
        },
        20);
  }

  std::unique_ptr<testing_display::SwaySession> sway_;
  std::unique_ptr<testing_display::GnomeSession> gnome_;
  std::string waylandDisplay_;
  std::unique_ptr<testing_display::WaylandPainter> window_;
};

TEST_P(WaylandRoadTest, ADeviceGetsADisplayWhosePictureReachesIt) {
  const platform::DisplayID id = connectAndOpenWindow();
  ASSERT_NE(id, platform::kNullDisplayID);
  EXPECT_EQ(platform::displayName(id), std::string("Tovarine ") + kDeviceName);

  ASSERT_TRUE(window_->fill(kBackground));
  ASSERT_EQ(window_->width(), 1024u);
  ASSERT_TRUE(window_->paint(400, 300, 200, 150, kRectangle));

  const bool shown = deviceShows([](const road::DecodedImage& image) {
    return road::near(image.at(500, 375), kRectangle) &&
           road::near(image.at(50, 50), kBackground) &&
           road::near(image.at(1000, 740), kBackground);
  });
  EXPECT_TRUE(shown) << "the device never showed the window";
  EXPECT_EQ(simulator_->statistics().badImages, 0u);

  // The device goes away: its display goes (parked, where sway cannot remove it).
  ASSERT_TRUE(unplugDevice());
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

// The capture reads the compositor's buffer where it lies: a pattern of distinct blocks reaches
// the device block for block, and so does a later change of one block alone (the compositor's
// damage, or the comparison, must not leave the rest stale or shifted).
TEST_P(WaylandRoadTest, AKnownPatternAndAChangeOfOneBlockReachTheDeviceAsDrawn) {
  ASSERT_NE(connectAndOpenWindow(), platform::kNullDisplayID);
  ASSERT_TRUE(window_->fill(kBackground));
  constexpr std::uint32_t kBlock = 128, kColumns = 8, kRows = 6;  // 1024x768 in blocks
  const auto color = [](std::uint32_t column, std::uint32_t row, std::uint32_t round) {
    // Far apart in every channel from the neighbours, so a shifted row or block shows.
    return ((column * 0x1F + round * 0x60) & 0xFF) << 16 | ((row * 0x2B + 0x10) & 0xFF) << 8 |
           (((column + row) % 2) * 0xC0 + 0x20);
  };
  for (std::uint32_t row = 0; row < kRows; ++row)
    for (std::uint32_t column = 0; column < kColumns; ++column)
      ASSERT_TRUE(
          window_->paint(column * kBlock, row * kBlock, kBlock, kBlock, color(column, row, 0)));
  struct Step {
    const char* what;
    std::uint32_t changedColumn, changedRow;  // the block painted again, in round 1
  };
  const Step steps[] = {{"the whole pattern", kColumns, kRows},
                        {"one block changed alone", 5, 2},
                        {"then one on the last row", 0, 5}};
  std::vector<std::uint32_t> rounds(kColumns * kRows, 0);
  for (const Step& step : steps) {
    if (step.changedColumn < kColumns) {
      rounds[step.changedRow * kColumns + step.changedColumn] = 1;
      ASSERT_TRUE(window_->paint(step.changedColumn * kBlock, step.changedRow * kBlock, kBlock,
                                 kBlock, color(step.changedColumn, step.changedRow, 1)));
    }
    std::string wrong;
    const bool shown = deviceShows([&](const road::DecodedImage& image) {
      for (std::uint32_t row = 0; row < kRows; ++row) {
        for (std::uint32_t column = 0; column < kColumns; ++column) {
          const std::uint32_t expected = color(column, row, rounds[row * kColumns + column]);
          // The centre and a point near each corner, clear of the JPEG's smearing at edges.
          for (const auto& [dx, dy] :
               {std::pair{64u, 64u}, {8u, 8u}, {119u, 8u}, {8u, 119u}, {119u, 119u}}) {
            const std::uint32_t got = image.at(int(column * kBlock + dx), int(row * kBlock + dy));
            if (!road::near(got, expected)) {
              wrong = fmt::format("block {},{} at +{},{}: {:06x} where {:06x} was drawn", column,
                                  row, dx, dy, got, expected);
              return false;
            }
          }
        }
      }
      return true;
    });
    EXPECT_TRUE(shown) << step.what << ": " << wrong;
  }
  EXPECT_EQ(simulator_->statistics().badImages, 0u);
}

INSTANTIATE_TEST_SUITE_P(Desktops, WaylandRoadTest,
                         ::testing::Values(Desktop::sway, Desktop::gnome),
                         [](const ::testing::TestParamInfo<Desktop>& info) {
                           return info.param == Desktop::sway ? "Sway" : "Gnome";
                         });

}  // namespace
}  // namespace streaming
