#include "screenshot/screen_grab.h"

#include <fmt/format.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace screenshot {

namespace {

struct FreeDeleter {
  void operator()(void* pointer) const { std::free(pointer); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter>;

struct Disconnect {
  void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};

// Replies are kept to a few megabytes, so a screen of any size is read in strips of rows.
constexpr std::size_t kStripBytes = 8u << 20;

const xcb_visualtype_t* findVisual(const xcb_screen_t* screen, xcb_visualid_t id) {
  for (auto depths = xcb_screen_allowed_depths_iterator(screen); depths.rem;
       xcb_depth_next(&depths)) {
    for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem;
         xcb_visualtype_next(&visuals)) {
      if (visuals.data->visual_id == id) return visuals.data;
    }
  }
  return nullptr;
}

const xcb_format_t* findFormat(const xcb_setup_t* setup, std::uint8_t depth) {
  for (auto formats = xcb_setup_pixmap_formats_iterator(setup); formats.rem;
       xcb_format_next(&formats)) {
    if (formats.data->depth == depth) return formats.data;
  }
  return nullptr;
}

// One channel of a pixel as 0–255, for a mask of 8 contiguous bits.
int channel(std::uint32_t pixel, std::uint32_t mask) {
  return static_cast<int>((pixel & mask) >> std::countr_zero(mask));
}

}  // namespace

std::expected<QImage, std::string> grabScreen(const std::string& display) {
  // An empty name would make xcb fall back to DISPLAY; the caller always says which server.
  if (display.empty()) return std::unexpected("no display named");
  std::unique_ptr<xcb_connection_t, Disconnect> connection(xcb_connect(display.c_str(), nullptr));
  if (xcb_connection_has_error(connection.get())) {
    return std::unexpected(fmt::format("cannot connect to the X server {}", display));
  }
  xcb_connection_t* c = connection.get();
  const xcb_setup_t* setup = xcb_get_setup(c);
  const xcb_screen_t* screen = xcb_setup_roots_iterator(setup).data;

  const xcb_visualtype_t* visual = findVisual(screen, screen->root_visual);
  const xcb_format_t* format = findFormat(setup, screen->root_depth);
  if (!visual || visual->_class != XCB_VISUAL_CLASS_TRUE_COLOR || !format ||
      format->bits_per_pixel != 32 || std::popcount(visual->red_mask) != 8 ||
      std::popcount(visual->green_mask) != 8 || std::popcount(visual->blue_mask) != 8) {
    return std::unexpected(
        fmt::format("the screen of {} is not 24-bit true colour in 32-bit pixels", display));
  }

  // The setup tells the size the server started with; the root window's geometry is today's.
  Reply<xcb_get_geometry_reply_t> geometry(
      xcb_get_geometry_reply(c, xcb_get_geometry(c, screen->root), nullptr));
  if (!geometry || geometry->width == 0 || geometry->height == 0) {
    return std::unexpected(fmt::format("cannot read the screen size of {}", display));
  }
  const int width = geometry->width;
  const int height = geometry->height;
  const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
  const int stripRows =
      static_cast<int>(std::clamp<std::size_t>(kStripBytes / rowBytes, 1, std::size_t(height)));
  const bool serverIsBigEndian = setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST;

  QImage image(width, height, QImage::Format_RGB32);
  if (image.isNull()) return std::unexpected("not enough memory for the picture");
  for (int top = 0; top < height; top += stripRows) {
    const int rows = std::min(stripRows, height - top);
    Reply<xcb_get_image_reply_t> strip(xcb_get_image_reply(
        c,
        xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root, 0, static_cast<std::int16_t>(top),
                      static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(rows), ~0u),
        nullptr));
    if (!strip) {
      return std::unexpected(fmt::format("the X server {} refused rows {} to {} of the screen",
                                         display, top, top + rows - 1));
    }
    const std::uint8_t* data = xcb_get_image_data(strip.get());
    const std::size_t length = static_cast<std::size_t>(xcb_get_image_data_length(strip.get()));
    // Rows are padded to the format's scanline unit, which for 32-bit pixels adds nothing.
    if (length < rowBytes * static_cast<std::size_t>(rows)) {
      return std::unexpected(fmt::format("the X server {} sent a short picture", display));
    }
    for (int y = 0; y < rows; ++y) {
      auto* out = reinterpret_cast<QRgb*>(image.scanLine(top + y));
      const std::uint8_t* in = data + rowBytes * static_cast<std::size_t>(y);
      for (int x = 0; x < width; ++x, in += 4) {
        std::uint32_t pixel;
        std::memcpy(&pixel, in, 4);
        if (serverIsBigEndian != (std::endian::native == std::endian::big)) {
          pixel = __builtin_bswap32(pixel);
        }
        out[x] = qRgb(channel(pixel, visual->red_mask), channel(pixel, visual->green_mask),
                      channel(pixel, visual->blue_mask));
      }
    }
  }
  return image;
}

}  // namespace screenshot
