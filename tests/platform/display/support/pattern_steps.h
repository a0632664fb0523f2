#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "platform/display/support/frame_collector.h"
#include "platform/display/support/wayland_painter.h"

namespace testing_display {

// Rectangles painted one after another on a 1024x768 picture, each a pattern of its own: more of
// them than a capture has buffers, at rows the buffers last saw at different times (the top and
// bottom rows, a single pixel, a band across the whole width, a place painted before), so a
// frame built on a reused buffer shows any row it failed to refresh.
struct PatternStep {
  const char* what;
  std::uint32_t x, y, width, height;
};
inline constexpr PatternStep kPatternSteps[] = {
    {"a block in the middle", 400, 300, 200, 150},
    {"the top rows", 0, 0, 1024, 3},
    {"the bottom rows", 0, 765, 1024, 3},
    {"one pixel", 700, 500, 1, 1},
    {"a band across the width", 0, 200, 1024, 64},
    {"the right edge", 1000, 0, 24, 768},
    {"a block low down", 64, 600, 300, 100},
    {"the middle again", 400, 300, 200, 150},
    {"a corner", 960, 704, 64, 64},
    {"a block high up", 300, 40, 500, 90},
};

// Paints a pattern over the whole window and then each step's rectangle, and expects the newest
// frame after each to be, pixel for pixel, what the window shows.
inline void expectEveryStepCapturedAsDrawn(WaylandPainter& window, FrameCollector& collector) {
  const auto drawn = [&](std::uint32_t x, std::uint32_t y) { return window.pixel(x, y); };
  ASSERT_TRUE(window.paintPattern(0, 0, window.width(), window.height(), 1));
  ASSERT_EQ(collector.waitForPicture(drawn), "") << "the whole pattern";
  std::uint32_t seed = 2;
  for (const PatternStep& step : kPatternSteps) {
    ASSERT_TRUE(window.paintPattern(step.x, step.y, step.width, step.height, seed++));
    EXPECT_EQ(collector.waitForPicture(drawn), "") << step.what;
  }
  EXPECT_EQ(collector.error(), nullptr);
}

}  // namespace testing_display
