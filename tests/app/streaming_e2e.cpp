// The real application streaming to the companion simulator over loopback: the simulator is
// found, a display of its size joins the X screen, what is drawn there reaches the simulator as
// JPEG frames of the expected size, the starting screen says so, and everything returns to how
// it was when the simulator goes — ready for the next one.

#include <gtest/gtest.h>
#include <httplib.h>

#include <QImage>
#include <QRect>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "app/support/app_e2e_support.h"
#include "app/support/app_test_support.h"
#include "app/support/streaming_e2e_support.h"

namespace app {
namespace {

namespace fs = std::filesystem;
using test::applicationBinary;
using test::Child;
using test::Clock;
using test::companionBinary;
using test::findProgram;
using test::RoomyXServer;
using test::StartingLook;
using test::XProbe;

// The application always looks for its device on this port, on USB and on loopback.
constexpr int kDevicePort = 2345;
const QSize kMainScreen(1920, 1080);
const QSize kWindowSize(1280, 900);
const QSize kDeviceScreen(1024, 768);
constexpr std::uint32_t kPaint = 0xF2A541;
constexpr auto kPatience = std::chrono::seconds(30);

bool near(QRgb pixel, std::uint32_t rgb, int tolerance) {
  return std::abs(qRed(pixel) - int((rgb >> 16) & 0xFF)) <= tolerance &&
         std::abs(qGreen(pixel) - int((rgb >> 8) & 0xFF)) <= tolerance &&
         std::abs(qBlue(pixel) - int(rgb & 0xFF)) <= tolerance;
}

std::vector<fs::path> savedFrames(const fs::path& folder) {
  std::vector<fs::path> frames;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    if (entry.path().extension() == ".jpg") frames.push_back(entry.path());
  }
  std::sort(frames.begin(), frames.end());
  return frames;
}

class StreamingRun : public testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(applicationBinary())) GTEST_SKIP() << "no application binary";
    if (!fs::exists(companionBinary())) GTEST_SKIP() << "no companion simulator";
    if (!findProgram("Xvfb")) GTEST_SKIP() << "no Xvfb";
    // Any application another test runs meanwhile would dial the simulator too.
    devicePort_ = std::make_unique<test::DevicePortLock>();
    ASSERT_TRUE(devicePort_->held());
    auto x = RoomyXServer::start(static_cast<std::uint16_t>(kMainScreen.width()),
                                 static_cast<std::uint16_t>(kMainScreen.height()));
    ASSERT_TRUE(x.has_value()) << x.error();
    x_ = std::move(*x);
    probe_ = std::make_unique<XProbe>(x_->display());
    ASSERT_TRUE(probe_->connected());

    server_.Get("/updates/wp-content/uploads/tovarine/TovarineVersioning.json",
                [](const httplib::Request&, httplib::Response& response) {
                  // The build's own version: no update.
                  response.set_content(
                      R"({"name":"Tovarine","releaseVersion":1.0,"buildVersion":1,)"
                      R"("isMandatory":true})",
                      "application/json");
                });
    port_ = server_.bind_to_any_port("127.0.0.1");
    serverThread_ = std::thread([this] { server_.listen_after_bind(); });
    // Not the first run: straight to the starting screen, which runs the streaming engine.
    home_.write(".config/tovarine/defaults.json", R"({"isFirstInstallation": true})");
  }

  void TearDown() override {
    companion_.reset();
    app_.reset();
    if (serverThread_.joinable()) {
      server_.stop();
      serverThread_.join();
    }
    probe_.reset();
    x_.reset();
  }

  void startApplication() {
    app_ = std::make_unique<Child>(
        std::vector<std::string>{applicationBinary().string()},
        std::map<std::string, std::string>{
            {"DISPLAY", x_->display()},
            {"HOME", home_.path().string()},
            {"TOVARINE_UPDATE_URL", "http://127.0.0.1:" + std::to_string(port_) + "/updates"},
            {"QT_QPA_PLATFORM", "xcb"},
            {"LANG", "en_US.UTF-8"},
            {"ASAN_OPTIONS", "detect_leaks=0"},
            {"DBUS_SESSION_BUS_ADDRESS", test::kNoSessionBus}},
        std::vector<std::string>{"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "TOVARINE_RESOURCES",
                                 "TOVARINE_DISPLAY_BACKEND", "LC_ALL", "LC_MESSAGES"});
    ASSERT_TRUE(app_->started());
  }

  void startCompanion(QSize screen, const fs::path& frames) {
    companion_ = std::make_unique<Child>(
        std::vector<std::string>{companionBinary().string(), "--port", std::to_string(kDevicePort),
                                 "--name", "Desk Tablet", "--width", std::to_string(screen.width()),
                                 "--height", std::to_string(screen.height()), "--ppi", "132",
                                 "--save", frames.string(), "--quiet"},
        std::map<std::string, std::string>{{"ASAN_OPTIONS", "detect_leaks=0"}});
    ASSERT_TRUE(companion_->started());
  }

  // Polls until `condition` holds or the deadline passes; false when the application ended
  // (or the simulator, while it is meant to run).
  bool waitFor(const std::function<bool()>& condition) {
    const auto deadline = Clock::now() + kPatience;
    while (Clock::now() < deadline) {
      if (condition()) return true;
      if (!app_->running()) return false;
      if (companion_ && !companion_->running()) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return condition();
  }

  QImage windowPicture() {
    const QImage shot = probe_->screenshot();
    return shot.isNull() ? shot : shot.copy(frame_);
  }

  StartingLook lookOf(const QImage& window) {
    return test::startingLook(test::whiteInkBands(window, window.rect()));
  }

  // Waits for the starting screen to look as `wanted`, saves the whole screen under `name`
  // and answers the window's picture.
  QImage waitForLook(StartingLook wanted, const std::string& name) {
    QImage window;
    waitFor([&] {
      window = windowPicture();
      return !window.isNull() && lookOf(window) == wanted;
    });
    test::saveScreenshot(probe_->screenshot(), name);
    return window;
  }

  // The one monitor besides the main screen's.
  std::optional<QRect> deviceMonitor() {
    const auto monitors = x_->monitors();
    if (monitors.size() != 2) return std::nullopt;
    for (const auto& monitor : monitors) {
      if (monitor.area != QRect(QPoint(0, 0), kMainScreen)) return monitor.area;
    }
    return std::nullopt;
  }

  // Every frame the simulator saved is a whole JPEG of `size`.
  void expectFramesOfSize(const fs::path& folder, QSize size) {
    const auto frames = savedFrames(folder);
    ASSERT_FALSE(frames.empty()) << "no frame reached the simulator";
    for (const auto& path : frames) {
      QImage image(QString::fromStdString(path.string()), "JPG");
      ASSERT_FALSE(image.isNull()) << path << " is no JPEG";
      EXPECT_EQ(image.size(), size) << path;
    }
  }

  std::unique_ptr<test::DevicePortLock> devicePort_;  // first in, so released last
  test::TemporaryFolder home_;
  test::TemporaryFolder frames_;
  test::TemporaryFolder laterFrames_;
  std::unique_ptr<RoomyXServer> x_;
  std::unique_ptr<XProbe> probe_;
  httplib::Server server_;
  int port_ = 0;
  std::thread serverThread_;
  std::unique_ptr<Child> app_;
  std::unique_ptr<Child> companion_;
  QRect frame_;
};

}  // namespace

