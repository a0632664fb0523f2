#include "widgets/activity-indicators/busy_indicator_view_widget.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "widgets/qt/support/qt_test_support.h"

namespace widgets {
namespace {

using widgets_test::near;
using widgets_test::render;

class BusyIndicatorViewTest : public testing::Test {
 protected:
  BusyIndicatorViewTest() { widgets_test::ensureApplication(); }

  void build(IndicatorType type, int width, int height) {
    view_ = new BusyIndicatorView(Binding<bool>::to(visible_), std::move(type));
    host_ = widgets_test::blackHost(view_, width, height);
  }
  QColor at(int x, int y) { return render(*host_).pixelColor(x, y); }
  bool allBlack() {
    QImage image = render(*host_);
    for (int y = 0; y < image.height(); ++y) {
      for (int x = 0; x < image.width(); ++x) {
        if (!near(image.pixelColor(x, y), Qt::black, 0)) return false;
      }
    }
    return true;
  }

  widgets_test::FakeUptime uptime_;
  std::shared_ptr<bool> visible_ = std::make_shared<bool>(true);
  BusyIndicatorView* view_ = nullptr;
  std::unique_ptr<QWidget> host_;
};

TEST_F(BusyIndicatorViewTest, EightWhiteDotsRingTheBoxAtFirst) {
  build(IndicatorType::FlickeringDots{8}, 100, 100);
  QImage image = render(*host_);
  // Dots 20 across, centred 40 from the middle: right, bottom, left, top.
  for (QPoint centre : {QPoint(90, 50), QPoint(50, 90), QPoint(10, 50), QPoint(50, 10)}) {
    EXPECT_TRUE(near(image.pixelColor(centre), Qt::white)) << centre.x() << "," << centre.y();
  }
  EXPECT_TRUE(near(image.pixelColor(97, 50), Qt::white));
  EXPECT_TRUE(near(image.pixelColor(50, 50), Qt::black));
  EXPECT_TRUE(near(image.pixelColor(2, 2), Qt::black));
}

TEST_F(BusyIndicatorViewTest, TheFirstDotShrinksAndFadesThenComesBack) {
  build(IndicatorType::FlickeringDots{8}, 100, 100);
  render(*host_);
  uptime_.advance(0.5);
  QImage image = render(*host_);
  // Half size (radius 5) at 30 % white.
  EXPECT_TRUE(near(image.pixelColor(97, 50), Qt::black));
  EXPECT_TRUE(near(image.pixelColor(90, 50), QColor(77, 77, 77), 6));
  // The dot opposite starts half a second later, so it is still whole.
  EXPECT_TRUE(near(image.pixelColor(10, 50), Qt::white));
  uptime_.advance(0.5);
  EXPECT_TRUE(near(at(97, 50), Qt::white));
}

TEST_F(BusyIndicatorViewTest, NothingIsDrawnWhileTheFlagIsFalse) {
  *visible_ = false;
  build(IndicatorType::FlickeringDots{8}, 100, 100);
  EXPECT_FALSE(view_->isFigureShown());
  EXPECT_TRUE(allBlack());
  *visible_ = true;
  view_->refresh();
  EXPECT_TRUE(view_->isFigureShown());
  EXPECT_FALSE(allBlack());
}

TEST_F(BusyIndicatorViewTest, ShowingAgainStartsTheFigureOver) {
  build(IndicatorType::FlickeringDots{8}, 100, 100);
  render(*host_);
  uptime_.advance(0.5);
  EXPECT_DOUBLE_EQ(view_->secondsSinceAppearance(), 0.5);
  *visible_ = false;
  view_->refresh();
  EXPECT_TRUE(allBlack());
  *visible_ = true;
  view_->refresh();
  EXPECT_DOUBLE_EQ(view_->secondsSinceAppearance(), 0);
  EXPECT_TRUE(near(at(97, 50), Qt::white));

  // Leaving the screen counts as disappearing too.
  uptime_.advance(0.5);
  host_->hide();
  host_->show();
  EXPECT_DOUBLE_EQ(view_->secondsSinceAppearance(), 0);
}

// The frame timer runs only while the figure is drawn: a hidden indicator never wakes the
// process. The caller's flag is read at `refresh()`.
TEST_F(BusyIndicatorViewTest, TheFrameTimerRunsOnlyWhileTheFigureIsDrawn) {
  struct Step {
    const char* name;
    std::function<void()> change;
    bool animating;
  };
  *visible_ = false;
  build(IndicatorType::FlickeringDots{8}, 100, 100);
  const std::vector<Step> steps = {
      {"builtWithTheFlagFalse", [] {}, false},
      {"paintedWithTheFlagFalse", [&] { render(*host_); }, false},
      {"flagTurnsTrue", [&] { *visible_ = true, view_->refresh(); }, true},
      {"flagTurnsFalse", [&] { *visible_ = false, view_->refresh(); }, false},
      {"flagTurnsTrueAgain", [&] { *visible_ = true, view_->refresh(); }, true},
      {"widgetHidden", [&] { host_->hide(); }, false},
      {"widgetShown", [&] { host_->show(); }, true},
      {"hiddenWhileTheFlagIsFalse", [&] { *visible_ = false, host_->hide(); }, false},
      {"shownWhileTheFlagIsFalse", [&] { host_->show(); }, false},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    step.change();
    EXPECT_EQ(view_->isAnimating(), step.animating);
    EXPECT_EQ(view_->isFigureShown(), step.animating);
  }
}

TEST_F(BusyIndicatorViewTest, EqualizerBarsStandInARowAndShrinkToFortyPercent) {
  build(IndicatorType::Equalizer{5}, 100, 40);
  QImage image = render(*host_);
  // Bars 10 wide at x = 0, 20, 40, 60, 80, full height; gaps between.
  for (int x : {5, 25, 45, 65, 85}) {
    EXPECT_TRUE(near(image.pixelColor(x, 20), Qt::white)) << x;
    EXPECT_TRUE(near(image.pixelColor(x, 3), Qt::white)) << x;
  }
  for (int x : {15, 35, 55, 75, 95})
    EXPECT_TRUE(near(image.pixelColor(x, 20), Qt::black)) << x;

  // Bar 0 is down to 16 of 40 points after its 0.2 s pause and the ease-out; bar 4, which
  // starts 0.4 s later, is still whole.
  uptime_.advance(0.2 + 0.35);
  image = render(*host_);
  EXPECT_TRUE(near(image.pixelColor(5, 8), Qt::black));
  EXPECT_TRUE(near(image.pixelColor(5, 20), Qt::white));
  EXPECT_TRUE(near(image.pixelColor(85, 3), Qt::white));
}

TEST_F(BusyIndicatorViewTest, ChangingTheKindReplacesAndRestartsTheFigure) {
  build(IndicatorType::FlickeringDots{8}, 100, 100);
  render(*host_);
  uptime_.advance(0.7);
  view_->setType(IndicatorType::Equalizer{5});
  EXPECT_DOUBLE_EQ(view_->secondsSinceAppearance(), 0);
  QImage image = render(*host_);
  EXPECT_TRUE(near(image.pixelColor(5, 3), Qt::white));
  EXPECT_TRUE(near(image.pixelColor(15, 50), Qt::black));
}

TEST_F(BusyIndicatorViewTest, TheFigurePaintsInTheForegroundColour) {
  build(IndicatorType::FlickeringDots{4}, 50, 50);
  QPalette palette = view_->palette();
  palette.setColor(QPalette::WindowText, QColor(0x5B, 0x68, 0xDF));
  view_->setPalette(palette);
  EXPECT_TRUE(near(at(45, 25), QColor(0x5B, 0x68, 0xDF)));
}

}  // namespace
}  // namespace widgets
