#include "widgets/carousel/carousel_widget.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>

#include "platform/dispatch/main_queue.h"
#include "widgets/qt/support/qt_test_support.h"

namespace widgets {
namespace {

using widgets_test::near;
using widgets_test::render;

struct Swatch {
  std::string id;
  QColor color;
};

using SwatchCarousel = Carousel<Swatch, std::string>;

const QColor kRed(220, 0, 0);
const QColor kGreen(0, 200, 0);
const QColor kBlue(0, 0, 230);

void fill(QPainter& painter, const QRectF& frame, const Swatch& swatch) {
  painter.fillRect(frame, swatch.color);
}

void sendMouse(QWidget& widget, QEvent::Type type, QPointF position) {
  QMouseEvent event(type, position, widget.mapToGlobal(position),
                    type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton,
                    type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton,
                    Qt::NoModifier);
  QCoreApplication::sendEvent(&widget, &event);
}

class CarouselWidgetTest : public testing::Test {
 protected:
  CarouselWidgetTest() { widgets_test::ensureApplication(); }

  // 300 by 100, headspace 10, spacing 10, sides at 0.8 of their height.
  void build(int index, bool isWrap,
             CarouselAutoScroll autoScroll = CarouselAutoScroll::inactive()) {
    *index_ = index;
    carousel_ = new SwatchCarousel({{"red", kRed}, {"green", kGreen}, {"blue", kBlue}},
                                   Binding<int>::to(index_), isWrap, 10, 10, 0.8, autoScroll, fill);
    host_ = widgets_test::blackHost(carousel_, 300, 100);
  }
  QColor at(int x, int y) { return render(*host_).pixelColor(x, y); }