TEST_F(StreamingRun, TheSimulatorConnectsGetsFramesOfItsDisplayLeavesAndComesBack) {
  startApplication();

  // The starting screen, centred on the main screen, waiting for a tablet.
  std::optional<QRect> frame;
  ASSERT_TRUE(waitFor([&] { return (frame = probe_->windowFrame("Tovarine")).has_value(); }))
      << "no window appeared";
  frame_ = *frame;
  EXPECT_EQ(frame_.size(), kWindowSize);
  EXPECT_EQ(frame_.center(), QRect(QPoint(0, 0), kMainScreen).center())
      << "the window is not centred";
  QImage window = waitForLook(StartingLook::noTablet, "streaming-1-no-tablet");
  ASSERT_EQ(lookOf(window), StartingLook::noTablet)
      << test::describeBands(test::whiteInkBands(window, window.rect()));
  EXPECT_EQ(x_->monitors().size(), 1u);
  EXPECT_EQ(x_->screenSize(), kMainScreen);

  // The simulator appears on the device port: a display of its size joins the screen on the
  // right, and the starting screen says the tablet is connected.
  startCompanion(kDeviceScreen, frames_.path());
  std::optional<QRect> device;
  ASSERT_TRUE(waitFor([&] { return (device = deviceMonitor()).has_value(); }))
      << (companion_->running() ? "no display appeared for the tablet"
                                : "the simulator ended at once: is 127.0.0.1:2345 taken?");
  EXPECT_EQ(*device, QRect(QPoint(kMainScreen.width(), 0), kDeviceScreen));
  EXPECT_EQ(x_->screenSize(),
            QSize(kMainScreen.width() + kDeviceScreen.width(), kMainScreen.height()));
  window = waitForLook(StartingLook::connected, "streaming-2-connected");
  EXPECT_EQ(lookOf(window), StartingLook::connected)
      << test::describeBands(test::whiteInkBands(window, window.rect()));

  // What is drawn on the tablet's display reaches the tablet.
  x_->fill(*device, kPaint);
  // Every frame is read again on each look: the newest may still be being written.
  std::size_t seen = 0;
  const bool painted = waitFor([&] {
    const auto frames = savedFrames(frames_.path());
    seen = frames.size();
    return std::any_of(frames.begin(), frames.end(), [](const fs::path& path) {
      QImage image(QString::fromStdString(path.string()), "JPG");
      return !image.isNull() &&
             near(image.pixel(image.width() / 2, image.height() / 2), kPaint, 16);
    });
  });
  EXPECT_TRUE(painted) << "no frame showed the painted display (" << seen << " frames received)";
  test::saveScreenshot(probe_->screenshot(), "streaming-3-painted");

  // The simulator goes: its display leaves the screen, which returns to its own size, and the
  // starting screen no longer says connected.
  companion_->stop();
  companion_.reset();
  EXPECT_TRUE(waitFor([&] { return !deviceMonitor() && x_->screenSize() == kMainScreen; }))
      << "the tablet's display stayed after the simulator went";
  EXPECT_EQ(x_->monitors().size(), 1u);
  window = waitForLook(StartingLook::tabletFound, "streaming-4-after");
  EXPECT_EQ(lookOf(window), StartingLook::tabletFound)
      << test::describeBands(test::whiteInkBands(window, window.rect()));
  EXPECT_TRUE(app_->running());
  expectFramesOfSize(frames_.path(), kDeviceScreen);

  // A tablet that comes back, standing upright this time, is found again and gets a display
  // of its new size.
  const QSize upright(800, 1280);
  startCompanion(upright, laterFrames_.path());
  ASSERT_TRUE(waitFor([&] { return (device = deviceMonitor()).has_value(); }))
      << "no display appeared for the returning tablet";
  EXPECT_EQ(*device, QRect(QPoint(kMainScreen.width(), 0), upright));
  EXPECT_EQ(x_->screenSize(), QSize(kMainScreen.width() + upright.width(), upright.height()));
  window = waitForLook(StartingLook::connected, "streaming-5-connected-again");
  EXPECT_EQ(lookOf(window), StartingLook::connected)
      << test::describeBands(test::whiteInkBands(window, window.rect()));
  x_->fill(*device, kPaint);
  EXPECT_TRUE(waitFor([&] { return !savedFrames(laterFrames_.path()).empty(); }));
  companion_->stop();
  companion_.reset();
  EXPECT_TRUE(waitFor([&] { return !deviceMonitor() && x_->screenSize() == kMainScreen; }));
  expectFramesOfSize(laterFrames_.path(), upright);
  EXPECT_TRUE(app_->running());
}

}  // namespace app
