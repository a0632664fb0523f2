#pragma once

#include <span>
#include <vector>

#include "widgets/activity-indicators/random_source.h"
#include "widgets/geometry.h"

namespace widgets {

// What one arc of the arcs figure leaves to chance, drawn each time the figure appears.
struct ArcsDraw {
  // 0 to 180: the arc's path ends 120 + this many degrees round.
  int extraDegrees;
  // 0.2 to 0.5: how much slower than the default animation the arc turns.
  double speed;
  bool operator==(const ArcsDraw&) const = default;
};

// One draw from `random`: an integer from 0 to 180 and a speed from 0.2 to 0.5, both ends of
// each possible.
ArcsDraw drawArc(RandomSource& random);
// One draw for each of `count` arcs, in index order; none for a count of 0 or less.
std::vector<ArcsDraw> drawArcs(int count, RandomSource& random);

// One arc of the arcs figure: concentric arcs of random length, each spinning clockwise at its
// own random speed. Angles are degrees, 0 pointing right, growing clockwise on screen (y grows
// downward). Times are seconds since the figure appeared.
struct ArcsIndicatorItem {
  int index;
  int count;
  Size size;
  double lineWidth;
  ArcsDraw draw;

  Point centre() const { return Point{size.width / 2, size.height / 2}; }
  // W / 2 − i × N: inner arcs step inward by the count.
  double radius() const;
  // The path runs from 0 to this angle with the clockwise flag set, a flag named for a y axis
  // pointing up: on screen it covers the angles from here round to 360.
  double endAngle() const { return 120.0 + draw.extraDegrees; }
  double coveredFrom() const { return endAngle(); }
  double coveredSweep() const { return 360.0 - endAngle(); }
  // An arc of no radius or no width has nothing to draw.
  bool isDrawn() const { return radius() > 0 && lineWidth > 0; }
  // Seconds per turn: the default duration, slowed by the speed factor.
  double turnDuration() const;
  // Degrees clockwise about the centre: 0 until the queued start, then whole turns, each one
  // starting afresh from 0.
  double rotation(double elapsed) const;
};

// The arcs of a figure of `count` arcs in a box of `size`, taking their chances from `draws`
// (one per arc, in index order); none for a count of 0 or less, and only as many as there are
// draws.
std::vector<ArcsIndicatorItem> arcsItems(int count, double lineWidth, Size size,
                                         std::span<const ArcsDraw> draws);

}  // namespace widgets
