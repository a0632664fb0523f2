#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <functional>
#include <numbers>

#include "widgets/activity-indicators/arcs_indicator.h"
#include "widgets/activity-indicators/default_indicator.h"
#include "widgets/activity-indicators/gradient_indicator.h"
#include "widgets/activity-indicators/growing_arc_indicator.h"
#include "widgets/activity-indicators/growing_circle_indicator.h"
#include "widgets/activity-indicators/opacity_dots_indicator.h"
#include "widgets/activity-indicators/random_source.h"
#include "widgets/activity-indicators/rotating_dots_indicator.h"
#include "widgets/activity-indicators/scaling_dots_indicator.h"
#include "widgets/activity-indicators/timing_curve.h"

namespace widgets {
namespace {

constexpr double kNear = 1e-9;
constexpr double pi = std::numbers::pi;

// Angles in degrees that name the same direction.
::testing::AssertionResult sameDirection(double actual, double expected) {
  const double off = std::remainder(actual - expected, 360.0);
  if (std::abs(off) < 1e-6) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << actual << " is not " << expected << " (mod 360)";
}

// Hands out the values it was given, in order; then its lowest or highest answers.
class ScriptedRandomSource : public RandomSource {
 public:
  std::deque<int> integers;
  std::deque<double> reals;
  bool highest = false;

