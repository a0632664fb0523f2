#pragma once

#include <vector>

#include "widgets/activity-indicators/indicator_type.h"
#include "widgets/geometry.h"

namespace widgets {

// The gradient figure: a full ring in the first colour with a second, almost closed ring on top
// of it, painted with an angular gradient of all the colours and spinning clockwise at constant
// speed. A circle's outline, for trimming, and the gradient both start at the rightmost point
// and run clockwise on screen. Times are seconds since the figure appeared.
struct GradientIndicator {
  static constexpr double kTurnDuration = 1.5;

  std::vector<Color> colors;
  LineCap lineCap;
  double lineWidth;
  Size size;

  Point centre() const { return Point{size.width / 2, size.height / 2}; }
  // Both rings are the circle inscribed in the box; the stroke is centred on it.
  double radius() const;
  // A width of 0 or less strokes nothing at all.
  bool strokes() const { return lineWidth > 0; }
  // The first colour, or white when there are none.
  Color baseColor() const;
  // The part of the outline the gradient ring keeps, as fractions of a turn.
  double trimFrom() const { return lineWidth / 500; }
  double trimTo() const { return 1 - lineWidth / 100; }
  // Whether the gradient ring shows: it needs a non-empty trimmed part and colours to paint it
  // with (a gradient without stops has nothing to show).
  bool hasGradientRing() const;
  // Where along the gradient each colour sits, 0 to 1, evenly spaced.
  std::vector<double> stopLocations() const;
  // Degrees clockwise of the gradient ring (the gradient turns with it).
  double rotation(double elapsed) const;
};

}  // namespace widgets
