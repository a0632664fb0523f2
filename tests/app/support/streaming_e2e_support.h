#pragma once

// Running the application next to the companion simulator: where the simulator is, and a
// reading of the starting screen's state from a picture of the window.

#include <QImage>
#include <QRect>
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace app::test {

// The companion simulator built next to the tests.
inline std::filesystem::path companionBinary() {
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
  return self.parent_path().parent_path() / "tools" / "companion" / "tovarine-companion";
}

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
