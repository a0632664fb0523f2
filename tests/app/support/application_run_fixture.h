#pragma once

// What every run of the real application in a test stands on: a private X server and a probe
// of what it shows, a home folder of its own, a local update server that answers the version
// check (counting the checks, and holding them back while a test wants to see what comes
// before the answer), and the application started with an environment that points at these
// and at nothing of the machine's.

#include <gtest/gtest.h>
#include <httplib.h>

#include <QImage>
#include <QRect>
#include <QSize>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/support/app_e2e_support.h"
#include "app/support/app_test_support.h"

namespace app::test {

class ApplicationRunFixture : public testing::Test {
 protected:
  // The X server the application runs on.
  struct Screen {
    QSize size{1920, 1080};
    PrivateXServer::Room room = PrivateXServer::Room::none;
  };
  // The application's environment: the test's own, less `unset`, then with `set`.
  struct Environment {
    std::map<std::string, std::string> set;
    std::vector<std::string> unset;
  };

  // How long a wait lasts unless the test says otherwise.
  static constexpr std::chrono::seconds kPatience{30};

  void SetUp() override {
    if (!std::filesystem::exists(program())) GTEST_SKIP() << "no application binary";
    if (!PrivateXServer::available()) GTEST_SKIP() << "no Xvfb";
    // The application dials the device port at once, where another test's simulator may listen.
    devicePort_ = std::make_unique<DevicePortLock>();
    ASSERT_TRUE(devicePort_->held());
    // A runtime folder of the run's own: the application finds a running copy of itself there,
    // and must not find another test's.
    std::filesystem::create_directories(runtimeDir());
    std::filesystem::permissions(runtimeDir(), std::filesystem::perms::owner_all);
    const Screen wanted = screen();
    auto x = PrivateXServer::start(wanted.size, wanted.room);
    ASSERT_TRUE(x.has_value()) << "Xvfb did not start: " << x.error();
    x_ = std::move(*x);
    probe_ = std::make_unique<XProbe>(x_->display());
    ASSERT_TRUE(probe_->connected());

    server_.set_keep_alive_max_count(1);
    server_.Get("/updates/wp-content/uploads/tovarine/TovarineVersioning.json",
                [this](const httplib::Request&, httplib::Response& response) {
                  ++checks_;
                  {
                    std::unique_lock lock(mutex_);
                    released_.wait_for(lock, std::chrono::seconds(30), [this] { return !held_; });
                  }
                  // The build's own version: no update.
                  response.set_content(
                      R"({"name":"Tovarine","releaseVersion":1.0,"buildVersion":1,)"
                      R"("isMandatory":true})",
                      "application/json");
                });
    port_ = server_.bind_to_any_port("127.0.0.1");
    serverThread_ = std::thread([this] { server_.listen_after_bind(); });
  }

  void TearDown() override {
    answerUpdateChecks();
    app_.reset();
    if (serverThread_.joinable()) {
      server_.stop();
      serverThread_.join();
    }
    probe_.reset();
    x_.reset();
    devicePort_.reset();
  }

  virtual Screen screen() const { return {}; }
  // The program the test runs: the build's, unless the test says otherwise.
  virtual std::filesystem::path program() const { return applicationBinary(); }

  virtual Environment applicationEnvironment() const {
    return {{{"DISPLAY", x_->display()},
             {"HOME", home_.path().string()},
             {"XDG_RUNTIME_DIR", runtimeDir().string()},
             {"TOVARINE_UPDATE_URL", "http://127.0.0.1:" + std::to_string(port_) + "/updates"},
             {"QT_QPA_PLATFORM", "xcb"},
             {"DBUS_SESSION_BUS_ADDRESS", kNoSessionBus},
             {"LANG", "en_US.UTF-8"},
             {"ASAN_OPTIONS", "detect_leaks=0"}},
            {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "TOVARINE_RESOURCES", "LC_ALL", "LC_MESSAGES"}};
  }

  std::filesystem::path runtimeDir() const { return home_.path() / "runtime"; }

  // Whether what the test runs is still running; a wait gives up once it is not.
  virtual bool running() { return app_ && app_->running(); }

  void startApplication() {
    const Environment environment = applicationEnvironment();
    app_ = std::make_unique<Child>(std::vector<std::string>{program().string()}, environment.set,
                                   environment.unset);
    ASSERT_TRUE(app_->started());
  }

  // Update checks wait for `answerUpdateChecks` (for 30 seconds at most) before they are
  // answered.
  void holdUpdateChecks() {
    std::lock_guard lock(mutex_);
    held_ = true;
  }
  void answerUpdateChecks() {
    {
      std::lock_guard lock(mutex_);
      held_ = false;
    }
    released_.notify_all();
  }

  // Polls until `condition` holds; false once the deadline passes without it, or as soon as
  // `running` says the run ended.
  bool waitFor(const std::function<bool()>& condition,
               std::chrono::steady_clock::duration timeout = kPatience) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      if (condition()) return true;
      if (!running()) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return condition();
  }

  // Where the application's window is, once it is shown.
  std::optional<QRect> waitForWindow(
      std::chrono::steady_clock::duration timeout = std::chrono::seconds(60)) {
    std::optional<QRect> frame;
    waitFor([&] { return (frame = probe_->windowFrame("Tovarine")).has_value(); }, timeout);
    return frame;
  }

  // The part of the screen inside `frame_`; null when the screen cannot be read.
  QImage windowPicture() {
    const QImage shot = probe_->screenshot();
    return shot.isNull() ? shot : shot.copy(frame_);
  }

  std::unique_ptr<DevicePortLock> devicePort_;  // first in, so released last
  TemporaryFolder home_;
  std::unique_ptr<PrivateXServer> x_;
  std::unique_ptr<XProbe> probe_;
  httplib::Server server_;
  int port_ = 0;
  std::thread serverThread_;
  std::atomic<int> checks_{0};
  std::mutex mutex_;
  std::condition_variable released_;
  bool held_ = false;
  std::unique_ptr<Child> app_;
  QRect frame_;  // the window, where a test looks at it
};

}  // namespace app::test
