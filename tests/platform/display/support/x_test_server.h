#pragma once

// An Xvfb server of a test's own, with helpers to shape and draw on it. Header-only so the
// display tests of the platform, of the streaming engine and of the application can share it.

#include <gtest/gtest.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/display/display_environment.h"
#include "platform/display/screen_parameters.h"
#include "platform/display/x11/x_connection.h"
#include "platform/display/xvfb/xvfb_server.h"

namespace testing_display {

// The size the test server's screen is started with: an Xvfb screen can shrink but never
// grow past it.
inline constexpr std::uint32_t kServerWidth = 8192;
inline constexpr std::uint32_t kServerHeight = 4096;
// The size the screen is shrunk to before a test, leaving room to add displays.
inline constexpr std::uint16_t kBaseWidth = 1280;
inline constexpr std::uint16_t kBaseHeight = 800;

// Shrinks the screen of the server behind `x` to `width` by `height`: a mode of that size for
// the server's output, the CRTC switched to it, then the screen size.
inline bool shrinkScreen(platform::x11::Connection& x, std::uint16_t width, std::uint16_t height) {
  xcb_connection_t* c = x.get();
  const xcb_window_t root = x.root();
  platform::x11::Reply<xcb_randr_query_version_reply_t> version(
      xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 6), nullptr));
  platform::x11::Reply<xcb_randr_get_screen_resources_current_reply_t> resources(
      xcb_randr_get_screen_resources_current_reply(
          c, xcb_randr_get_screen_resources_current(c, root), nullptr));
  if (!version || !resources || resources->num_outputs < 1 || resources->num_crtcs < 1) {
    return false;
  }
  const xcb_randr_output_t output =
      xcb_randr_get_screen_resources_current_outputs(resources.get())[0];
  const xcb_randr_crtc_t crtc = xcb_randr_get_screen_resources_current_crtcs(resources.get())[0];

  const std::string name = std::to_string(width) + "x" + std::to_string(height);
  xcb_randr_mode_info_t info{};
  info.width = width;
  info.height = height;
  info.name_len = static_cast<std::uint16_t>(name.size());
  platform::x11::Reply<xcb_randr_create_mode_reply_t> mode(xcb_randr_create_mode_reply(
      c, xcb_randr_create_mode(c, root, info, info.name_len, name.c_str()), nullptr));
  if (!mode) return false;
  if (!x.check(xcb_randr_add_output_mode_checked(c, output, mode->mode))) return false;
  platform::x11::Reply<xcb_randr_set_crtc_config_reply_t> crtcSet(xcb_randr_set_crtc_config_reply(
      c,
      xcb_randr_set_crtc_config(c, crtc, XCB_CURRENT_TIME, resources->config_timestamp, 0, 0,
                                mode->mode, XCB_RANDR_ROTATION_ROTATE_0, 1, &output),
      nullptr));
  if (!crtcSet || crtcSet->status != XCB_RANDR_SET_CONFIG_SUCCESS) return false;
  platform::x11::Connection::ScreenSize size;
  size.width = width;
  size.height = height;
  size.widthInMillimeters = width * 254u / 960u;  // 96 dpi
  size.heightInMillimeters = height * 254u / 960u;
  return x.setScreenSize(size);
}

class TestXServer {
 public:
  // Starts the server, shrinks its screen to the base size and points the display layer at it
  // with the given backend. Fails the test (fatally) when that cannot be done.
  void start(platform::VirtualDisplayBackendKind backend =
                 platform::VirtualDisplayBackendKind::randrMonitor) {
    platform::XvfbServer::Options options;
    options.width = kServerWidth;
    options.height = kServerHeight;
    options.extraArguments = {"-noreset"};
    auto launched = platform::XvfbServer::launch(options);
    ASSERT_TRUE(launched.has_value()) << launched.error();
    server_ = std::move(*launched);
    auto connection = platform::x11::Connection::open(server_->displayName());
    ASSERT_TRUE(connection.has_value()) << connection.error();
    x_ = std::move(*connection);
    ASSERT_TRUE(shrinkScreen(*x_, kBaseWidth, kBaseHeight));
    platform::DisplayEnvironment environment;
    environment.xDisplay = server_->displayName();
    environment.backend = backend;
    platform::setDisplayEnvironment(environment);
  }

