#pragma once

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "companion/companion_server.h"
#include "platform/dispatch/main_queue.h"
#include "streaming/road/support/frames.h"
#include "streaming/road/support/window_fake.h"
#include "streaming/starting_screen_view_model.h"

namespace streaming::road {

// The parts every run of the whole road has, whatever desktop it runs on: the companion
// simulator on a loopback port saving what it receives into a folder of the test's own, and
// the coordinator with everything it creates, which finds the simulator there.
template <class Base = ::testing::Test>
class RoadFixture : public Base {
 protected:
  static constexpr const char* kDeviceName = "Road Tablet";

  // A fresh folder for the images the device saves; `prefix` tells the runs apart.
  void makeSaveFolder(const std::string& prefix) {
    static std::atomic<int> counter{0};
    saved_ = std::filesystem::temp_directory_path() /
             fmt::format("{}-{}-{}", prefix, ::getpid(), counter++);
  }

  // The simulator plays a device of this size; the coordinator finds it on loopback.
  void startRoad(int width, int height) {
    companion::Options options;
    options.port = 0;
    options.name = kDeviceName;
    options.width = width;
    options.height = height;
    options.ppi = 132;
    options.saveDirectory = saved_;
    options.quiet = true;
    simulator_ = std::make_unique<companion::CompanionServer>(options);
    ASSERT_FALSE(simulator_->start());

    windowControl_ = std::make_shared<WindowFake>();
    StartingScreenViewModel::Options road;
    road.windowControl = windowControl_;
    road.port = simulator_->port();
    road.retryDelay = 0.2;
    road.hub = platform::TLUSBHub::make();
    model_ = StartingScreenViewModel::make(std::move(road));
  }

  // The device goes away; whether the coordinator then sees it attached but no longer streaming,
  // with none of its displays left, within ten seconds.
  bool unplugDevice() {
    simulator_->stop();
    return platform::runMainUntil(
        [&] {
          return model_->deviceStatus.get() == DeviceStatus::Attached &&
                 model_->virtualScreen()->virtualDisplays().empty();
        },
        10);
  }

  // The frames on their way settle before the coordinator and then the device go.
  void endRoad() {
    if (model_) {
      EXPECT_TRUE(waitForFramesToSettle(*model_));
    }
    model_.reset();
    simulator_.reset();
  }

  void removeSaveFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(saved_, ignored);
  }

  std::vector<std::uint8_t> savedImage(std::uint64_t index) {
    std::ifstream file(saved_ / fmt::format("{:06}.jpg", index), std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  }

  std::filesystem::path saved_;
  std::unique_ptr<companion::CompanionServer> simulator_;
  std::shared_ptr<WindowFake> windowControl_;
  std::shared_ptr<StartingScreenViewModel> model_;
};

}  // namespace streaming::road
