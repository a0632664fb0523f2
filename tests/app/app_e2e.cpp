#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QImage>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "app/support/app_test_support.h"

extern char** environ;

namespace app {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::optional<fs::path> findProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string_view rest = path ? path : "/usr/bin:/bin";
  while (!rest.empty()) {
    const auto colon = rest.find(':');
    const fs::path candidate = fs::path(std::string(rest.substr(0, colon))) / name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  return std::nullopt;
}

// A child process with its own environment (the parent's, with the given changes); ended
// when the object goes.
class Child {
 public:
  Child(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& set,
        const std::vector<std::string>& unset = {}, std::vector<int> keepOpen = {}) {
    std::map<std::string, std::string> environment;
    for (char** e = environ; *e; ++e) {
      std::string entry(*e);
      const auto eq = entry.find('=');
      if (eq != std::string::npos) environment[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& name : unset)
      environment.erase(name);
    for (const auto& [name, value] : set)
      environment[name] = value;
    std::vector<std::string> envText;
    for (const auto& [name, value] : environment)
      envText.push_back(name + "=" + value);
    std::vector<char*> envp, argv;
    for (auto& e : envText)
      envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = arguments;
    for (auto& a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    (void)keepOpen;
    const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) pid_ = -1;
  }
  ~Child() { stop(); }
  bool started() const { return pid_ > 0; }
  bool running() {
    if (pid_ <= 0) return false;
    int status;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    return true;
  }
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status;
    for (int i = 0; i < 500; ++i) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

// A private X server of a known size, so the window's size can be predicted.
class PrivateXServer {
 public:
  PrivateXServer(int width, int height) {
    auto xvfb = findProgram("Xvfb");
    if (!xvfb) return;
    int fds[2];
    if (::pipe(fds) != 0) return;
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> args{xvfb->string(), "-displayfd", "3",   "-screen", "0",
                                  screen,         "-nolisten",  "tcp", "-noreset"};
    std::vector<char*> argv;
    for (auto& a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    while (Clock::now() < deadline && ::poll(&p, 1, 100) >= 0) {
      if (!(p.revents & (POLLIN | POLLHUP))) continue;
      char c;
      if (::read(fds[0], &c, 1) != 1 || c == '\n') break;
      number += c;
    }
    ::close(fds[0]);
    if (!number.empty()) display_ = ":" + number;
  }
  ~PrivateXServer() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status;
      ::waitpid(pid_, &status, 0);
    }
  }
  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

// What the X server shows: the top-level window named "Tovarine" and pictures of the screen.
class XProbe {
 public:
  explicit XProbe(const std::string& display) {
    connection_ = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(connection_)) {
      xcb_disconnect(connection_);
      connection_ = nullptr;
      return;
    }
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
  }
  ~XProbe() {
    if (connection_) xcb_disconnect(connection_);
  }
  bool connected() const { return connection_ != nullptr; }

  // The size of the mapped top-level window whose name is `name`.
  std::optional<QSize> windowSize(const std::string& name) {
    auto tree =
        xcb_query_tree_reply(connection_, xcb_query_tree(connection_, screen_->root), nullptr);
    if (!tree) return std::nullopt;
    std::optional<QSize> found;
    const xcb_window_t* children = xcb_query_tree_children(tree);
    for (int i = 0; i < xcb_query_tree_children_length(tree) && !found; ++i) {
      auto attributes = xcb_get_window_attributes_reply(
          connection_, xcb_get_window_attributes(connection_, children[i]), nullptr);
      const bool mapped = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
      free(attributes);
      if (!mapped) continue;
      auto property = xcb_get_property_reply(
          connection_,
          xcb_get_property(connection_, 0, children[i], XCB_ATOM_WM_NAME, XCB_ATOM_ANY, 0, 256),
          nullptr);
      if (property) {
        const std::string title(static_cast<const char*>(xcb_get_property_value(property)),
                                xcb_get_property_value_length(property));
        if (title == name) {
          auto geometry = xcb_get_geometry_reply(
              connection_, xcb_get_geometry(connection_, children[i]), nullptr);
          if (geometry) found = QSize(geometry->width, geometry->height);
          free(geometry);
        }
      }
      free(property);
    }
    free(tree);
    return found;
  }

  QImage screenshot() {
    auto reply = xcb_get_image_reply(
        connection_,
        xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, screen_->root, 0, 0,
                      screen_->width_in_pixels, screen_->height_in_pixels, ~0u),
        nullptr);
    if (!reply) return {};
    const int width = screen_->width_in_pixels;
    const int height = screen_->height_in_pixels;
    QImage image(xcb_get_image_data(reply), width, height, width * 4, QImage::Format_RGB32);
    QImage copy = image.copy();
    free(reply);
    return copy;
  }

 private:
  xcb_connection_t* connection_ = nullptr;
  xcb_screen_t* screen_ = nullptr;
};

fs::path applicationBinary() {
  const fs::path self = fs::read_symlink("/proc/self/exe");
  return self.parent_path().parent_path() / "src" / "app" / "tovarine";
}

class ApplicationRun : public testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(applicationBinary())) GTEST_SKIP() << "no application binary";
    if (!findProgram("Xvfb")) GTEST_SKIP() << "no Xvfb";
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
