// However the application ends while a tablet is connected — asked to by a signal, or killed
// outright — the tablet's display does not stay behind: the monitor list and the screen size
// return to where they were, and no X server the application started survives it.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <QRect>
#include <QSize>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/support/app_test_support.h"
#include "app/support/application_run_fixture.h"
#include "app/support/streaming_e2e_support.h"

namespace app {
namespace {

namespace fs = std::filesystem;
using test::Child;
using test::companionBinary;

constexpr int kDevicePort = 2345;
const QSize kMainScreen(1920, 1080);
const QSize kDeviceScreen(1024, 768);

// Polls, whatever runs or not, until `condition` holds or the time is up.
bool eventually(const std::function<bool()>& condition, std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return condition();
}

// The Xvfb servers `parent` started, from /proc.
std::vector<pid_t> xvfbChildrenOf(pid_t parent) {
  std::vector<pid_t> children;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream file(entry.path() / "stat");
    std::stringstream stat;
    stat << file.rdbuf();
    const std::string text = stat.str();
    const auto open = text.find('(');
    const auto close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    std::istringstream rest(text.substr(close + 2));
    std::string state;
    pid_t ppid = 0;
    rest >> state >> ppid;
    if (ppid == parent && text.substr(open + 1, close - open - 1) == "Xvfb") {
      children.push_back(std::stoi(name));
    }
  }
  return children;
}

// Gone, or ended and waiting to be reaped.
bool ended(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  if (!file) return true;
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

class ShutdownRun : public test::ApplicationRunFixture {
 protected:
  void SetUp() override {
    if (!fs::exists(companionBinary())) GTEST_SKIP() << "no companion simulator";
    ApplicationRunFixture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    home_.write(".config/tovarine/defaults.json", R"({"isFirstInstallation": true})");
    // Servers the killed application leaves are this process's to reap.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  }

  void TearDown() override {
    companion_.reset();
    ApplicationRunFixture::TearDown();
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
  }

  Screen screen() const override { return {kMainScreen, test::PrivateXServer::Room::toGrow}; }

  Environment applicationEnvironment() const override {
    Environment environment = ApplicationRunFixture::applicationEnvironment();
    environment.unset.push_back("TOVARINE_DISPLAY_BACKEND");
    if (xvfbBackend_) environment.set["TOVARINE_DISPLAY_BACKEND"] = "xvfb";
    return environment;
  }

  bool running() override {
    return ApplicationRunFixture::running() && (!companion_ || companion_->running());
  }

  void startCompanion() {
    companion_ = std::make_unique<Child>(
        std::vector<std::string>{companionBinary().string(), "--port", std::to_string(kDevicePort),
                                 "--name", "Desk Tablet", "--width",
                                 std::to_string(kDeviceScreen.width()), "--height",
                                 std::to_string(kDeviceScreen.height()), "--ppi", "132", "--save",
                                 frames_.path().string(), "--quiet"},
        std::map<std::string, std::string>{{"ASAN_OPTIONS", "detect_leaks=0"}});
    ASSERT_TRUE(companion_->started());
  }

  bool companionSawFrames() {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(frames_.path(), error)) {
      if (entry.path().extension() == ".jpg") return true;
    }
    return false;
  }

  bool screenAsAtStart() { return x_->monitors().size() == 1 && x_->screenSize() == kMainScreen; }

  // Ends the application with `signal` and waits until it has ended.
  void endApplication(int signal) {
    const pid_t pid = app_->pid();
    ASSERT_GT(pid, 0);
    ::kill(pid, signal);
    ASSERT_TRUE(eventually([&] { return !app_->running(); }, std::chrono::seconds(30)))
        << "the application did not end on signal " << signal;
  }

  bool xvfbBackend_ = false;
  test::TemporaryFolder frames_;
  std::unique_ptr<Child> companion_;
};

TEST_F(ShutdownRun, ASignalEndsTheApplicationAndTakesTheTabletsDisplayWithIt) {
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    ASSERT_TRUE(screenAsAtStart());
    startApplication();
    startCompanion();
    ASSERT_TRUE(waitFor([&] { return x_->monitors().size() == 2; }))
        << "no display appeared for the tablet";
    endApplication(signal);
    EXPECT_TRUE(eventually([&] { return screenAsAtStart(); }, std::chrono::seconds(5)))
        << "signal " << signal << " left " << x_->monitors().size() << " monitors";
    companion_.reset();
  }
}

TEST_F(ShutdownRun, AKilledApplicationsDisplayIsRemovedByTheNextStart) {
  startApplication();
  startCompanion();
  ASSERT_TRUE(waitFor([&] { return x_->monitors().size() == 2; }));
  endApplication(SIGKILL);
  // The application could not clean up after SIGKILL; its guardian does, within a second...
  EXPECT_TRUE(eventually([&] { return screenAsAtStart(); }, std::chrono::seconds(1)))
      << x_->monitors().size() << " monitors a second after the kill";
  companion_.reset();
  // ...and the next start finds the screen as it was.
  startApplication();
  EXPECT_TRUE(waitFor([&] { return screenAsAtStart(); }))
      << x_->monitors().size() << " monitors, screen " << x_->screenSize().width() << "x"
      << x_->screenSize().height();
}

TEST_F(ShutdownRun, AKilledApplicationLeavesNoXServerOfItsOwnBehind) {
  xvfbBackend_ = true;
  startApplication();
  startCompanion();
  std::vector<pid_t> servers;
  ASSERT_TRUE(waitFor([&] { return !(servers = xvfbChildrenOf(app_->pid())).empty(); }))
      << "the application started no X server for the tablet";
  // Streaming, so the server is there to stay.
  ASSERT_TRUE(waitFor([&] { return companion_ && companionSawFrames(); }));
  for (pid_t server : servers)
    ASSERT_FALSE(ended(server));
  endApplication(SIGKILL);
  for (pid_t server : servers) {
    EXPECT_TRUE(eventually([&] { return ended(server); }, std::chrono::seconds(10)))
        << "Xvfb " << server << " outlived the application";
  }
}

}  // namespace
}  // namespace app
