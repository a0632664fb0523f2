// The real application streaming to the companion simulator over loopback: the simulator is
// found, a display of its size joins the X screen, what is drawn there reaches the simulator as
// JPEG frames of the expected size, the starting screen says so, and everything returns to how
// it was when the simulator goes — ready for the next one.

#include <gtest/gtest.h>

#include <QImage>
#include <QRect>
#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/support/app_test_support.h"
#include "app/support/application_run_fixture.h"
#include "app/support/streaming_e2e_support.h"

namespace app {
namespace {

namespace fs = std::filesystem;
using test::Child;
using test::companionBinary;
using test::StartingLook;

// The application always looks for its device on this port, on USB and on loopback.
constexpr int kDevicePort = 2345;
const QSize kMainScreen(1920, 1080);
const QSize kWindowSize(1280, 900);
const QSize kDeviceScreen(1024, 768);
constexpr std::uint32_t kPaint = 0xF2A541;

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

class StreamingRun : public test::ApplicationRunFixture {
 protected:
  void SetUp() override {
    if (!fs::exists(companionBinary())) GTEST_SKIP() << "no companion simulator";
    // Any application another test runs meanwhile would dial the simulator too: the fixture
    // holds the device port.
    ApplicationRunFixture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    // Not the first run: straight to the starting screen, which runs the streaming engine.
    home_.write(".config/tovarine/defaults.json", R"({"isFirstInstallation": true})");
  }

  void TearDown() override {
    companion_.reset();
    ApplicationRunFixture::TearDown();
  }

  // Room beside the main screen for the tablet's display.
  Screen screen() const override { return {kMainScreen, test::PrivateXServer::Room::toGrow}; }

  Environment applicationEnvironment() const override {
    Environment environment = ApplicationRunFixture::applicationEnvironment();
    environment.unset.push_back("TOVARINE_DISPLAY_BACKEND");
    return environment;
  }

  // The simulator too, while it is meant to run.
  bool running() override {
    return ApplicationRunFixture::running() && (!companion_ || companion_->running());
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

  test::TemporaryFolder frames_;
  test::TemporaryFolder laterFrames_;
  std::unique_ptr<Child> companion_;
};

}  // namespace

TEST_F(StreamingRun, TheSimulatorConnectsGetsFramesOfItsDisplayLeavesAndComesBack) {
  startApplication();

  // The starting screen, centred on the main screen, waiting for a tablet.
  const auto frame = waitForWindow(kPatience);
  ASSERT_TRUE(frame.has_value()) << "no window appeared";
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
