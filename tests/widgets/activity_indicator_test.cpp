#include <gtest/gtest.h>

#include <cmath>

#include "widgets/activity-indicators/counted_item_layout.h"
#include "widgets/activity-indicators/equalizer_indicator.h"
#include "widgets/activity-indicators/flickering_dots_indicator.h"
#include "widgets/activity-indicators/indicator_type.h"
#include "widgets/activity-indicators/timing_curve.h"

namespace widgets {
namespace {

constexpr double kNear = 1e-9;

TEST(IndicatorType, TheCountedKindsAnswerTheirCount) {
  EXPECT_EQ(IndicatorType(IndicatorType::FlickeringDots{8}).count(), 8);
  EXPECT_EQ(IndicatorType(IndicatorType::ScalingDots{5, 2}).count(), 5);
  EXPECT_FALSE(IndicatorType(IndicatorType::GrowingCircle{}).count().has_value());
  EXPECT_NE(IndicatorType(IndicatorType::Default{3}), IndicatorType(IndicatorType::Equalizer{3}));
}

TEST(CountedItemLayout, AFigureOfNoItemsDrawsNothing) {
  EXPECT_TRUE(countedItems(0, Size{50, 50}).empty());
  EXPECT_TRUE(countedItems(-4, Size{50, 50}).empty());
  EXPECT_TRUE(equalizerItems(0, Size{50, 50}).empty());
  EXPECT_TRUE(flickeringDotsItems(-1, Size{50, 50}).empty());
  auto items = countedItems(3, Size{40, 20});
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[2].index, 2);
  EXPECT_EQ(items[2].count, 3);
  EXPECT_EQ(items[2].size, (Size{40, 20}));
}

TEST(EqualizerIndicator, FiveBarsInAHundredByForty) {
  auto bars = equalizerItems(5, Size{100, 40});
  ASSERT_EQ(bars.size(), 5u);
  const double offsets[] = {-45, -25, -5, 15, 35};
  for (int i = 0; i < 5; ++i) {
    EXPECT_DOUBLE_EQ(bars[i].barWidth(), 10);
    EXPECT_DOUBLE_EQ(bars[i].barHeight(), 40);
    EXPECT_NEAR(bars[i].offset().x, offsets[i], kNear);
    EXPECT_DOUBLE_EQ(bars[i].offset().y, 0);
  }
  // Bar 0 starts at the left edge, the last ends one bar width before the right edge.
  EXPECT_NEAR(50 + bars[0].offset().x - 5, 0, kNear);
  EXPECT_NEAR(50 + bars[4].offset().x + 5, 90, kNear);
  EXPECT_DOUBLE_EQ(bars[3].startDelay(), 0.3);
}

TEST(EqualizerIndicator, OneBarIsHalfTheWidthLeftOfCentre) {
  auto bars = equalizerItems(1, Size{64, 30});
  ASSERT_EQ(bars.size(), 1u);
  EXPECT_DOUBLE_EQ(bars[0].barWidth(), 32);
  EXPECT_DOUBLE_EQ(bars[0].offset().x, -16);
  EXPECT_DOUBLE_EQ(bars[0].startDelay(), 0);
}

TEST(EqualizerIndicator, BarsSwingBetweenFortyAndAHundredPercent) {
  EqualizerIndicatorItem bar{3, 5, Size{100, 40}};  // starts 0.3 s late
  EXPECT_DOUBLE_EQ(bar.scale(0), 1.0);
  EXPECT_DOUBLE_EQ(bar.scale(0.3), 1.0);
  // Each run waits 0.2 s before it moves, then eases out over the default duration.
  EXPECT_DOUBLE_EQ(bar.scale(0.3 + 0.2), 1.0);
  const double down = 0.3 + 0.2 + kDefaultAnimationDuration;
  EXPECT_NEAR(bar.scale(down), 0.4, kNear);
  // Easing out: more than half the way down at half the time.
  EXPECT_LT(bar.scale(0.3 + 0.2 + kDefaultAnimationDuration / 2), 0.7);
  EXPECT_NEAR(bar.scale(down + 0.2), 0.4, kNear);
  EXPECT_NEAR(bar.scale(down + 0.2 + kDefaultAnimationDuration), 1.0, kNear);
  double low = 1;
  double high = 0;
  for (double t = 0; t < 5; t += 0.01) {
    low = std::min(low, bar.scale(t));
    high = std::max(high, bar.scale(t));
  }
  EXPECT_NEAR(low, 0.4, 1e-3);
  EXPECT_DOUBLE_EQ(high, 1.0);
  // Bar 0 leads bar 3 by exactly its start delay.
  EqualizerIndicatorItem first{0, 5, Size{100, 40}};
  EXPECT_NEAR(first.scale(1.234), bar.scale(1.534), kNear);
}

TEST(FlickeringDotsIndicator, FourDotsInAFiftyByFifty) {
  auto dots = flickeringDotsItems(4, Size{50, 50});
  ASSERT_EQ(dots.size(), 4u);
  const Point offsets[] = {{20, 0}, {0, 20}, {-20, 0}, {0, -20}};
  const double delays[] = {0, 0.25, 0.5, 0.75};
  for (int i = 0; i < 4; ++i) {
    EXPECT_DOUBLE_EQ(dots[i].diameter(), 10);
    EXPECT_NEAR(dots[i].offset().x, offsets[i].x, 1e-9);
    EXPECT_NEAR(dots[i].offset().y, offsets[i].y, 1e-9);
    EXPECT_DOUBLE_EQ(dots[i].startDelay(), delays[i]);
  }
}

TEST(FlickeringDotsIndicator, OneDotSitsOnTheRightEdgeAndStartsAtOnce) {
  FlickeringDotsIndicatorItem dot{0, 1, Size{100, 100}};
  EXPECT_DOUBLE_EQ(dot.diameter(), 20);
  EXPECT_DOUBLE_EQ(dot.offset().x, 40);
  EXPECT_DOUBLE_EQ(50 + dot.offset().x + dot.diameter() / 2, 100);
  EXPECT_DOUBLE_EQ(dot.startDelay(), 0);
  EXPECT_LT(dot.scale(0.1), 1.0);
}

TEST(FlickeringDotsIndicator, DotsShrinkAndFadeLinearlyAndBack) {
  FlickeringDotsIndicatorItem dot{2, 8, Size{100, 100}};  // starts 0.25 s late
  EXPECT_DOUBLE_EQ(dot.scale(0.2), 1.0);
  EXPECT_DOUBLE_EQ(dot.opacity(0.2), 1.0);
  EXPECT_NEAR(dot.scale(0.25 + 0.25), 0.75, kNear);
  EXPECT_NEAR(dot.opacity(0.25 + 0.25), 0.65, kNear);
  EXPECT_NEAR(dot.scale(0.25 + 0.5), 0.5, kNear);
  EXPECT_NEAR(dot.opacity(0.25 + 0.5), 0.3, kNear);
  EXPECT_NEAR(dot.scale(0.25 + 0.75), 0.75, kNear);
  EXPECT_NEAR(dot.scale(0.25 + 1.0), 1.0, kNear);
  EXPECT_NEAR(dot.opacity(0.25 + 10.5), 0.3, kNear);
  // The ring's eight dots start one eighth of a second apart, clockwise from the right.
  auto ring = flickeringDotsItems(8, Size{100, 100});
  EXPECT_DOUBLE_EQ(ring[7].startDelay(), 7.0 / 8);
  EXPECT_NEAR(ring[2].offset().x, 0, kNear);
  EXPECT_NEAR(ring[2].offset().y, 40, kNear);
}

TEST(TimingCurve, EaseOutLeadsLinearAndHitsTheEnds) {
  auto easeOut = TimingCurve::easeOut();
  EXPECT_DOUBLE_EQ(easeOut.value(0), 0);
  EXPECT_DOUBLE_EQ(easeOut.value(1), 1);
  for (double x = 0.1; x < 1; x += 0.1) {
    EXPECT_NEAR(TimingCurve::linear().value(x), x, 1e-6);
    EXPECT_GT(easeOut.value(x), x);
  }
}

}  // namespace
}  // namespace widgets
