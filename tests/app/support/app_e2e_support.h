#pragma once

// Running the real application in tests: child processes with their own environment, a
// private X server of a known size, and a probe that finds windows and takes screenshots.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QImage>
#include <QRect>
#include <QSize>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace app::test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline std::optional<fs::path> findProgram(const std::string& name) {
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

  // Where the mapped top-level window named `name` is on the screen, without any frame.
  std::optional<QRect> windowFrame(const std::string& name) {
    const auto size = windowSize(name);
    if (!size) return std::nullopt;
    auto tree =
        xcb_query_tree_reply(connection_, xcb_query_tree(connection_, screen_->root), nullptr);
    if (!tree) return std::nullopt;
    std::optional<QRect> found;
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
      const bool named =
          property && std::string(static_cast<const char*>(xcb_get_property_value(property)),
                                  xcb_get_property_value_length(property)) == name;
      free(property);
      if (!named) continue;
      auto origin = xcb_translate_coordinates_reply(
          connection_, xcb_translate_coordinates(connection_, children[i], screen_->root, 0, 0),
          nullptr);
      if (origin) found = QRect(QPoint(origin->dst_x, origin->dst_y), *size);
      free(origin);
    }
    free(tree);
    return found;
  }

  QImage screenshot() {
    // The screen as it is now: the connection's setup tells the size the server started with,
    // and a screen grows and shrinks as displays are added beside it and removed.
    auto geometry =
        xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, screen_->root), nullptr);
    if (!geometry) return {};
    const int width = geometry->width;
    const int height = geometry->height;
    free(geometry);
    auto reply = xcb_get_image_reply(
        connection_,
        xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, screen_->root, 0, 0,
                      static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height), ~0u),
        nullptr);
    if (!reply) return {};
    QImage image(xcb_get_image_data(reply), width, height, width * 4, QImage::Format_RGB32);
    QImage copy = image.copy();
    free(reply);
    return copy;
  }

 private:
  xcb_connection_t* connection_ = nullptr;
  xcb_screen_t* screen_ = nullptr;
};

// A session-bus address for the application's environment that fails at once. Without any,
// Qt's D-Bus client forks from its own thread to launch a bus, and under AddressSanitizer that
// child can hang on an allocator lock before it execs, holding the application up before its
// window appears (and staying behind, spinning, after the application ends).
inline constexpr const char* kNoSessionBus = "unix:path=/nonexistent/session-bus";

inline fs::path applicationBinary() {
  const fs::path self = fs::read_symlink("/proc/self/exe");
  return self.parent_path().parent_path() / "src" / "app" / "tovarine";
}

// The application always dials its device on the one loopback port of the machine, so two tests
// that run it at the same time (ctest -j) would meet through that port: one's application would
// find the other's device. Every test that runs the application, or a device on that port,
// holds this for its whole length; it waits for the others, and the lock goes with the process.
class DevicePortLock {
 public:
  DevicePortLock() {
    fd_ = ::open((fs::temp_directory_path() / "tovarine-e2e-device-port.lock").c_str(),
                 O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) return;
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        ::close(fd_);
        fd_ = -1;
        return;
      }
    }
  }
  ~DevicePortLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  DevicePortLock(const DevicePortLock&) = delete;
  DevicePortLock& operator=(const DevicePortLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace app::test
