#pragma once

#include <optional>

namespace widgets {

// A damped spring. `response` is the period of the undamped oscillation in seconds;
// `dampingFraction` 1 is critical damping (no overshoot), less oscillates, more creeps.
struct SpringAnimation {
  double response = 0.5;
  double dampingFraction = 1.0;
  double blendDuration = 0;

  struct State {
    double value;
    double velocity;
  };
  // Where a spring released at `from` with `velocity` (units per second) stands `elapsed`
  // seconds later, pulled toward `to`.
  State evaluate(double from, double to, double velocity, double elapsed) const;

  bool operator==(const SpringAnimation&) const = default;
};

// One animated number: it moves toward its target along a spring, or jumps when no
// animation is given. A new target mid-way starts from the current value and velocity, so the
// motion stays smooth.
class AnimatedValue {
 public:
  // `epsilon`: how close to the target (and how slow) counts as arrived.
  explicit AnimatedValue(double value = 0, double epsilon = 0.01);

  double target() const { return target_; }
  double valueAt(double now) const;
  double velocityAt(double now) const;
  bool isSettledAt(double now) const;

  void animateTo(double target, const std::optional<SpringAnimation>& animation, double now);

 private:
  double from_;
  double target_;
  double velocity_ = 0;
  double start_ = 0;
  double epsilon_;
  std::optional<SpringAnimation> animation_;
};

}  // namespace widgets
