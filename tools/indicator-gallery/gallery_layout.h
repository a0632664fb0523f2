#pragma once

// Where the gallery puts its cells, shared with the check that reads its pictures.
namespace gallery {

inline constexpr int kColumns = 5;
inline constexpr int kRows = 2;
inline constexpr int kCellSize = 120;
inline constexpr int kMargin = 24;
inline constexpr int kLabelGap = 6;
inline constexpr int kLabelHeight = 20;
inline constexpr int kColumnStep = kCellSize + kMargin;
inline constexpr int kRowStep = kCellSize + kLabelGap + kLabelHeight + kMargin;
inline constexpr int kWindowWidth = kMargin + kColumns * kColumnStep;
inline constexpr int kWindowHeight = kMargin + kRows * kRowStep;
inline constexpr int kCellCount = kColumns * kRows;

struct CellRect {
  int x;
  int y;
  int width;
  int height;
};

// The figure's box of cell `index`, row by row.
constexpr CellRect figureRect(int index) {
  return CellRect{kMargin + index % kColumns * kColumnStep, kMargin + index / kColumns * kRowStep,
                  kCellSize, kCellSize};
}

// The label under it.
constexpr CellRect labelRect(int index) {
  const CellRect figure = figureRect(index);
  return CellRect{figure.x, figure.y + kCellSize + kLabelGap, kCellSize, kLabelHeight};
}

}  // namespace gallery