  ~TestXServer() { stop(); }

  void stop() {
    platform::stopScreenParametersNotifications();
    platform::setDisplayEnvironment(std::nullopt);
    x_.reset();
    server_.reset();
  }

  static bool available() { return platform::XvfbServer::isAvailable(); }

  const std::string& displayName() const { return server_->displayName(); }
  platform::XvfbServer& server() { return *server_; }
  platform::x11::Connection& x() { return *x_; }

  std::pair<std::uint16_t, std::uint16_t> screenSize() {
    auto size = x_->currentScreenSize();
    if (!size) return {0, 0};
    return {size->width, size->height};
  }

  std::vector<platform::x11::Monitor> monitors() {
    return x_->monitors(true).value_or(std::vector<platform::x11::Monitor>{});
  }

  std::optional<platform::x11::Monitor> monitorNamed(const std::string& name) {
    for (const auto& monitor : monitors()) {
      if (x_->atomName(monitor.name) == name) return monitor;
    }
    return std::nullopt;
  }

  // Adds a monitor without an output (as another program could).
  bool addMonitor(const std::string& name, std::int16_t x, std::int16_t y, std::uint16_t width,
                  std::uint16_t height, std::uint32_t widthMM, std::uint32_t heightMM) {
    auto atom = x_->internAtom(name);
    if (!atom) return false;
    platform::x11::Monitor monitor;
    monitor.name = *atom;
    monitor.x = x;
    monitor.y = y;
    monitor.width = width;
    monitor.height = height;
    monitor.widthInMillimeters = widthMM;
    monitor.heightInMillimeters = heightMM;
    return x_->setMonitor(monitor);
  }

  // Fills a rectangle of the root window with 0xRRGGBB.
  void fillRoot(std::int16_t x, std::int16_t y, std::uint16_t width, std::uint16_t height,
                std::uint32_t rgb) {
    fillRootOn(*x_, x, y, width, height, rgb);
  }

  static void fillRootOn(platform::x11::Connection& connection, std::int16_t x, std::int16_t y,
                         std::uint16_t width, std::uint16_t height, std::uint32_t rgb) {
    xcb_connection_t* c = connection.get();
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, connection.root(), XCB_GC_FOREGROUND, &rgb);
    const xcb_rectangle_t rectangle{x, y, width, height};
    xcb_poly_fill_rectangle(c, connection.root(), gc, 1, &rectangle);
    xcb_free_gc(c, gc);
    platform::x11::Reply<xcb_get_input_focus_reply_t> sync(
        xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  }

  // Whether the server behind a connection still answers (a round trip succeeds).
  static bool answers(platform::x11::Connection& connection) {
    platform::x11::SigpipeGuard guard;
    platform::x11::Reply<xcb_get_input_focus_reply_t> reply(xcb_get_input_focus_reply(
        connection.get(), xcb_get_input_focus(connection.get()), nullptr));
    return reply != nullptr && !connection.hasError();
  }

  // Maps a window with a solid background over a rectangle (what an application would do).
  xcb_window_t mapWindow(std::int16_t x, std::int16_t y, std::uint16_t width, std::uint16_t height,
                         std::uint32_t rgb) {
    xcb_connection_t* c = x_->get();
    const xcb_window_t window = xcb_generate_id(c);
    const std::uint32_t values[] = {rgb, 1};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, x_->root(), x, y, width, height, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, x_->screen()->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(c, window);
    platform::x11::Reply<xcb_get_input_focus_reply_t> sync(
        xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    return window;
  }

 private:
  std::unique_ptr<platform::XvfbServer> server_;
  std::unique_ptr<platform::x11::Connection> x_;
};

}  // namespace testing_display