  widgets_test::ScopedDefaultsFolder defaults_;
  widgets_test::FakeUptime uptime_;
  platform::VirtualMainClock clock_;
  std::shared_ptr<int> index_ = std::make_shared<int>(0);
  SwatchCarousel* carousel_ = nullptr;
  std::unique_ptr<QWidget> host_;
};

TEST_F(CarouselWidgetTest, TheActiveItemIsCentredWithItsNeighboursEdgesBeside) {
  build(1, false);
  ASSERT_EQ(carousel_->width(), 300);
  QImage image = render(*host_);
  // The active item spans x = 20 … 280 at full height.
  EXPECT_TRUE(near(image.pixelColor(21, 50), kGreen));
  EXPECT_TRUE(near(image.pixelColor(150, 1), kGreen));
  EXPECT_TRUE(near(image.pixelColor(278, 98), kGreen));
  // 10-point gaps, then 10 points of each neighbour.
  EXPECT_TRUE(near(image.pixelColor(15, 50), Qt::black));
  EXPECT_TRUE(near(image.pixelColor(285, 50), Qt::black));
  EXPECT_TRUE(near(image.pixelColor(5, 50), kRed));
  EXPECT_TRUE(near(image.pixelColor(295, 50), kBlue));
  // The neighbours are drawn at 0.8 of the height, centred: rows 10 … 90.
  EXPECT_TRUE(near(image.pixelColor(5, 5), Qt::black));
  EXPECT_TRUE(near(image.pixelColor(5, 12), kRed));
  EXPECT_TRUE(near(image.pixelColor(295, 95), Qt::black));
  EXPECT_TRUE(near(image.pixelColor(295, 88), kBlue));
}

TEST_F(CarouselWidgetTest, ADragPastAThirdMovesOnePageAlongTheSpring) {
  build(1, false);
  render(*host_);
  sendMouse(*carousel_, QEvent::MouseButtonPress, {150, 50});
  sendMouse(*carousel_, QEvent::MouseMove, {145, 50});
  EXPECT_DOUBLE_EQ(carousel_->viewModel()->dragOffset(), 0) << "under the minimum distance";
  sendMouse(*carousel_, QEvent::MouseMove, {100, 50});
  EXPECT_DOUBLE_EQ(carousel_->viewModel()->dragOffset(), -50);
  sendMouse(*carousel_, QEvent::MouseButtonRelease, {40, 50});
  EXPECT_EQ(carousel_->viewModel()->activeIndex(), 2);
  EXPECT_EQ(*index_, 2);

  render(*host_);
  EXPECT_TRUE(carousel_->isAnimating());
  uptime_.advance(0.1);
  double midway = carousel_->displayedOffset();
  EXPECT_LT(midway, -250);
  EXPECT_GT(midway, -520);
  uptime_.advance(3);
  QImage settled = render(*host_);
  EXPECT_FALSE(carousel_->isAnimating());
  EXPECT_DOUBLE_EQ(carousel_->displayedOffset(), 20 - 2 * 270);
  EXPECT_TRUE(near(settled.pixelColor(150, 50), kBlue));
  EXPECT_TRUE(near(settled.pixelColor(5, 50), kGreen));
  EXPECT_TRUE(near(settled.pixelColor(295, 50), Qt::black));
}

TEST_F(CarouselWidgetTest, AShortDragSpringsBack) {
  build(0, false);
  render(*host_);
  sendMouse(*carousel_, QEvent::MouseButtonPress, {150, 50});
  sendMouse(*carousel_, QEvent::MouseMove, {200, 50});
  render(*host_);
  uptime_.advance(3);
  render(*host_);
  EXPECT_DOUBLE_EQ(carousel_->displayedOffset(), 70) << "the row follows the pointer";
  sendMouse(*carousel_, QEvent::MouseButtonRelease, {200, 50});
  EXPECT_EQ(carousel_->viewModel()->activeIndex(), 0);
  render(*host_);
  uptime_.advance(0.1);
  EXPECT_GT(carousel_->displayedOffset(), 20);
  uptime_.advance(3);
  render(*host_);
  EXPECT_DOUBLE_EQ(carousel_->displayedOffset(), 20);
  EXPECT_TRUE(near(at(150, 50), kRed));
}

TEST_F(CarouselWidgetTest, TheWrapJumpMovesWithoutAnimation) {
  build(0, true);
  render(*host_);
  sendMouse(*carousel_, QEvent::MouseButtonPress, {100, 50});
  sendMouse(*carousel_, QEvent::MouseMove, {220, 50});
  sendMouse(*carousel_, QEvent::MouseButtonRelease, {220, 50});
  EXPECT_EQ(carousel_->viewModel()->activeIndex(), 0);
  render(*host_);
  uptime_.advance(3);
  EXPECT_TRUE(near(at(150, 50), kBlue)) << "the copy of the last item";
  clock_.advance(0.1);
  EXPECT_EQ(carousel_->viewModel()->activeIndex(), 3);
  EXPECT_EQ(*index_, 2);
  QImage image = render(*host_);
  EXPECT_FALSE(carousel_->isAnimating());
  EXPECT_DOUBLE_EQ(carousel_->displayedOffset(), 20 - 3 * 270);
  EXPECT_TRUE(near(image.pixelColor(150, 50), kBlue));
  EXPECT_TRUE(near(image.pixelColor(5, 50), kGreen));
  EXPECT_TRUE(near(image.pixelColor(295, 50), kRed));
}

TEST_F(CarouselWidgetTest, TheTimerAdvancesOnlyWhileShownAndTheApplicationIsActive) {
  build(0, false, CarouselAutoScroll::active(2));
  clock_.advance(2);
  EXPECT_EQ(carousel_->viewModel()->activeIndex(), 1);

  emit qGuiApp->applicationStateChanged(Qt::ApplicationInactive);
  clock_.advance(1);
  clock_.advance(10);
  EXPECT_EQ(carousel_->viewModel()->activeIndex(), 1);
  emit qGuiApp->applicationStateChanged(Qt::ApplicationActive);
  clock_.advance(2);
  EXPECT_EQ(carousel_->viewModel()->activeIndex(), 2);

  host_->hide();
  clock_.advance(10);
  EXPECT_EQ(carousel_->viewModel()->activeIndex(), 2);
  host_->show();
  clock_.advance(2);
  EXPECT_EQ(carousel_->viewModel()->activeIndex(), 0);
}

TEST_F(CarouselWidgetTest, RebuildingReadsTheCallersIndexAgain) {
  build(0, false);
  render(*host_);
  auto first = carousel_->viewModel();
  *index_ = 2;
  carousel_->rebuild();
  EXPECT_NE(carousel_->viewModel(), first);
  EXPECT_EQ(carousel_->viewModel()->activeIndex(), 2);
  render(*host_);
  EXPECT_TRUE(carousel_->isAnimating()) << "the row springs over to the new position";
  uptime_.advance(3);
  EXPECT_TRUE(near(at(150, 50), kBlue));
}

TEST_F(CarouselWidgetTest, ResizingReLaysTheRowAtOnce) {
  build(1, false);
  render(*host_);
  host_->resize(200, 100);
  QCoreApplication::processEvents();
  QImage image = render(*host_);
  EXPECT_FALSE(carousel_->isAnimating());
  EXPECT_DOUBLE_EQ(carousel_->viewModel()->itemWidth(), 160);
  EXPECT_TRUE(near(image.pixelColor(21, 50), kGreen));
  EXPECT_TRUE(near(image.pixelColor(178, 50), kGreen));
  EXPECT_TRUE(near(image.pixelColor(195, 50), kBlue));
}

TEST_F(CarouselWidgetTest, ElementsCarryingAnIdNeedNoIdentityFunction) {
  SwatchCarousel carousel({{"red", kRed}, {"red", kGreen}, {"blue", kBlue}},
                          Binding<int>::to(index_), false, 10, 10, 0.5,
                          CarouselAutoScroll::inactive(), fill);
  EXPECT_DOUBLE_EQ(carousel.viewModel()->itemScaleAt(1), 1) << "same id as the active item";
  EXPECT_DOUBLE_EQ(carousel.viewModel()->itemScaleAt(2), 0.5);
}

}  // namespace
}  // namespace widgets
