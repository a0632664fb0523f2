#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "widgets/activity-indicators/arcs_indicator.h"
#include "widgets/activity-indicators/busy_indicator_view_widget.h"
#include "widgets/activity-indicators/growing_arc_indicator.h"
#include "widgets/activity-indicators/growing_circle_indicator.h"
#include "widgets/activity-indicators/rotating_dots_indicator.h"
#include "widgets/qt/support/qt_test_support.h"

namespace widgets {
namespace {

using widgets_test::near;
using widgets_test::render;

constexpr double pi = std::numbers::pi;
const Color kRed{1, 0, 0, 1};
const Color kBlue{0, 0, 1, 1};

// Always the lowest value of each range, counting how often it is asked.
class LowestRandomSource : public RandomSource {
 public:
  int integer(int low, int) override {
    ++calls;
    return low;
  }
  double closedReal(double low, double) override {
    ++calls;
    return low;
  }
  int calls = 0;
};

// The pixel at `radius` from the centre of a 100 by 100 box, `angle` radians clockwise from
// the right.
QPoint polar(double angle, double radius) {
  return QPoint(static_cast<int>(std::floor(50 + radius * std::cos(angle))),
                static_cast<int>(std::floor(50 + radius * std::sin(angle))));
}

bool isBlack(const QImage& image) {
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (!near(image.pixelColor(x, y), Qt::black, 0)) return false;
    }
  }
  return true;
}

class BusyFigureTest : public testing::Test {
 protected:
  BusyFigureTest() { widgets_test::ensureApplication(); }

  BusyIndicatorView* build(IndicatorType type, int width = 100, int height = 100) {
    view_ = new BusyIndicatorView(Binding<bool>::to(visible_), std::move(type));
    view_->setRandomSource(random_);
    host_ = widgets_test::blackHost(view_, width, height);
    return view_;
  }
  QImage renderAt(double elapsed) {
    uptime_.advance(elapsed - view_->secondsSinceAppearance());
    return render(*host_);
  }

  widgets_test::FakeUptime uptime_;
  std::shared_ptr<bool> visible_ = std::make_shared<bool>(true);
  std::shared_ptr<LowestRandomSource> random_ = std::make_shared<LowestRandomSource>();
  BusyIndicatorView* view_ = nullptr;
  std::unique_ptr<QWidget> host_;
};

TEST_F(BusyFigureTest, DefaultBarsFadeFromWhite) {
  build(IndicatorType::Default{8}, 64, 64);
  // Bar 0 lies right of the centre, 20 long and 10 thick; bar 2 below it.
  QImage image = renderAt(0);
  EXPECT_TRUE(near(image.pixelColor(54, 32), Qt::white));
  EXPECT_TRUE(near(image.pixelColor(32, 54), Qt::white));
  EXPECT_TRUE(near(image.pixelColor(54, 22), Qt::black));
  image = renderAt(kDefaultAnimationDuration);
  EXPECT_TRUE(near(image.pixelColor(54, 32), QColor(77, 77, 77), 6));
}

TEST_F(BusyFigureTest, AnArcCoversTheTopAndTurnsClockwise) {
  build(IndicatorType::Arcs{1, 4});  // the lowest draws: 240 degrees, 1.75 s a turn
  const ArcsIndicatorItem model{0, 1, Size{100, 100}, 4, ArcsDraw{0, 0.2}};
  QImage image = renderAt(0);
  // From 120 degrees clockwise round to 360: the left and the top, not the bottom.
  EXPECT_TRUE(near(image.pixelColor(50, 1), Qt::white));
  EXPECT_TRUE(near(image.pixelColor(1, 50), Qt::white));
  EXPECT_TRUE(near(image.pixelColor(50, 98), Qt::black));
  EXPECT_TRUE(near(image.pixelColor(50, 50), Qt::black));
  const double halfTurn = kDelayedStart + model.turnDuration() / 2;
  ASSERT_NEAR(model.rotation(halfTurn), 180, 1e-6);
  image = renderAt(halfTurn);
  EXPECT_TRUE(near(image.pixelColor(50, 1), Qt::black));
  EXPECT_TRUE(near(image.pixelColor(50, 98), Qt::white));
  EXPECT_TRUE(near(image.pixelColor(98, 50), Qt::white));
}

