#pragma once

// Running the real application in tests: child processes with their own environment, a
// private X server of a known size, and a probe that finds windows and takes screenshots.

#include <fcntl.h>
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
#include <cstdint>
#include <expected>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/display/support/x_test_server.h"
#include "platform/display/x11/x_connection.h"
#include "platform/display/xvfb/xvfb_server.h"

extern char** environ;

namespace app::test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

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
  pid_t pid() const { return pid_; }
  bool running() {
    if (pid_ <= 0) return false;
    int status;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      status_ = status;
      return false;
    }
    return true;
  }
  // The exit code once `running` saw the process end by itself; nothing while it runs or when
  // a signal ended it.
  std::optional<int> exitCode() const {
    if (!status_ || !WIFEXITED(*status_)) return std::nullopt;
    return WEXITSTATUS(*status_);
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
  std::optional<int> status_;
};

// A private X server of a known size, so the window's size can be predicted. One with room to
// grow starts as large as an Xvfb screen can ever be (it never grows past the size it was
// started with) and is shrunk to the size through RandR, so that displays the application adds
// can join the screen beside it.
class PrivateXServer {
 public:
  enum class Room { none, toGrow };

  static bool available() { return platform::XvfbServer::isAvailable(); }

  static std::expected<std::unique_ptr<PrivateXServer>, std::string> start(QSize size,
                                                                           Room room = Room::none) {
    const auto width = static_cast<std::uint16_t>(size.width());
    const auto height = static_cast<std::uint16_t>(size.height());
    platform::XvfbServer::Options options;
    options.width = room == Room::toGrow ? testing_display::kServerWidth : width;
    options.height = room == Room::toGrow ? testing_display::kServerHeight : height;
    options.extraArguments = {"-noreset"};
    auto server = platform::XvfbServer::launch(options);
    if (!server) return std::unexpected(server.error());
    auto connection = platform::x11::Connection::open((*server)->displayName());
    if (!connection) return std::unexpected(connection.error());
    if (room == Room::toGrow && !testing_display::shrinkScreen(**connection, width, height)) {
      return std::unexpected("the X server cannot be shrunk to " + std::to_string(width) + "x" +
                             std::to_string(height));
    }
    return std::unique_ptr<PrivateXServer>(
        new PrivateXServer(std::move(*server), std::move(*connection)));
  }

  const std::string& display() const { return server_->displayName(); }

  QSize screenSize() {
    auto size = x_->currentScreenSize();
    return size ? QSize(size->width, size->height) : QSize();
  }

  struct MonitorArea {
    std::string name;
    QRect area;
  };
  std::vector<MonitorArea> monitors() {
    std::vector<MonitorArea> found;
    for (const auto& monitor : x_->monitors(true).value_or(std::vector<platform::x11::Monitor>{})) {
      found.push_back(
          {x_->atomName(monitor.name), QRect(monitor.x, monitor.y, monitor.width, monitor.height)});
    }
    return found;
  }

  // Paints a rectangle of the screen with 0xRRGGBB, as a window drawn there would.
  void fill(const QRect& area, std::uint32_t rgb) {
    testing_display::TestXServer::fillRootOn(
        *x_, static_cast<std::int16_t>(area.x()), static_cast<std::int16_t>(area.y()),
        static_cast<std::uint16_t>(area.width()), static_cast<std::uint16_t>(area.height()), rgb);
  }

 private:
  PrivateXServer(std::unique_ptr<platform::XvfbServer> server,
                 std::unique_ptr<platform::x11::Connection> connection)
      : server_(std::move(server)), x_(std::move(connection)) {}

  std::unique_ptr<platform::XvfbServer> server_;
  std::unique_ptr<platform::x11::Connection> x_;
};

// What the X server shows: the top-level window named "Tovarine" and pictures of the screen.
class XProbe {
 public:
  explicit XProbe(const std::string& display) {
    if (auto connection = platform::x11::Connection::open(display)) x_ = std::move(*connection);
  }
  bool connected() const { return x_ != nullptr; }

  // Where the mapped top-level window named `name` is on the screen, without any frame.
  std::optional<QRect> windowFrame(const std::string& name) {
    const auto window = findWindow(name);
    if (!window) return std::nullopt;
    platform::x11::Reply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(x_->get(), xcb_get_geometry(x_->get(), *window), nullptr));
    platform::x11::Reply<xcb_translate_coordinates_reply_t> origin(xcb_translate_coordinates_reply(
        x_->get(), xcb_translate_coordinates(x_->get(), *window, x_->root(), 0, 0), nullptr));
    if (!geometry || !origin) return std::nullopt;
    return QRect(origin->dst_x, origin->dst_y, geometry->width, geometry->height);
  }

  // Whether the top-level window named `name` is mapped above every other mapped one.
  bool onTop(const std::string& name) {
    const auto window = findWindow(name);
    if (!window) return false;
    xcb_connection_t* c = x_->get();
    platform::x11::Reply<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(c, xcb_query_tree(c, x_->root()), nullptr));
    if (!tree) return false;
    // Listed from the bottom of the stack to the top.
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    for (int i = xcb_query_tree_children_length(tree.get()) - 1; i >= 0; --i) {
      platform::x11::Reply<xcb_get_window_attributes_reply_t> attributes(
          xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, children[i]), nullptr));
      if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE) {
        return children[i] == *window;
      }
    }
    return false;
  }

  QImage screenshot() {
    // The screen as it is now: the connection's setup tells the size the server started with,
    // and a screen grows and shrinks as displays are added beside it and removed.
    xcb_connection_t* c = x_->get();
    platform::x11::Reply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(c, xcb_get_geometry(c, x_->root()), nullptr));
    if (!geometry) return {};
    const int width = geometry->width;
    const int height = geometry->height;
    platform::x11::Reply<xcb_get_image_reply_t> reply(xcb_get_image_reply(
        c,
        xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, x_->root(), 0, 0,
                      static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height), ~0u),
        nullptr));
    if (!reply) return {};
    const QImage image(xcb_get_image_data(reply.get()), width, height, width * 4,
                       QImage::Format_RGB32);
    return image.copy();
  }

 private:
  // The first mapped child of the root window whose name is `name`.
  std::optional<xcb_window_t> findWindow(const std::string& name) {
    xcb_connection_t* c = x_->get();
    platform::x11::Reply<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(c, xcb_query_tree(c, x_->root()), nullptr));
    if (!tree) return std::nullopt;
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
      platform::x11::Reply<xcb_get_window_attributes_reply_t> attributes(
          xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, children[i]), nullptr));
      if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE) continue;
      platform::x11::Reply<xcb_get_property_reply_t> property(xcb_get_property_reply(
          c, xcb_get_property(c, 0, children[i], XCB_ATOM_WM_NAME, XCB_ATOM_ANY, 0, 256), nullptr));
      if (property && std::string(static_cast<const char*>(xcb_get_property_value(property.get())),
                                  xcb_get_property_value_length(property.get())) == name) {
        return children[i];
      }
    }
    return std::nullopt;
  }

  std::unique_ptr<platform::x11::Connection> x_;
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
