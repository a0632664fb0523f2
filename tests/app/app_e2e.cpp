#include <gtest/gtest.h>
#include <httplib.h>

#include <QImage>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "app/support/app_e2e_support.h"
#include "app/support/app_test_support.h"

namespace app {
namespace {

namespace fs = std::filesystem;
using test::applicationBinary;
using test::Child;
using test::Clock;
using test::findProgram;
using test::PrivateXServer;
using test::XProbe;

class ApplicationRun : public testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(applicationBinary())) GTEST_SKIP() << "no application binary";
    if (!findProgram("Xvfb")) GTEST_SKIP() << "no Xvfb";
    // The starting screen connects to the device port, where another test's simulator may
    // listen.
    devicePort_ = std::make_unique<test::DevicePortLock>();
    ASSERT_TRUE(devicePort_->held());
    x_ = std::make_unique<PrivateXServer>(1920, 1080);
    ASSERT_FALSE(x_->display().empty()) << "Xvfb did not start";
    probe_ = std::make_unique<XProbe>(x_->display());
    ASSERT_TRUE(probe_->connected());

    server_.set_keep_alive_max_count(1);
    server_.Get(
        "/updates/wp-content/uploads/tovarine/TovarineVersioning.json",
        [this](const httplib::Request&, httplib::Response& response) {
          ++checks_;
          // The build's own version: no update.
          response.set_content(
              R"({"name":"Tovarine","releaseVersion":1.0,"buildVersion":1,"isMandatory":true})",
              "application/json");
        });
    port_ = server_.bind_to_any_port("127.0.0.1");
    serverThread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  void TearDown() override {
    app_.reset();
    if (serverThread_.joinable()) {
      server_.stop();
      serverThread_.join();
    }
    probe_.reset();
    x_.reset();
  }

  void start() {
    app_ = std::make_unique<Child>(
        std::vector<std::string>{applicationBinary().string()},
        std::map<std::string, std::string>{
            {"DISPLAY", x_->display()},
            {"HOME", home_.path().string()},
            {"TOVARINE_UPDATE_URL", "http://127.0.0.1:" + std::to_string(port_) + "/updates"},
            {"QT_QPA_PLATFORM", "xcb"},
            {"DBUS_SESSION_BUS_ADDRESS", test::kNoSessionBus},
            {"LANG", "en_US.UTF-8"},
            {"ASAN_OPTIONS", "detect_leaks=0"}},
        std::vector<std::string>{"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "TOVARINE_RESOURCES",
                                 "LC_ALL", "LC_MESSAGES"});
    ASSERT_TRUE(app_->started());
  }

  // Polls the screen until `predicate` holds for a screenshot; answers the last one.
  QImage waitForScreen(const std::function<bool(const QImage&)>& predicate,
                       const std::string& name) {
    QImage shot;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < deadline && app_->running()) {
      shot = probe_->screenshot();
      if (!shot.isNull() && predicate(shot)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    test::saveScreenshot(shot, name);
    return shot;
  }

  std::optional<QSize> waitForWindow() {
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < deadline && app_->running()) {
      if (auto size = probe_->windowSize("Tovarine")) return size;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return std::nullopt;
  }

  std::unique_ptr<test::DevicePortLock> devicePort_;  // first in, so released last
  test::TemporaryFolder home_;
  std::unique_ptr<PrivateXServer> x_;
  std::unique_ptr<XProbe> probe_;
  httplib::Server server_;
  int port_ = 0;
  std::thread serverThread_;
  std::atomic<int> checks_{0};
  std::unique_ptr<Child> app_;
};

constexpr QRgb kAccent = 0x5B68DF;

}  // namespace

TEST_F(ApplicationRun, AFirstRunChecksForUpdatesAndMovesOnToTheTour) {
  start();
  const auto size = waitForWindow();
  ASSERT_TRUE(size.has_value()) << "no window appeared";
  EXPECT_EQ(*size, QSize(1280, 900));
  const QImage shot =
      waitForScreen([](const QImage& image) { return test::hasRunOfColor(image, kAccent, 100); },
                    "e2e-first-run");
  EXPECT_TRUE(test::hasRunOfColor(shot, kAccent, 100)) << "the tour's Continue button is missing";
  EXPECT_EQ(checks_.load(), 1);
  EXPECT_TRUE(app_->running());
}

TEST_F(ApplicationRun, ALaterRunGoesStraightToTheStartingScreen) {
  home_.write(".config/tovarine/defaults.json", R"({"isFirstInstallation": true})");
  start();
  const auto size = waitForWindow();
  ASSERT_TRUE(size.has_value()) << "no window appeared";
  EXPECT_EQ(*size, QSize(1280, 900));
  // The starting screen's backdrop is a dark blue, where the splash is black.
  auto isStartingScreen = [](const QImage& image) {
    const QRgb corner = image.pixel(image.width() / 2 - 600, image.height() / 2 - 420);
    return qBlue(corner) > 40 && qBlue(corner) > qRed(corner);
  };
  const QImage shot = waitForScreen(isStartingScreen, "e2e-later-run");
  EXPECT_TRUE(isStartingScreen(shot));
  EXPECT_FALSE(test::hasRunOfColor(shot, kAccent, 100));  // no permission prompt on X
  EXPECT_EQ(checks_.load(), 1);
  std::ifstream in(home_.path() / ".config/tovarine/defaults.json");
  const std::string saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(saved.find("isFirstInstallation"), std::string::npos) << saved;
}

}  // namespace app
