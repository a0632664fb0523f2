#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <string>

namespace testing_display {

// A window on a Wayland compositor that the test paints: solid fills and rectangles, each
// committed with exactly its own damage.
class WaylandPainter {
 public:
  // Opens a window on `waylandDisplay` and waits for the compositor to give it a size; a
  // fullscreen one covers the whole output wherever the compositor would place a window.
  static std::expected<std::unique_ptr<WaylandPainter>, std::string> open(
      const std::string& waylandDisplay, bool fullscreen = false);
  ~WaylandPainter();
  WaylandPainter(const WaylandPainter&) = delete;
  WaylandPainter& operator=(const WaylandPainter&) = delete;

  std::uint32_t width() const;
  std::uint32_t height() const;
  // Paints a rectangle of 0xRRGGBB and shows it; false when the connection failed.
  // Paints the whole window, again while the compositor resizes it; false when it never
  // settles or the connection failed.
  bool fill(std::uint32_t rgb);
  bool paint(std::uint32_t x, std::uint32_t y, std::uint32_t width, std::uint32_t height,
             std::uint32_t rgb);
  // Paints a rectangle where every pixel has a colour of its own (a hash of its place and
  // `seed`), so that a row or column out of place, or left from an earlier picture, shows.
  bool paintPattern(std::uint32_t x, std::uint32_t y, std::uint32_t width, std::uint32_t height,
                    std::uint32_t seed);
  // What the window shows at (x, y) after the paints so far, as 0xRRGGBB.
  std::uint32_t pixel(std::uint32_t x, std::uint32_t y) const;

  struct State;

 private:
  explicit WaylandPainter(std::unique_ptr<State> state);
  bool draw(std::uint32_t x, std::uint32_t y, std::uint32_t width, std::uint32_t height,
            const std::function<std::uint32_t(std::uint32_t, std::uint32_t)>& rgbAt);
  std::unique_ptr<State> state_;
};

}  // namespace testing_display
