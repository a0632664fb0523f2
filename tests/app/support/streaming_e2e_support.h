#pragma once

// Running the application next to the companion simulator: an X server with room for the
// device's display beside its screen, what that server shows (monitors, screen size), and a
// reading of the starting screen's state from a picture of the window.

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <QImage>
#include <QRect>
#include <algorithm>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/display/x_connection.h"
#include "platform/display/xvfb_server.h"

namespace app::test {

// The companion simulator built next to the tests.
inline std::filesystem::path companionBinary() {
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
  return self.parent_path().parent_path() / "tools" / "companion" / "tovarine-companion";
}

// An X server whose screen is `width` by `height` but may grow: an Xvfb screen never grows past
// the size it was started with, so it starts large and is shrunk through RandR (a mode of the
// wanted size for its one output, the CRTC switched to it, then the screen size).
class RoomyXServer {
 public:
  static std::expected<std::unique_ptr<RoomyXServer>, std::string> start(std::uint16_t width,
                                                                         std::uint16_t height) {
    platform::XvfbServer::Options options;
    options.width = 8192;
    options.height = 4096;
    options.extraArguments = {"-noreset"};
    auto server = platform::XvfbServer::launch(options);
    if (!server) return std::unexpected(server.error());
    auto connection = platform::x11::Connection::open((*server)->displayName());
    if (!connection) return std::unexpected(connection.error());
    std::unique_ptr<RoomyXServer> roomy(
        new RoomyXServer(std::move(*server), std::move(*connection)));
    if (!roomy->shrinkTo(width, height)) {
      return std::unexpected("the X server cannot be shrunk to " + std::to_string(width) + "x" +
                             std::to_string(height));
    }
    return roomy;
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
    xcb_connection_t* c = x_->get();
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, x_->root(), XCB_GC_FOREGROUND, &rgb);
    const xcb_rectangle_t rectangle{
        static_cast<std::int16_t>(area.x()), static_cast<std::int16_t>(area.y()),
        static_cast<std::uint16_t>(area.width()), static_cast<std::uint16_t>(area.height())};
    xcb_poly_fill_rectangle(c, x_->root(), gc, 1, &rectangle);
    xcb_free_gc(c, gc);
    platform::x11::Reply<xcb_get_input_focus_reply_t> sync(
        xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  }

 private:
  RoomyXServer(std::unique_ptr<platform::XvfbServer> server,
               std::unique_ptr<platform::x11::Connection> connection)
      : server_(std::move(server)), x_(std::move(connection)) {}

  bool shrinkTo(std::uint16_t width, std::uint16_t height) {
    xcb_connection_t* c = x_->get();
    const xcb_window_t root = x_->root();
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
    if (!mode || !x_->check(xcb_randr_add_output_mode_checked(c, output, mode->mode))) {
      return false;
    }
    platform::x11::Reply<xcb_randr_set_crtc_config_reply_t> set(xcb_randr_set_crtc_config_reply(
        c,
        xcb_randr_set_crtc_config(c, crtc, XCB_CURRENT_TIME, resources->config_timestamp, 0, 0,
                                  mode->mode, XCB_RANDR_ROTATION_ROTATE_0, 1, &output),
        nullptr));
    if (!set || set->status != XCB_RANDR_SET_CONFIG_SUCCESS) return false;
    platform::x11::Connection::ScreenSize size;
    size.width = width;
    size.height = height;
    size.widthInMillimeters = width * 254u / 960u;  // 96 dpi
    size.heightInMillimeters = height * 254u / 960u;
    return x_->setScreenSize(size);
  }

  std::unique_ptr<platform::XvfbServer> server_;
  std::unique_ptr<platform::x11::Connection> x_;
};

// White drawing — the starting screen's icons and letters — stands out from its dark blue
// backdrop; the logo's tile and the backdrop's wave are coloured, never near white.
inline bool isWhiteInk(QRgb pixel) {
  const int low = std::min({qRed(pixel), qGreen(pixel), qBlue(pixel)});
  const int high = std::max({qRed(pixel), qGreen(pixel), qBlue(pixel)});
  return low >= 200 && high - low <= 40;
}

// The bands of white drawing in `area`, top to bottom: runs of rows holding white ink, where
// gaps of up to `joinGap` rows do not split a band. Each band is the bounding box of its ink.
inline std::vector<QRect> whiteInkBands(const QImage& image, QRect area, int joinGap = 6) {
  area = area.intersected(image.rect());
  std::vector<QRect> bands;
  QRect current;
  int lastInkRow = -1'000'000;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    QRect row;
    int ink = 0;
    for (int x = area.left(); x <= area.right(); ++x) {
      if (!isWhiteInk(image.pixel(x, y))) continue;
      ++ink;
      row |= QRect(x, y, 1, 1);
    }
    if (ink < 3) continue;  // a stray pixel of a resampled picture is no drawing
    if (y - lastInkRow > joinGap + 1 && !current.isNull()) {
      bands.push_back(current);
      current = QRect();
    }
    current |= row;
    lastInkRow = y;
  }
  if (!current.isNull()) bands.push_back(current);
  return bands;
}

// What the starting screen's state part shows, told from the white drawing under the logo
// (the first band of the window):
// - no tablet: the cable picture, narrow and tall, then its line(s) of text;
// - tablet found: lines of text with the busy indicator under them;
// - connected: one single line of text and nothing else.
enum class StartingLook { noTablet, tabletFound, connected, unknown };

inline const char* describe(StartingLook look) {
  switch (look) {
    case StartingLook::noTablet:
      return "no tablet";
    case StartingLook::tabletFound:
      return "tablet found";
    case StartingLook::connected:
      return "connected";
    case StartingLook::unknown:
      break;
  }
  return "unknown";
}

inline StartingLook startingLook(const std::vector<QRect>& bands) {
  if (bands.size() < 2) return StartingLook::unknown;
  const QRect& first = bands[1];
  QRect state;
  for (std::size_t i = 1; i < bands.size(); ++i)
    state |= bands[i];
  const bool textLine = first.width() >= 200 && first.height() >= 25 && first.height() <= 80;
  if (first.width() <= 160 && first.height() > 80 && bands.size() >= 3) {
    return StartingLook::noTablet;
  }
  if (textLine && bands.size() == 2) return StartingLook::connected;
  if (first.width() >= 200 && state.height() > 80) return StartingLook::tabletFound;
  return StartingLook::unknown;
}

inline std::string describeBands(const std::vector<QRect>& bands) {
  std::string text;
  for (const QRect& band : bands) {
    text += "[" + std::to_string(band.x()) + "," + std::to_string(band.y()) + " " +
            std::to_string(band.width()) + "x" + std::to_string(band.height()) + "] ";
  }
  return text;
}

}  // namespace app::test
