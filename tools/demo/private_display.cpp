#include "demo/private_display.h"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include "platform/display/display_environment.h"
#include "platform/display/display_queries.h"
#include "platform/display/screen_parameters.h"
#include "platform/display/x11/x_connection.h"

namespace demo {

namespace {

constexpr std::uint32_t kServerWidth = 8192;
constexpr std::uint32_t kServerHeight = 4096;

// A mode of the new size for the server's one output, the CRTC switched to it, then the screen.
std::expected<void, std::string> shrink(platform::x11::Connection& x, std::uint16_t width,
                                        std::uint16_t height) {
  xcb_connection_t* c = x.get();
  const xcb_window_t root = x.root();
  platform::x11::Reply<xcb_randr_query_version_reply_t> version(
      xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 6), nullptr));
  platform::x11::Reply<xcb_randr_get_screen_resources_current_reply_t> resources(
      xcb_randr_get_screen_resources_current_reply(
          c, xcb_randr_get_screen_resources_current(c, root), nullptr));
  if (!version || !resources || resources->num_outputs < 1 || resources->num_crtcs < 1) {
    return std::unexpected("the private X server has no RandR output");
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
  if (!mode || !x.check(xcb_randr_add_output_mode_checked(c, output, mode->mode))) {
    return std::unexpected("the private X server refused a mode of " + name);
  }
  platform::x11::Reply<xcb_randr_set_crtc_config_reply_t> set(xcb_randr_set_crtc_config_reply(
      c,
      xcb_randr_set_crtc_config(c, crtc, XCB_CURRENT_TIME, resources->config_timestamp, 0, 0,
                                mode->mode, XCB_RANDR_ROTATION_ROTATE_0, 1, &output),
      nullptr));
  if (!set || set->status != XCB_RANDR_SET_CONFIG_SUCCESS) {
    return std::unexpected("the private X server refused to switch to " + name);
  }
  platform::x11::Connection::ScreenSize size;
  size.width = width;
  size.height = height;
  size.widthInMillimeters = width * 254u / 960u;  // 96 dpi
  size.heightInMillimeters = height * 254u / 960u;
  if (!x.setScreenSize(size)) return std::unexpected("the private X server kept its size");
  return {};
}

}  // namespace

std::expected<std::unique_ptr<PrivateDisplay>, std::string> PrivateDisplay::start(
    std::uint16_t width, std::uint16_t height) {
  platform::XvfbServer::Options options;
  options.width = kServerWidth;
  options.height = kServerHeight;
  options.extraArguments = {"-noreset"};
  auto server = platform::XvfbServer::launch(options);
  if (!server) return std::unexpected(server.error());
  auto connection = platform::x11::Connection::open((*server)->displayName());
  if (!connection) return std::unexpected(connection.error());
  if (auto shrunk = shrink(**connection, width, height); !shrunk) {
    return std::unexpected(shrunk.error());
  }
  platform::DisplayEnvironment environment;
  environment.xDisplay = (*server)->displayName();
  environment.backend = platform::VirtualDisplayBackendKind::randrMonitor;
  platform::setDisplayEnvironment(environment);
  return std::unique_ptr<PrivateDisplay>(new PrivateDisplay(std::move(*server)));
}

PrivateDisplay::~PrivateDisplay() {
  platform::stopScreenParametersNotifications();
  platform::setDisplayEnvironment(std::nullopt);
}

struct DisplayPainter::State {
  std::unique_ptr<platform::x11::Connection> connection;
  xcb_gcontext_t gc = 0;
  int x = 0;
  int y = 0;
};

DisplayPainter::DisplayPainter(std::unique_ptr<State> state) : state_(std::move(state)) {}

DisplayPainter::~DisplayPainter() {
  if (state_->gc != 0) xcb_free_gc(state_->connection->get(), state_->gc);
}

std::expected<std::unique_ptr<DisplayPainter>, std::string> DisplayPainter::open(
    std::uint32_t displayID) {
  auto location = platform::locateDisplay(displayID);
  if (!location) return std::unexpected("the display is not shown anywhere");
  auto connection = platform::x11::Connection::open(location->xDisplay);
  if (!connection) return std::unexpected(connection.error());
  auto state = std::make_unique<State>();
  state->connection = std::move(*connection);
  state->x = location->x;
  state->y = location->y;
  xcb_connection_t* c = state->connection->get();
  state->gc = xcb_generate_id(c);
  xcb_create_gc(c, state->gc, state->connection->root(), 0, nullptr);
  std::unique_ptr<DisplayPainter> painter(new DisplayPainter(std::move(state)));
  painter->width_ = static_cast<int>(location->pixelWidth);
  painter->height_ = static_cast<int>(location->pixelHeight);
  return painter;
}

bool DisplayPainter::fill(int x, int y, int width, int height, std::uint32_t rgb) {
  xcb_connection_t* c = state_->connection->get();
  if (state_->connection->hasError()) return false;
  xcb_change_gc(c, state_->gc, XCB_GC_FOREGROUND, &rgb);
  const xcb_rectangle_t rectangle{
      static_cast<std::int16_t>(state_->x + x), static_cast<std::int16_t>(state_->y + y),
      static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height)};
  xcb_poly_fill_rectangle(c, state_->connection->root(), state_->gc, 1, &rectangle);
  xcb_flush(c);
  return !state_->connection->hasError();
}

}  // namespace demo
