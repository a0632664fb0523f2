#pragma once

#include <optional>
#include <variant>
#include <vector>

namespace widgets {

// A colour with components from 0 to 1.
struct Color {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 1;
  bool operator==(const Color&) const = default;
};

enum class LineCap { butt, round, square };

// The kind of busy figure an activity indicator shows, with the values that shape it. The
// kinds whose figure is made of counted items carry their `count`.
class IndicatorType {
 public:
  struct Default {
    int count;
    bool operator==(const Default&) const = default;
  };
  struct Arcs {
    int count;
    double lineWidth;
    bool operator==(const Arcs&) const = default;
  };
  struct RotatingDots {
    int count;
    bool operator==(const RotatingDots&) const = default;
  };
  struct FlickeringDots {
    int count;
    bool operator==(const FlickeringDots&) const = default;
  };
  struct ScalingDots {
    int count;
    int inset;
    bool operator==(const ScalingDots&) const = default;
  };
  struct OpacityDots {
    int count;
    int inset;
    bool operator==(const OpacityDots&) const = default;
  };
  struct Equalizer {
    int count;
    bool operator==(const Equalizer&) const = default;
  };
  struct GrowingArc {
    Color color;
    double lineWidth;
    bool operator==(const GrowingArc&) const = default;
  };
  struct Gradient {
    std::vector<Color> colors;
    LineCap lineCap;
    double lineWidth;
    bool operator==(const Gradient&) const = default;
  };
  struct GrowingCircle {
    bool operator==(const GrowingCircle&) const = default;
  };

  using Kind = std::variant<Default, Arcs, RotatingDots, FlickeringDots, ScalingDots, OpacityDots,
                            Equalizer, GrowingArc, Gradient, GrowingCircle>;

  template <class Case>
  requires std::is_constructible_v<Kind, Case> IndicatorType(Case kind) : kind_(std::move(kind)) {}

  const Kind& kind() const { return kind_; }
  template <class Case>
  const Case* as() const {
    return std::get_if<Case>(&kind_);
  }
  // The number of items of the counted kinds; nothing for the others.
  std::optional<int> count() const;

  bool operator==(const IndicatorType&) const = default;

 private:
  Kind kind_;
};

}  // namespace widgets