TEST_F(BusyFigureTest, ArcsDrawOncePerAppearance) {
  build(IndicatorType::Arcs{3, 2});
  EXPECT_EQ(random_->calls, 6);  // a length and a speed for each of three arcs
  renderAt(0.2);
  renderAt(0.4);
  EXPECT_EQ(random_->calls, 6);
  *visible_ = false;
  view_->refresh();
  *visible_ = true;
  view_->refresh();
  EXPECT_EQ(random_->calls, 12);
}

TEST_F(BusyFigureTest, TheGradientRingRunsClockwiseFromTheRight) {
  build(IndicatorType::Gradient{{kRed, kBlue}, LineCap::butt, 10});
  // The ring is 10 wide about radius 50; inside the box it spans 45 to 50. The gradient ring
  // keeps 0.02 to 0.9 of a turn (7.2 to 324 degrees).
  const double r = 47.5;
  auto at = [&](const QImage& image, double degrees) {
    return image.pixelColor(polar(degrees * pi / 180, r));
  };
  QImage image = renderAt(0);
  EXPECT_TRUE(near(at(image, 345), Qt::red)) << at(image, 345).name().toStdString();
  const QColor start = at(image, 15);
  EXPECT_GT(start.red(), 200);
  EXPECT_LT(start.blue(), 60);
  const QColor opposite = at(image, 180);
  EXPECT_GT(opposite.red(), 90);
  EXPECT_LT(opposite.red(), 170);
  EXPECT_GT(opposite.blue(), 90);
  EXPECT_LT(opposite.blue(), 170);
  const QColor late = at(image, 300);
  EXPECT_GT(late.blue(), 180);
  EXPECT_LT(late.red(), 80);
  // Half a turn later the gap is on the left.
  image = renderAt(kDelayedStart + 0.75);
  EXPECT_TRUE(near(at(image, 165), Qt::red)) << at(image, 165).name().toStdString();
  EXPECT_GT(at(image, 195).red(), 200);
}

TEST_F(BusyFigureTest, AGradientWithoutColoursIsAWhiteRing) {
  build(IndicatorType::Gradient{{}, LineCap::round, 10});
  const QImage image = renderAt(0.3);
  for (int k = 0; k < 8; ++k) {
    const QPoint p = polar(k * pi / 4, 47.5);
    EXPECT_TRUE(near(image.pixelColor(p), Qt::white, 4)) << k;
  }
}

TEST_F(BusyFigureTest, ARingTooWideToTrimShowsOnlyTheBase) {
  build(IndicatorType::Gradient{{kRed, kBlue}, LineCap::butt, 90});
  const QImage image = renderAt(0.3);
  for (int k = 0; k < 24; ++k) {
    const QPoint p = polar(k * pi / 12, 30);
    EXPECT_TRUE(near(image.pixelColor(p), Qt::red, 4)) << k;
  }
}

TEST_F(BusyFigureTest, TheGrowingArcAtHalfACycle) {
  build(IndicatorType::GrowingArc{kRed, 6});
  const GrowingArcIndicator model{kRed, 6};
  // The time at which p reads 0.5, found on the model.
  double low = kDelayedStart;
  double high = kDelayedStart + GrowingArcIndicator::kCycleDuration - 1e-6;
  for (int i = 0; i < 60; ++i) {
    const double mid = (low + high) / 2;
    (model.p(mid) < 0.5 ? low : high) = mid;
  }
  ASSERT_NEAR(model.p(low), 0.5, 1e-6);
  const QImage image = renderAt(low);
  // The arc covers π/2 round to π/2 + 2π − 0.7, leaving a gap of 0.7 before π/2.
  EXPECT_TRUE(near(image.pixelColor(polar(pi / 2 - 0.35, 48.5)), Qt::black));
  EXPECT_TRUE(near(image.pixelColor(polar(pi / 2 + 1, 48.5)), Qt::red));
  EXPECT_TRUE(near(image.pixelColor(polar(pi, 48.5)), Qt::red));
  EXPECT_TRUE(near(image.pixelColor(50, 50), Qt::black));
}

