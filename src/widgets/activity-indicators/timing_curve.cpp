#include "widgets/activity-indicators/timing_curve.h"

#include <algorithm>
#include <cmath>

namespace widgets {
namespace {

double bezier(double s, double p1, double p2) {
  const double r = 1 - s;
  return 3 * r * r * s * p1 + 3 * r * s * s * p2 + s * s * s;
}

double bezierSlope(double s, double p1, double p2) {
  const double r = 1 - s;
  return 3 * r * r * p1 + 6 * r * s * (p2 - p1) + 3 * s * s * (1 - p2);
}

}  // namespace

double TimingCurve::value(double progress) const {
  const double x = std::clamp(progress, 0.0, 1.0);
  if (x == 0 || x == 1) return x;
  // Find the curve parameter whose time coordinate is x: Newton's method, falling back to
  // bisection where the slope is too flat to trust.
  double s = x;
  for (int i = 0; i < 8; ++i) {
    const double error = bezier(s, x1_, x2_) - x;
    if (std::abs(error) < 1e-9) return bezier(s, y1_, y2_);
    const double slope = bezierSlope(s, x1_, x2_);
    if (std::abs(slope) < 1e-6) break;
    s = std::clamp(s - error / slope, 0.0, 1.0);
  }
  double low = 0;
  double high = 1;
  s = x;
  for (int i = 0; i < 60; ++i) {
    const double at = bezier(s, x1_, x2_);
    if (std::abs(at - x) < 1e-9) break;
    if (at < x) {
      low = s;
    } else {
      high = s;
    }
    s = (low + high) / 2;
  }
  return bezier(s, y1_, y2_);
}

double autoreversingFraction(double elapsed, double runDelay, double duration,
                             const TimingCurve& curve) {
  if (!(elapsed > 0)) return 0;
  const double run = runDelay + duration;
  if (!(run > 0)) return 0;
  const double runs = std::floor(elapsed / run);
  const double within = elapsed - runs * run;
  const bool reversed = std::fmod(runs, 2.0) == 1.0;
  const double moving = within - runDelay;
  double progress = moving <= 0 ? 0 : (duration > 0 ? std::min(moving / duration, 1.0) : 1.0);
  return reversed ? curve.value(1 - progress) : curve.value(progress);
}

double repeatingFraction(double elapsed, double duration, const TimingCurve& curve) {
  if (!(elapsed > 0) || !(duration > 0)) return 0;
  const double within = std::fmod(elapsed, duration);
  return curve.value(within / duration);
}

}  // namespace widgets
