#pragma once

namespace widgets {

// How an animation's value advances over its duration: a cubic Bézier from (0, 0) to (1, 1)
// through two control points, read as value over time.
class TimingCurve {
 public:
  static TimingCurve linear() { return TimingCurve(1.0 / 3, 1.0 / 3, 2.0 / 3, 2.0 / 3); }
  // Fast start, gentle arrival.
  static TimingCurve easeOut() { return TimingCurve(0, 0, 0.58, 1); }
  // Gentle start, fast arrival.
  static TimingCurve easeIn() { return TimingCurve(0.42, 0, 1, 1); }
  // Gentle at both ends.
  static TimingCurve easeInOut() { return TimingCurve(0.42, 0, 0.58, 1); }
  static TimingCurve cubicBezier(double x1, double y1, double x2, double y2) {
    return TimingCurve(x1, y1, x2, y2);
  }

  // The eased fraction for `progress` of the duration (clamped to 0 … 1).
  double value(double progress) const;

  bool operator==(const TimingCurve&) const = default;

 private:
  TimingCurve(double x1, double y1, double x2, double y2) : x1_(x1), y1_(y1), x2_(x2), y2_(y2) {}
  double x1_, y1_, x2_, y2_;
};

// The usual length of an animation that names no duration, in seconds.
inline constexpr double kDefaultAnimationDuration = 0.35;

// The curve of an animation that names none: eased at both ends, so that a figure driven by
// it (the default bars, the arcs' turns) neither jumps off nor stops dead.
inline TimingCurve defaultAnimationCurve() {
  return TimingCurve::easeInOut();
}

// The figures that start from a block queued on appearance begin moving this long after it.
inline constexpr double kDelayedStart = 0.01;

// An animation repeated forever, reversing every other run: each run first waits `runDelay`
// seconds, then moves for `duration` seconds along `curve` (a reversed run plays the curve
// backwards). The answer is the fraction of the way from the first value to the second,
// `elapsed` seconds after the repetition began; 0 before it began.
double autoreversingFraction(double elapsed, double runDelay, double duration,
                             const TimingCurve& curve);

// An animation repeated forever without reversing: every run moves for `duration` seconds
// along `curve` and the next starts again from the first value. The answer is the fraction of
// the way from the first value to the second, `elapsed` seconds after the repetition began;
// 0 before it began, and 0 for a duration of 0 or less.
double repeatingFraction(double elapsed, double duration, const TimingCurve& curve);

}  // namespace widgets