TEST_F(BusyFigureTest, TheGrowingCircleIsATranslucentDiscMidCycle) {
  build(IndicatorType::GrowingCircle{});
  const GrowingCircleIndicator model{Size{100, 100}};
  const double t = kDelayedStart + GrowingCircleIndicator::kCycleDuration / 2;
  const double radius = 50 * model.scale(t);
  const int grey = static_cast<int>(std::lround(255 * model.opacity(t)));
  ASSERT_GT(radius, 8);
  const QImage image = renderAt(t);
  for (QPoint p : {QPoint(50, 50), polar(0, radius - 3), polar(pi / 2, radius - 3)})
    EXPECT_TRUE(near(image.pixelColor(p), QColor(grey, grey, grey), 4)) << p.x() << "," << p.y();
  EXPECT_TRUE(near(image.pixelColor(polar(0, radius + 3)), Qt::black));
  EXPECT_TRUE(near(image.pixelColor(polar(3 * pi / 2, radius + 3)), Qt::black));
}

TEST_F(BusyFigureTest, RotatingDotsStartAtTheTopAndSpreadOut) {
  build(IndicatorType::RotatingDots{5});
  QImage image = renderAt(0);
  EXPECT_TRUE(near(image.pixelColor(50, 1), Qt::white));
  EXPECT_TRUE(near(image.pixelColor(50, 10), Qt::white));
  EXPECT_TRUE(near(image.pixelColor(50, 97), Qt::black));
  const auto dots = rotatingDotsItems(5, Size{100, 100});
  const double t = 0.75;
  ASSERT_GT(std::abs(dots[4].rotation(t) - dots[0].rotation(t)), 30);
  image = renderAt(t);
  for (std::size_t i : {0u, 4u}) {
    const double turned = dots[i].rotation(t) * pi / 180;
    // The dot starts straight up (−π/2) and turns clockwise.
    EXPECT_TRUE(near(image.pixelColor(polar(turned - pi / 2, 40)), Qt::white, 12)) << i;
  }
}

TEST_F(BusyFigureTest, RowDotsSitAtTheirCentres) {
  struct Row {
    IndicatorType type;
    int width;
    std::vector<int> centres;
    int gap;
  };
  for (const Row& row : {Row{IndicatorType::OpacityDots{3, 4}, 100, {15, 50, 84}, 32},
                         Row{IndicatorType::ScalingDots{3, 2}, 60, {9, 30, 50}, 19}}) {
    build(row.type, row.width, 40);
    const QImage image = renderAt(0);
    for (int x : row.centres)
      EXPECT_TRUE(near(image.pixelColor(x, 20), Qt::white)) << x;
    EXPECT_TRUE(near(image.pixelColor(row.gap, 20), Qt::black)) << row.gap;
    EXPECT_TRUE(near(image.pixelColor(row.width / 2, 1), Qt::black));
  }
}

// Widths of nothing, arcs of no radius and dot rows with no room draw nothing rather than a
// hairline, an arc turned inside out or a dot of negative size.
TEST_F(BusyFigureTest, DegenerateFiguresDrawNothing) {
  const std::vector<IndicatorType> kinds = {
      IndicatorType::Arcs{3, 0},
      IndicatorType::Arcs{2, -4},
      IndicatorType::Gradient{{kRed, kBlue}, LineCap::round, 0},
      IndicatorType::Gradient{{}, LineCap::butt, -1},
      IndicatorType::GrowingArc{kRed, 0},
      IndicatorType::OpacityDots{3, 60},
      IndicatorType::ScalingDots{5, 25},
  };
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    build(kinds[i]);
    EXPECT_TRUE(isBlack(renderAt(0.5))) << i;
  }
}

