#pragma once

#include <vector>

#include "widgets/activity-indicators/timing_curve.h"
#include "widgets/geometry.h"

namespace widgets {

// One dot of the rotating-dots figure: dots orbiting the centre of the box, each on its own
// easing so that they spread along the orbit and gather again every turn, changing size as
// they go. The formulas count five dots whatever the figure's count: beyond the fifth, dots
// start at scale 0 or below (drawn mirrored) and their easing overshoots. Times are seconds
// since the figure appeared.
struct RotatingDotsIndicatorItem {
  static constexpr double kTurnDuration = 1.5;
  static constexpr double kFormulaCount = 5;

  int index;
  Size size;

  // The dot is the circle inscribed in a W / 5 by H / 5 frame.
  double diameter() const;
  // From the centre of the box to the centre of the dot before the rotation: up towards the
  // top edge, which a square box's dot touches at scale 1.
  Point offset() const;
  double startScale() const { return (kFormulaCount - index) / kFormulaCount; }
  double endScale() const { return (index + 1) / kFormulaCount; }
  TimingCurve curve() const;
  // Degrees clockwise about the centre of the box; may pass 360 where the easing overshoots.
  double rotation(double elapsed) const;
  // May be 0 or negative for the dots beyond the fifth.
  double scale(double elapsed) const;

 private:
  double fraction(double elapsed) const;
};

// The dots of a figure of `count` dots in a box of `size`; none for a count of 0 or less.
std::vector<RotatingDotsIndicatorItem> rotatingDotsItems(int count, Size size);

}  // namespace widgets
