#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>

#include "platform/display/xvfb/xvfb_server.h"

namespace demo {

// An X server of the demo's own, for machines without a desktop: started large (an Xvfb screen
// never grows past its starting size), then shrunk to `width` by `height` so the device's
// display has room beside it. The display layer is pointed at it while it lives.
class PrivateDisplay {
 public:
  static std::expected<std::unique_ptr<PrivateDisplay>, std::string> start(std::uint16_t width,
                                                                           std::uint16_t height);
  ~PrivateDisplay();
  PrivateDisplay(const PrivateDisplay&) = delete;
  PrivateDisplay& operator=(const PrivateDisplay&) = delete;

  const std::string& displayName() const { return server_->displayName(); }

 private:
  explicit PrivateDisplay(std::unique_ptr<platform::XvfbServer> server)
      : server_(std::move(server)) {}
  std::unique_ptr<platform::XvfbServer> server_;
};

// Fills a rectangle of a display's picture with 0xRRGGBB, on whichever X server shows it.
class DisplayPainter {
 public:
  static std::expected<std::unique_ptr<DisplayPainter>, std::string> open(std::uint32_t displayID);
  ~DisplayPainter();
  DisplayPainter(const DisplayPainter&) = delete;
  DisplayPainter& operator=(const DisplayPainter&) = delete;

  int width() const { return width_; }
  int height() const { return height_; }
  // Coordinates within the display. Returns false once the server is gone.
  bool fill(int x, int y, int width, int height, std::uint32_t rgb);

 private:
  struct State;
  explicit DisplayPainter(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
  int width_ = 0;
  int height_ = 0;
};

}  // namespace demo
