#include "platform/display/x11/cursor_overlay.h"

#include <gtest/gtest.h>

#include <vector>

namespace platform::x11 {
namespace {

CursorState cursorAt(std::int32_t x, std::int32_t y, std::uint32_t argb = 0xffff0000) {
  CursorState cursor;
  cursor.width = 4;
  cursor.height = 3;
  cursor.xhot = 1;
  cursor.yhot = 1;
  cursor.pixels.assign(12, argb);
  cursor.x = x;
  cursor.y = y;
  cursor.onScreen = true;
  return cursor;
}

TEST(CursorOverlayTest, TheFootprintIsTheCursorsBoxLessItsHotSpotClippedToThePicture) {
  const PixelArea area{100, 50, 20, 10};
  struct Row {
    const char* name;
    CursorState cursor;
    std::optional<PixelArea> footprint;
  };
  CursorState elsewhere = cursorAt(105, 55);
  elsewhere.onScreen = false;
  CursorState torn = cursorAt(105, 55);
  torn.pixels.resize(5);  // fewer pixels than its size says
  const Row rows[] = {
      {"inside", cursorAt(105, 55), PixelArea{4, 4, 4, 3}},
      {"over the top left corner", cursorAt(100, 50), PixelArea{0, 0, 3, 2}},
      {"over the bottom right corner", cursorAt(119, 59), PixelArea{18, 8, 2, 2}},
      {"just left of it", cursorAt(97, 55), std::nullopt},
      {"its last column on it", cursorAt(98, 55), PixelArea{0, 4, 1, 3}},
      {"far beyond it", cursorAt(-32768, 32767), std::nullopt},
      {"on another screen", elsewhere, std::nullopt},
      {"with too few pixels", torn, std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(cursorFootprint(row.cursor, area), row.footprint);
  }
}

TEST(CursorOverlayTest, BlendsPremultipliedPixelsOverThePictureOnlyWithinTheFootprint) {
  const PixelArea area{0, 0, 4, 2};
  struct Row {
    const char* name;
    std::uint32_t argb;
    std::uint8_t blue, green, red;  // of a covered pixel that was (40, 80, 200)
  };
  const Row rows[] = {
      {"opaque", 0xff102030, 0x30, 0x20, 0x10},
      {"transparent", 0x00000000, 40, 80, 200},
      // Half-covered: source (premultiplied) plus half of the picture.
      {"half", 0x80400000, 20, 40, 0x40 + 100},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::uint8_t> picture(4 * 2 * 4);
    for (std::size_t i = 0; i < picture.size(); i += 4) {
      picture[i] = 40;
      picture[i + 1] = 80;
      picture[i + 2] = 200;
      picture[i + 3] = 0xff;
    }
    // The cursor covers columns 2..3 of row 1 only (its box reaches past the picture).
    const auto drawn = drawCursor(cursorAt(3, 2, row.argb), area, picture.data(), 16);
    ASSERT_EQ(drawn, (PixelArea{2, 1, 2, 1}));
    for (std::uint32_t y = 0; y < 2; ++y) {
      for (std::uint32_t x = 0; x < 4; ++x) {
        const std::uint8_t* p = picture.data() + y * 16 + x * 4;
        const bool covered = y == 1 && x >= 2;
        EXPECT_EQ(p[0], covered ? row.blue : 40) << x << "," << y;
        EXPECT_EQ(p[1], covered ? row.green : 80) << x << "," << y;
        EXPECT_EQ(p[2], covered ? row.red : 200) << x << "," << y;
      }
    }
  }
}

}  // namespace
}  // namespace platform::x11