  int integer(int low, int high) override {
    lastIntegerRange = {low, high};
    if (integers.empty()) return highest ? high : low;
    const int value = integers.front();
    integers.pop_front();
    return value;
  }
  double closedReal(double low, double high) override {
    lastRealRange = {low, high};
    if (reals.empty()) return highest ? high : low;
    const double value = reals.front();
    reals.pop_front();
    return value;
  }
  std::pair<int, int> lastIntegerRange;
  std::pair<double, double> lastRealRange;
};

TEST(TimingCurves, EaseInLagsLinearAndRepeatsWithoutReversing) {
  const auto easeIn = TimingCurve::easeIn();
  EXPECT_EQ(easeIn, TimingCurve::cubicBezier(0.42, 0, 1, 1));
  for (double x = 0.1; x < 0.95; x += 0.1)
    EXPECT_LT(easeIn.value(x), x) << x;
  struct Row {
    double elapsed;
    double fraction;
  };
  // Linear runs of 2 s.
  for (const Row& row : std::initializer_list<Row>{
           {-1, 0}, {0, 0}, {0.5, 0.25}, {1.5, 0.75}, {2.5, 0.25}, {4.0, 0}, {5.0, 0.5}}) {
    EXPECT_NEAR(repeatingFraction(row.elapsed, 2, TimingCurve::linear()), row.fraction, 1e-6)
        << row.elapsed;
  }
  EXPECT_EQ(repeatingFraction(3, 0, TimingCurve::linear()), 0);
}

// ---- Default bars --------------------------------------------------------------------------

TEST(DefaultIndicator, EightBarsInASixtyFourBox) {
  auto bars = defaultItems(8, Size{64, 64});
  ASSERT_EQ(bars.size(), 8u);
  struct Row {
    int index;
    double angle;
    Point offset;
    double delay;
  };
  for (const Row& row : {Row{0, 0, {22, 0}, 0}, Row{2, pi / 2, {0, 22}, 0.125},
                         Row{4, pi, {-22, 0}, 0.25}, Row{6, 3 * pi / 2, {0, -22}, 0.375}}) {
    const auto& bar = bars[static_cast<std::size_t>(row.index)];
    SCOPED_TRACE(row.index);
    EXPECT_DOUBLE_EQ(bar.barHeight(), 20);
    EXPECT_DOUBLE_EQ(bar.barWidth(), 10);
    EXPECT_DOUBLE_EQ(bar.cornerRadius(), 6);
    EXPECT_NEAR(bar.angle(), row.angle, kNear);
    EXPECT_NEAR(bar.rotation(), row.angle + pi / 2, kNear);
    EXPECT_NEAR(bar.offset().x, row.offset.x, kNear);
    EXPECT_NEAR(bar.offset().y, row.offset.y, kNear);
    EXPECT_DOUBLE_EQ(bar.startDelay(), row.delay);
  }
}

TEST(DefaultIndicator, OneBarPointsRightWithoutDelay) {
  auto bars = defaultItems(1, Size{100, 64});
  ASSERT_EQ(bars.size(), 1u);
  EXPECT_DOUBLE_EQ(bars[0].angle(), 0);
  // An upright bar turned a quarter clockwise lies along the x axis, right of the centre.
  EXPECT_DOUBLE_EQ(bars[0].rotation(), pi / 2);
  EXPECT_DOUBLE_EQ(bars[0].offset().x, 40);
  EXPECT_DOUBLE_EQ(bars[0].offset().y, 0);
  EXPECT_DOUBLE_EQ(bars[0].startDelay(), 0);
}

TEST(DefaultIndicator, BarsFadeToThirtyPercentAndBack) {
  DefaultIndicatorItem bar{2, 8, Size{64, 64}};  // starts 0.125 s late
  struct Row {
    double elapsed;
    double opacity;
  };
  const double d = kDefaultAnimationDuration;
  for (const Row& row : {Row{0, 1}, Row{0.12, 1}, Row{0.125, 1}, Row{0.125 + d, 0.3},
                         Row{0.125 + 2 * d, 1}, Row{0.125 + 3 * d, 0.3}}) {
    EXPECT_NEAR(bar.opacity(row.elapsed), row.opacity, 1e-6) << row.elapsed;
  }
  // Halfway down at half the time: the default curve is symmetric.
  EXPECT_NEAR(bar.opacity(0.125 + d / 2), 0.65, 1e-6);
}

// ---- Arcs ----------------------------------------------------------------------------------

TEST(ArcsIndicator, RadiiStepInwardByTheCount) {
  ScriptedRandomSource random;
  auto arcs = arcsItems(3, 2, Size{100, 100}, drawArcs(3, random));
  ASSERT_EQ(arcs.size(), 3u);
  const double radii[] = {50, 47, 44};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_DOUBLE_EQ(arcs[i].radius(), radii[i]);
    EXPECT_EQ(arcs[i].centre(), (Point{50, 50}));
    EXPECT_TRUE(arcs[i].isDrawn());
  }
  // Arcs of no radius, or no width, are not drawn.
  auto tight = arcsItems(4, 2, Size{20, 20}, drawArcs(4, random));
  ASSERT_EQ(tight.size(), 4u);
  EXPECT_DOUBLE_EQ(tight[2].radius(), 2);
  EXPECT_TRUE(tight[2].isDrawn());
  EXPECT_DOUBLE_EQ(tight[3].radius(), -2);
  EXPECT_FALSE(tight[3].isDrawn());
  EXPECT_FALSE(arcsItems(1, 0, Size{20, 20}, drawArcs(1, random))[0].isDrawn());
  EXPECT_FALSE(arcsItems(1, -3, Size{20, 20}, drawArcs(1, random))[0].isDrawn());
}

TEST(ArcsIndicator, TheDrawsAtTheirExtremes) {
  struct Row {
    bool highest;
    double endAngle;
    double sweep;
    double turn;
  };
  for (const Row& row : {Row{false, 120, 240, 0.35 / 0.2}, Row{true, 300, 60, 0.35 / 0.5}}) {
    ScriptedRandomSource random;
    random.highest = row.highest;
    const ArcsDraw draw = drawArc(random);
    EXPECT_EQ(random.lastIntegerRange, (std::pair{0, 180}));
    EXPECT_EQ(random.lastRealRange, (std::pair{0.2, 0.5}));
    ArcsIndicatorItem arc{0, 1, Size{100, 100}, 4, draw};
    EXPECT_DOUBLE_EQ(arc.endAngle(), row.endAngle);
    EXPECT_DOUBLE_EQ(arc.coveredFrom(), row.endAngle);
    EXPECT_DOUBLE_EQ(arc.coveredSweep(), row.sweep);
    EXPECT_DOUBLE_EQ(arc.turnDuration(), row.turn);
  }
}

TEST(ArcsIndicator, TurnsClockwiseFromTheQueuedStartWithoutReversing) {
  ArcsIndicatorItem arc{0, 1, Size{100, 100}, 4, ArcsDraw{0, 0.5}};  // 0.7 s a turn
  const double turn = 0.7;
  struct Row {
    double elapsed;
    double degrees;
  };
  for (const Row& row : {Row{0, 0}, Row{0.009, 0}, Row{0.01, 0}, Row{0.01 + turn / 2, 180},
                         Row{0.01 + turn + turn / 2, 180}, Row{0.01 + 5 * turn + turn / 2, 180}}) {
    EXPECT_NEAR(arc.rotation(row.elapsed), row.degrees, 1e-6) << row.elapsed;
  }
  EXPECT_GT(arc.rotation(0.02), 0);
  // Each turn starts again from 0 rather than coming back.
  EXPECT_TRUE(sameDirection(arc.rotation(0.01 + turn), 0));
  EXPECT_LT(arc.rotation(0.01 + turn * 1.1), arc.rotation(0.01 + turn * 1.4));
  EXPECT_GT(arc.rotation(0.01 + turn * 0.9), 300);
}

TEST(ArcsIndicator, TheSystemSourceCoversBothClosedRanges) {
  auto random = systemRandomSource();
  int lowest = 1000;
  int highest = -1000;
  double least = 10;
  double most = -10;
  for (int i = 0; i < 20000; ++i) {
    const ArcsDraw draw = drawArc(*random);
    lowest = std::min(lowest, draw.extraDegrees);
    highest = std::max(highest, draw.extraDegrees);
    least = std::min(least, draw.speed);
    most = std::max(most, draw.speed);
  }
  EXPECT_EQ(lowest, 0);
  EXPECT_EQ(highest, 180);
  EXPECT_GE(least, 0.2);
  EXPECT_LE(least, 0.2 + 1e-3);
  EXPECT_LE(most, 0.5);
  EXPECT_GE(most, 0.5 - 1e-3);
  // A fixed seed repeats its draws; another seed does not.
  MersenneRandomSource a(7), b(7), c(8);
  const auto first = drawArcs(5, a);
  EXPECT_EQ(first, drawArcs(5, b));
  EXPECT_NE(first, drawArcs(5, c));
}

TEST(ArcsIndicator, EachArcDrawsItsOwnLengthAndSpeed) {
  ScriptedRandomSource random;
  random.integers = {10, 170, 90};
  random.reals = {0.2, 0.5, 0.3};
  auto arcs = arcsItems(3, 2, Size{100, 100}, drawArcs(3, random));
  ASSERT_EQ(arcs.size(), 3u);
  EXPECT_EQ(arcs[0].draw, (ArcsDraw{10, 0.2}));
  EXPECT_EQ(arcs[1].draw, (ArcsDraw{170, 0.5}));
  EXPECT_EQ(arcs[2].draw, (ArcsDraw{90, 0.3}));
  EXPECT_DOUBLE_EQ(arcs[1].endAngle(), 290);
  EXPECT_NE(arcs[0].rotation(0.3), arcs[1].rotation(0.3));
}

// ---- Gradient ------------------------------------------------------------------------------

const Color kRed{1, 0, 0, 1};
const Color kBlue{0, 0, 1, 1};

TEST(GradientIndicator, TheRingIsTrimmedByTheLineWidth) {
  struct Row {
    double lineWidth;
    bool ring;
  };
  for (const Row& row : {Row{4, true}, Row{83, true}, Row{250.0 / 3, false}, Row{90, false},
                         Row{200, false}, Row{0, false}, Row{-2, false}}) {
    GradientIndicator figure{{kRed, kBlue}, LineCap::round, row.lineWidth, Size{100, 100}};
    EXPECT_EQ(figure.hasGradientRing(), row.ring) << row.lineWidth;
    EXPECT_EQ(figure.strokes(), row.lineWidth > 0) << row.lineWidth;
  }
  GradientIndicator four{{kRed, kBlue}, LineCap::butt, 4, Size{100, 60}};
  EXPECT_DOUBLE_EQ(four.trimFrom(), 0.008);
  EXPECT_DOUBLE_EQ(four.trimTo(), 0.96);
  EXPECT_DOUBLE_EQ(four.radius(), 30);
}

TEST(GradientIndicator, ColoursAndStops) {
  struct Row {
    std::vector<Color> colors;
    Color base;
    std::vector<double> stops;
    bool ring;
  };
  const Color white{1, 1, 1, 1};
  const Color grey{0.5, 0.5, 0.5, 1};
  for (const Row& row :
       {Row{{}, white, {}, false}, Row{{kBlue}, kBlue, {0}, true},
        Row{{kRed, kBlue}, kRed, {0, 1}, true},
        Row{{kRed, grey, kBlue, white, kRed}, kRed, {0, 0.25, 0.5, 0.75, 1}, true}}) {
    GradientIndicator figure{row.colors, LineCap::butt, 4, Size{100, 100}};
    EXPECT_EQ(figure.baseColor(), row.base);
    EXPECT_EQ(figure.stopLocations(), row.stops);
    EXPECT_EQ(figure.hasGradientRing(), row.ring);
  }
}

TEST(GradientIndicator, TurnsOnceEveryOneAndAHalfSeconds) {
  GradientIndicator figure{{kRed, kBlue}, LineCap::butt, 4, Size{100, 100}};
  EXPECT_DOUBLE_EQ(figure.rotation(0), 0);
  EXPECT_DOUBLE_EQ(figure.rotation(0.01), 0);
  EXPECT_NEAR(figure.rotation(0.01 + 0.375), 90, 1e-6);
  EXPECT_NEAR(figure.rotation(0.01 + 0.75), 180, 1e-6);
  EXPECT_TRUE(sameDirection(figure.rotation(0.01 + 1.5), 0));
  EXPECT_NEAR(figure.rotation(0.01 + 1.5 + 0.75), 180, 1e-6);
}

// ---- Growing arc ---------------------------------------------------------------------------

TEST(GrowingArc, ItsPathOverOneCycle) {
  const double maxLength = 2 * pi - 0.7;
  EXPECT_DOUBLE_EQ(GrowingArcIndicator::maxLength(), maxLength);
  struct Row {
    double p;
    double from;
    double sweep;
  };
  for (const Row& row :
       {Row{0, 0, 0}, Row{0.25, pi / 4, maxLength / 2}, Row{0.5, pi / 2, maxLength},
        Row{0.6, 0.2 * 7 * pi / 2 + pi / 2, maxLength}, Row{1, 4 * pi, 0}}) {
    SCOPED_TRACE(row.p);
    const ArcPath arc = GrowingArc{maxLength, 0.35, row.p}.path(Size{100, 100});
    EXPECT_NEAR(arc.from, row.from, kNear);
    EXPECT_NEAR(arc.sweep, row.sweep, kNear);
    EXPECT_EQ(arc.centre, (Point{50, 50}));
    EXPECT_DOUBLE_EQ(arc.radius, 50);
    EXPECT_EQ(arc.isEmpty(), row.sweep == 0);
  }
  // Shrinking after the hold: halfway through the shrink, half the length.
  const double t = 1 + 0.35 + 0.65 / 2;
  const GrowingArc shrinking{maxLength, 0.35, t / 2};
  EXPECT_NEAR(shrinking.path(Size{100, 100}).sweep, maxLength / 2, 1e-9);
  // The rectangle's height plays no part.
  const ArcPath tall = GrowingArc{maxLength, 0.35, 0.5}.path(Size{100, 300});
  EXPECT_EQ(tall.centre, (Point{50, 50}));
  EXPECT_DOUBLE_EQ(tall.radius, 50);
}

TEST(GrowingArc, ProgressEasesInOverTwoSecondsAndWraps) {
  GrowingArcIndicator figure{kRed, 4};
  const auto easeIn = TimingCurve::easeIn();
  struct Row {
    double elapsed;
    double p;
  };
  for (const Row& row : {Row{0, 0}, Row{0.01, 0}, Row{0.01 + 0.5, easeIn.value(0.25)},
                         Row{0.01 + 1, easeIn.value(0.5)}, Row{0.01 + 2.5, easeIn.value(0.25)},
                         Row{0.01 + 7, easeIn.value(0.5)}}) {
    EXPECT_NEAR(figure.p(row.elapsed), row.p, 1e-6) << row.elapsed;
  }
  EXPECT_LT(figure.p(0.01 + 1), 0.5);
  EXPECT_GT(figure.p(0.01 + 1.99), 0.98);
  EXPECT_LT(figure.p(0.01 + 2.01), 0.01);
  EXPECT_DOUBLE_EQ(figure.arc(0.01 + 1).p, figure.p(0.01 + 1));
  EXPECT_FALSE((GrowingArcIndicator{kRed, 0}.strokes()));
}

// ---- Growing circle ------------------------------------------------------------------------

TEST(GrowingCircle, GrowsAndFadesEveryCycle) {
  GrowingCircleIndicator figure{Size{80, 100}};
  EXPECT_DOUBLE_EQ(figure.radius(), 40);
  for (double cycleStart : {0.0, 0.01, 0.01 + 1.1, 0.01 + 3 * 1.1}) {
    EXPECT_NEAR(figure.scale(cycleStart), 0, 1e-6) << cycleStart;
    EXPECT_NEAR(figure.opacity(cycleStart), 1, 1e-6) << cycleStart;
  }
  for (double cycleEnd : {0.01 + 1.1 - 1e-6, 0.01 + 2 * 1.1 - 1e-6}) {
    EXPECT_NEAR(figure.scale(cycleEnd), 1, 1e-4) << cycleEnd;
    EXPECT_NEAR(figure.opacity(cycleEnd), 0, 1e-4) << cycleEnd;
  }
  EXPECT_NEAR(figure.scale(0.01 + 0.55), TimingCurve::easeIn().value(0.5), 1e-9);
  EXPECT_NEAR(figure.scale(0.4), figure.scale(0.4 + 1.1), 1e-9);
}

// ---- Dot rows ------------------------------------------------------------------------------

TEST(DotRows, DiametersOffsetsAndDelays) {
  struct Row {
    const char* name;
    int count;
    int inset;
    double width;
    double diameter;
    std::vector<double> offsets;
    std::vector<double> delays;
    bool opacityDots;
  };
  const double s3 = 92.0 / 3;
  for (const Row& row : {
           Row{"opacity 3",
               3,
               4,
               100,
               s3,
               {-34.666666666666664, 0, 34.666666666666664},
               {0.2, 0, 0.2},
               true},
           Row{"opacity 1", 1, 4, 100, 100, {0}, {0.2}, true},
           Row{"scaling 3",
               3,
               2,
               60,
               56.0 / 3,
               {-20.666666666666668, 0, 20.666666666666668},
               {0, 1.0 / 6, 1.0 / 3},
               false},
           Row{"scaling 1", 1, 9, 60, 60, {0}, {0}, false},
       }) {
    SCOPED_TRACE(row.name);
    const Size box{row.width, 40};
    std::vector<double> diameters, offsets, delays;
    if (row.opacityDots) {
      for (const auto& dot : opacityDotsItems(row.count, row.inset, box)) {
        diameters.push_back(dot.diameter());
        offsets.push_back(dot.offset().x);
        delays.push_back(dot.startDelay());
        EXPECT_EQ(dot.offset().y, 0);
      }
    } else {
      for (const auto& dot : scalingDotsItems(row.count, row.inset, box)) {
        diameters.push_back(dot.diameter());
        offsets.push_back(dot.offset().x);
        delays.push_back(dot.startDelay());
        EXPECT_EQ(dot.offset().y, 0);
      }
    }
    ASSERT_EQ(diameters.size(), static_cast<std::size_t>(row.count));
    for (std::size_t i = 0; i < diameters.size(); ++i) {
      EXPECT_NEAR(diameters[i], row.diameter, kNear);
      EXPECT_NEAR(offsets[i], row.offsets[i], 1e-9);
      EXPECT_NEAR(delays[i], row.delays[i], kNear);
    }
    // The row spans the width exactly.
    EXPECT_NEAR(offsets.front() - diameters.front() / 2, -row.width / 2, 1e-9);
    EXPECT_NEAR(offsets.back() + diameters.back() / 2, row.width / 2, 1e-9);
  }
}

TEST(DotRows, GapsThatFillTheWidthLeaveNoDots) {
  struct Row {
    int count;
    int inset;
    double width;
    bool drawn;
  };
  for (const Row& row : {Row{3, 4, 100, true}, Row{3, 50, 100, false}, Row{5, 30, 100, false},
                         Row{11, 10, 100, false}, Row{2, 99, 100, true}}) {
    const Size box{row.width, 40};
    for (const auto& dot : opacityDotsItems(row.count, row.inset, box))
      EXPECT_EQ(dot.isDrawn(), row.drawn) << row.count << " " << row.inset;
    for (const auto& dot : scalingDotsItems(row.count, row.inset, box))
      EXPECT_EQ(dot.isDrawn(), row.drawn) << row.count << " " << row.inset;
  }
}

TEST(DotRows, OpacityDotsPulseAndScalingDotsWave) {
  const OpacityDotsIndicatorItem odd{1, 3, 4, Size{100, 40}};   // starts at once
  const OpacityDotsIndicatorItem even{2, 3, 4, Size{100, 40}};  // starts 0.2 s late
  const ScalingDotsIndicatorItem third{2, 3, 2, Size{60, 40}};  // starts 1/3 s late
  const double d = kDefaultAnimationDuration;
  struct Row {
    const char* value;
    std::function<double(double)> at;
    double elapsed;
    double expected;
  };
  const auto oddScale = [&](double t) { return odd.scale(t); };
  const auto oddOpacity = [&](double t) { return odd.opacity(t); };
  const auto evenScale = [&](double t) { return even.scale(t); };
  const auto evenOpacity = [&](double t) { return even.opacity(t); };
  const auto thirdScale = [&](double t) { return third.scale(t); };
  for (const Row& row : std::initializer_list<Row>{
           {"odd scale", oddScale, 0, 1},
           {"odd scale", oddScale, d, 0.9},
           {"odd opacity", oddOpacity, d, 0.3},
           {"odd opacity", oddOpacity, 2 * d, 1},
           {"even scale", evenScale, 0.2, 1},
           {"even opacity", evenOpacity, 0.2, 1},
           {"even scale", evenScale, 0.2 + d, 0.9},
           {"even opacity", evenOpacity, 0.2 + d, 0.3},
           {"third scale", thirdScale, 1.0 / 3, 1},
           {"third scale", thirdScale, 1.0 / 3 + d, 0.3},
           {"third scale", thirdScale, 1.0 / 3 + 2 * d, 1},
       }) {
    EXPECT_NEAR(row.at(row.elapsed), row.expected, 1e-6) << row.value << " at " << row.elapsed;
  }
  // Easing out: more than half way down at half the time.
  EXPECT_LT(third.scale(1.0 / 3 + d / 2), 0.65);
}

// ---- Rotating dots -------------------------------------------------------------------------

TEST(RotatingDots, FiveDotsInAHundredBox) {
  auto dots = rotatingDotsItems(5, Size{100, 100});
  ASSERT_EQ(dots.size(), 5u);
  const double starts[] = {1, 0.8, 0.6, 0.4, 0.2};
  const double ends[] = {0.2, 0.4, 0.6, 0.8, 1};
  const double heights[] = {0.15, 0.35, 0.55, 0.75, 0.95};
  for (std::size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    const auto& dot = dots[i];
    EXPECT_DOUBLE_EQ(dot.diameter(), 20);
    EXPECT_EQ(dot.offset(), (Point{0, -40}));
    EXPECT_NEAR(dot.startScale(), starts[i], kNear);
    EXPECT_NEAR(dot.endScale(), ends[i], kNear);
    const auto expected = TimingCurve::cubicBezier(0.5, heights[i], 0.25, 1);
    for (double x : {0.1, 0.3, 0.5, 0.8})
      EXPECT_NEAR(dot.curve().value(x), expected.value(x), 1e-9) << x;
    EXPECT_NEAR(dot.scale(0), starts[i], kNear);
    EXPECT_DOUBLE_EQ(dot.rotation(0), 0);
    EXPECT_NEAR(dot.scale(1.5 - 1e-7), ends[i], 1e-5);
    EXPECT_NEAR(dot.rotation(1.5 - 1e-7), 360, 1e-3);
    // Every turn starts again from the first values.
    EXPECT_NEAR(dot.scale(1.5 + 1e-9), starts[i], 1e-5);
  }
  // The later dots run ahead early in the turn, so the dots spread out.
  EXPECT_GT(dots[4].rotation(0.4), dots[0].rotation(0.4) + 30);
  // A box wider than high: the frame's smaller side sets the dot.
  EXPECT_DOUBLE_EQ(RotatingDotsIndicatorItem({0, Size{100, 60}}).diameter(), 12);
  EXPECT_EQ(RotatingDotsIndicatorItem({0, Size{100, 60}}).offset(), (Point{0, -20}));
}

TEST(RotatingDots, DotsBeyondTheFifthOvershoot) {
  auto dots = rotatingDotsItems(7, Size{100, 100});
  ASSERT_EQ(dots.size(), 7u);
  EXPECT_NEAR(dots[5].scale(0), 0, kNear);
  EXPECT_NEAR(dots[6].scale(0), -0.2, kNear);
  EXPECT_NEAR(dots[6].endScale(), 1.4, kNear);
  double mostTurn = 0;
  double mostScale = -1;
  for (double t = 0; t < 1.5; t += 0.005) {
    ASSERT_TRUE(std::isfinite(dots[6].rotation(t)));
    ASSERT_TRUE(std::isfinite(dots[6].scale(t)));
    mostTurn = std::max(mostTurn, dots[6].rotation(t));
    mostScale = std::max(mostScale, dots[6].scale(t));
  }
  EXPECT_GT(mostTurn, 360);
  EXPECT_GT(mostScale, 1.4);
}

// ---- Every counted kind --------------------------------------------------------------------

TEST(CountedFigures, NoItemsForACountOfZeroOrLess) {
  const Size box{100, 100};
  ScriptedRandomSource random;
  const std::vector<std::pair<const char*, std::function<std::size_t(int)>>> kinds = {
      {"default", [&](int n) { return defaultItems(n, box).size(); }},
      {"arcs", [&](int n) { return arcsItems(n, 2, box, drawArcs(n, random)).size(); }},
      {"arcs draws", [&](int n) { return drawArcs(n, random).size(); }},
      {"rotating dots", [&](int n) { return rotatingDotsItems(n, box).size(); }},
      {"scaling dots", [&](int n) { return scalingDotsItems(n, 2, box).size(); }},
      {"opacity dots", [&](int n) { return opacityDotsItems(n, 2, box).size(); }},
  };
  for (const auto& [name, items] : kinds) {
    EXPECT_EQ(items(0), 0u) << name;
    EXPECT_EQ(items(-3), 0u) << name;
    EXPECT_EQ(items(4), 4u) << name;
  }
}

}  // namespace
}  // namespace widgets
