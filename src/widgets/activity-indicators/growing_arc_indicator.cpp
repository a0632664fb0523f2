#include "widgets/activity-indicators/growing_arc_indicator.h"

#include <numbers>

#include "widgets/activity-indicators/timing_curve.h"

namespace widgets {

ArcPath GrowingArc::path(Size rect) const {
  constexpr double pi = std::numbers::pi;
  const double t = 2 * p;
  double f = t;
  if (t > 1 + lag) {
    f = 1 - (t - 1 - lag) / (1 - lag);
  } else if (t > 1) {
    f = 1;
  }
  const double a = t <= 1 ? t * pi / 2 : (t - 1) * 7 * pi / 2 + pi / 2;
  const double w = rect.width;
  return ArcPath{Point{w / 2, w / 2}, w / 2, a, f * maxLength};
}

double GrowingArcIndicator::maxLength() {
  return 2 * std::numbers::pi - 0.7;
}

double GrowingArcIndicator::p(double elapsed) const {
  return repeatingFraction(elapsed - kDelayedStart, kCycleDuration, TimingCurve::easeIn());
}

}  // namespace widgets