TEST_F(BusyFigureTest, ArcsOfNoRadiusAreLeftOut) {
  // Radii 50, 10, −30, −70 …: only the first two are drawn.
  build(IndicatorType::Arcs{40, 2});
  const QImage image = renderAt(0);
  EXPECT_TRUE(near(image.pixelColor(50, 40), Qt::white));  // radius 10, at the top
  for (int k = 0; k < 16; ++k) {
    const QPoint p = polar(k * pi / 8, 30);
    EXPECT_TRUE(near(image.pixelColor(p), Qt::black)) << k;
  }
}

const std::vector<std::pair<const char*, IndicatorType>>& everyKind() {
  static const std::vector<std::pair<const char*, IndicatorType>> kinds = {
      {"default", IndicatorType::Default{8}},
      {"arcs", IndicatorType::Arcs{3, 4}},
      {"rotatingDots", IndicatorType::RotatingDots{7}},
      {"flickeringDots", IndicatorType::FlickeringDots{8}},
      {"scalingDots", IndicatorType::ScalingDots{3, 4}},
      {"opacityDots", IndicatorType::OpacityDots{3, 4}},
      {"equalizer", IndicatorType::Equalizer{5}},
      {"growingArc", IndicatorType::GrowingArc{kRed, 6}},
      {"gradient", IndicatorType::Gradient{{kRed, kBlue}, LineCap::round, 6}},
      {"growingCircle", IndicatorType::GrowingCircle{}},
  };
  return kinds;
}

TEST_F(BusyFigureTest, EveryKindDrawsOnlyWhileShown) {
  for (const auto& [name, type] : everyKind()) {
    SCOPED_TRACE(name);
    *visible_ = true;
    build(type);
    EXPECT_FALSE(isBlack(renderAt(0.5)));
    *visible_ = false;
    view_->refresh();
    EXPECT_TRUE(isBlack(render(*host_)));
  }
}

TEST_F(BusyFigureTest, EveryKindRepaintsTheSameFrameAlike) {
  // The system's source: a figure that drew anew on every paint would differ.
  random_ = nullptr;
  for (const auto& [name, type] : everyKind()) {
    SCOPED_TRACE(name);
    build(type);
    const QImage first = renderAt(0.4);
    EXPECT_EQ(first, render(*host_));
  }
}

TEST_F(BusyFigureTest, ChangingTheKindRestartsTheFigure) {
  for (const auto& [name, type] : everyKind()) {
    SCOPED_TRACE(name);
    build(IndicatorType::Equalizer{3});
    renderAt(0.7);
    view_->setType(type);
    EXPECT_DOUBLE_EQ(view_->secondsSinceAppearance(), 0);
    const QImage changed = renderAt(0.3);
    build(type);
    EXPECT_EQ(changed, renderAt(0.3));
  }
}

TEST_F(BusyFigureTest, CountedKindsWithoutItemsDrawNothing) {
  for (int count : {0, -2}) {
    for (const IndicatorType& type : std::initializer_list<IndicatorType>{
             IndicatorType::Default{count}, IndicatorType::Arcs{count, 4},
             IndicatorType::RotatingDots{count}, IndicatorType::FlickeringDots{count},
             IndicatorType::ScalingDots{count, 4}, IndicatorType::OpacityDots{count, 4},
             IndicatorType::Equalizer{count}}) {
      build(type);
      EXPECT_TRUE(isBlack(renderAt(0.5))) << count << " " << type.kind().index();
    }
  }
}

}  // namespace
}  // namespace widgets
