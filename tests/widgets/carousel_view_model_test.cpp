#include "widgets/carousel/carousel_view_model.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/main_queue.h"
#include "platform/foundation/user_defaults.h"
#include "widgets/support/temp_folder.h"

namespace widgets {
namespace {

using Model = CarouselViewModel<std::string, std::string>;
using Strings = std::vector<std::string>;

std::string itself(const std::string& text) {
  return text;
}

class CarouselViewModelTest : public testing::Test {
 protected:
  // A carousel 300 points wide with headspace 10 and spacing 10: items 260 wide.
  std::shared_ptr<Model> make(Strings data, int index, bool isWrap,
                              CarouselAutoScroll autoScroll = CarouselAutoScroll::inactive(),
                              double sidesScaling = 0.8) {
    *index_ = index;
    auto model = Model::make(std::move(data), itself, Binding<int>::to(index_), 10, 10,
                             sidesScaling, isWrap, autoScroll);
    model->setViewSize(Size{300, 100});
    return model;
  }
  void drag(Model& model, double translation) {
    model.dragChanged(DragValue{Size{translation, 0}});
    model.dragEnded(DragValue{Size{translation, 0}});
  }
  bool animatedOffset() const {
    return platform::UserDefaults::standard().boolForKey(CarouselViewModelBase::kAnimatedOffsetKey);
  }

  widgets_test::ScopedStandardDefaults defaults_;
  platform::VirtualMainClock clock_;
  std::shared_ptr<int> index_ = std::make_shared<int>(0);
};

TEST_F(CarouselViewModelTest, WrappingLaysOutCopiesAtBothEnds) {
  auto model = make({"A", "B", "C"}, 0, true);
  EXPECT_EQ(model->displayedData(), (Strings{"C", "A", "B", "C", "A"}));
  EXPECT_EQ(model->activeIndex(), 1);
  EXPECT_DOUBLE_EQ(model->itemWidth(), 260);
  EXPECT_DOUBLE_EQ(model->contentOffset(), 20 - 270);
  for (int p = 0; p < model->displayedCount(); ++p) {
    EXPECT_EQ(model->displayedElement(p), model->displayedData()[p]);
  }
  // Without wrap-around the data is laid out as it stands.
  auto plain = make({"A", "B", "C"}, 2, false);
  EXPECT_EQ(plain->displayedData(), (Strings{"A", "B", "C"}));
  EXPECT_EQ(plain->activeIndex(), 2);
  EXPECT_DOUBLE_EQ(plain->contentOffset(), 20 - 2 * 270);
}

TEST_F(CarouselViewModelTest, DraggingBackFromTheFirstItemJumpsToTheRealLastOneLater) {
  auto model = make({"A", "B", "C"}, 0, true);
  drag(*model, 100);
  EXPECT_EQ(model->activeIndex(), 0);
  EXPECT_EQ(model->displayedElement(0), "C");
  EXPECT_EQ(*index_, 0) << "a copy being active leaves the caller's index alone";
  EXPECT_TRUE(model->offsetAnimation().has_value());
  clock_.advance(0.05);
  EXPECT_EQ(model->activeIndex(), 0);
  clock_.advance(0.05);
  EXPECT_EQ(model->activeIndex(), 3);
  EXPECT_EQ(*index_, 2);
  EXPECT_FALSE(animatedOffset());
  EXPECT_FALSE(model->offsetAnimation().has_value()) << "the jump is not animated";
  // The next page change animates again.
  drag(*model, -100);
  EXPECT_TRUE(model->offsetAnimation().has_value());
}

TEST_F(CarouselViewModelTest, LandingOnTheTrailingCopyJumpsToTheFirstItem) {
  auto model = make({"A", "B", "C"}, 2, true);
  EXPECT_EQ(model->activeIndex(), 3);
  drag(*model, -100);
  EXPECT_EQ(model->activeIndex(), 4);
  EXPECT_EQ(*index_, 2);
  clock_.advance(0.1);
  EXPECT_EQ(model->activeIndex(), 1);
  EXPECT_EQ(*index_, 0);
}

TEST_F(CarouselViewModelTest, TheViewModelLivesUntilAScheduledJumpHasRun) {
  auto model = make({"A", "B", "C"}, 0, true);
  std::weak_ptr<Model> weak = model;
  drag(*model, 100);
  model.reset();
  EXPECT_FALSE(weak.expired());
  clock_.advance(0.1);
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(*index_, 2);
}

TEST_F(CarouselViewModelTest, DraggingIsHeldWithinOnePageAndNeedsMoreThanAThird) {
  auto model = make({"A", "B", "C"}, 1, false);
  model->dragChanged(DragValue{Size{500, 0}});
  EXPECT_DOUBLE_EQ(model->dragOffset(), 270);
  EXPECT_FALSE(model->isTimerActive());
  model->dragChanged(DragValue{Size{-500, 3}});
  EXPECT_DOUBLE_EQ(model->dragOffset(), -270);
  model->dragChanged(DragValue{Size{-40, 0}});
  EXPECT_DOUBLE_EQ(model->dragOffset(), -40);
  EXPECT_DOUBLE_EQ(model->contentOffset(), 20 - 270 - 40);

  const double threshold = 260.0 / 3;
  drag(*model, threshold);
  EXPECT_EQ(model->activeIndex(), 1);
  EXPECT_DOUBLE_EQ(model->dragOffset(), 0);
  EXPECT_TRUE(model->isTimerActive());
  drag(*model, -threshold);
  EXPECT_EQ(model->activeIndex(), 1);
  drag(*model, threshold + 0.5);
  EXPECT_EQ(model->activeIndex(), 0);
  EXPECT_EQ(*index_, 0);
  // Beyond the first item the row springs back to it.
  drag(*model, 250);
  EXPECT_EQ(model->activeIndex(), 0);
  drag(*model, -250);
  drag(*model, -250);
  drag(*model, -250);
  EXPECT_EQ(model->activeIndex(), 2);
  EXPECT_EQ(*index_, 2);
}

TEST_F(CarouselViewModelTest, EveryWriteOfTheActiveIndexIsAnnouncedAndWrittenBack) {
  auto model = make({"A", "B", "C"}, 1, false);
  int notices = 0;
  auto token = model->objectWillChange().subscribe([&] { ++notices; });
  *index_ = 99;
  model->setActiveIndex(1);
  EXPECT_EQ(notices, 1);
  EXPECT_EQ(*index_, 1);
  EXPECT_TRUE(animatedOffset());

  auto wrapped = make({"A", "B", "C"}, 0, true);
  *index_ = 99;
  wrapped->setActiveIndex(4);
  EXPECT_EQ(*index_, 99);
  wrapped->setActiveIndex(0);
  EXPECT_EQ(*index_, 99);
  wrapped->setActiveIndex(3);
  EXPECT_EQ(*index_, 2);
}

TEST_F(CarouselViewModelTest, ASingleItemNeverWrapsAndStaysCentred) {
  auto model = make({"only"}, 0, true, CarouselAutoScroll::standard());
  EXPECT_FALSE(model->isWrapEffective());
  EXPECT_EQ(model->displayedData(), (Strings{"only"}));
  EXPECT_DOUBLE_EQ(model->contentOffset(), 20);
  EXPECT_FALSE(model->autoScrollTimer().has_value());
  drag(*model, 200);
  EXPECT_EQ(model->activeIndex(), 0);
  drag(*model, -200);
  EXPECT_EQ(model->activeIndex(), 0);
  clock_.advance(1);
  EXPECT_EQ(model->activeIndex(), 0);
}

TEST_F(CarouselViewModelTest, SideItemsAreScaledWithinZeroToOne) {
  auto model = make({"A", "B", "C"}, 1, false, CarouselAutoScroll::inactive(), 0.8);
  EXPECT_DOUBLE_EQ(model->itemScale("B"), 1);
  EXPECT_DOUBLE_EQ(model->itemScale("A"), 0.8);
  EXPECT_DOUBLE_EQ(make({"A", "B"}, 0, false, CarouselAutoScroll::inactive(), 1.5)->itemScaleAt(1),
                   1);
  EXPECT_DOUBLE_EQ(make({"A", "B"}, 0, false, CarouselAutoScroll::inactive(), -0.2)->itemScaleAt(1),
                   0);
  EXPECT_DOUBLE_EQ(make({"A", "B"}, 0, false, CarouselAutoScroll::inactive(), -0.2)->itemScaleAt(0),
                   1);
  // A copy shares its identity with the item it copies, so both read as active.
  auto wrapped = make({"A", "B", "C"}, 0, true);
  EXPECT_DOUBLE_EQ(wrapped->itemScaleAt(1), 1);
  EXPECT_DOUBLE_EQ(wrapped->itemScaleAt(4), 1);
  EXPECT_DOUBLE_EQ(wrapped->itemScaleAt(0), 0.8);
  // An active position outside the list leaves nothing at full height.
  wrapped->setActiveIndex(5);
  EXPECT_DOUBLE_EQ(wrapped->itemScaleAt(1), 0);
}

TEST_F(CarouselViewModelTest, ElementsWithTheirOwnIdentityNeedNoIdentityFunction) {
  struct Page {
    int id;
    std::string text;
  };
  auto index = std::make_shared<int>(1);
  auto model =
      CarouselViewModel<Page, int>::make({{7, "a"}, {8, "b"}, {9, "c"}}, Binding<int>::to(index),
                                         10, 10, 0.5, false, CarouselAutoScroll::inactive());
  EXPECT_DOUBLE_EQ(model->itemScale(Page{8, "other text"}), 1);
  EXPECT_DOUBLE_EQ(model->itemScale(Page{7, "b"}), 0.5);
}

TEST_F(CarouselViewModelTest, TheAutomaticAdvanceCountsWholeSeconds) {
  auto model = make({"A", "B", "C"}, 0, false, CarouselAutoScroll::active(5));
  auto timer = model->autoScrollTimer();
  ASSERT_TRUE(timer.has_value());
  EXPECT_DOUBLE_EQ(timer->interval(), 1.0);
  auto ticks = timer->subscribe([model] { model->handleTimerTick(); });
  clock_.advance(4);
  EXPECT_EQ(model->activeIndex(), 0);
  EXPECT_DOUBLE_EQ(model->timing(), 4);
  clock_.advance(1);
  EXPECT_EQ(model->activeIndex(), 1);
  EXPECT_DOUBLE_EQ(model->timing(), 0);

  // A drag resets the count.
  clock_.advance(3);
  drag(*model, 0);
  clock_.advance(4);
  EXPECT_EQ(model->activeIndex(), 1);
  clock_.advance(1);
  EXPECT_EQ(model->activeIndex(), 2);

  // Paused ticks are ignored and the count resumes where it stopped.
  clock_.advance(2);
  model->setTimerActive(false);
  clock_.advance(30);
  EXPECT_EQ(model->activeIndex(), 2);
  model->setTimerActive(true);
  clock_.advance(2);
  EXPECT_EQ(model->activeIndex(), 2);
  clock_.advance(1);
  EXPECT_EQ(model->activeIndex(), 0) << "without wrap-around the last item goes back to the first";
  EXPECT_TRUE(model->offsetAnimation().has_value());

  ticks.cancel();
  clock_.advance(10);
  EXPECT_EQ(model->activeIndex(), 0);
}

TEST_F(CarouselViewModelTest, IntervalsOfZeroOrLessMeanFiveSecondsAndInactiveHasNoTimer) {
  EXPECT_EQ(make({"A", "B"}, 0, false, CarouselAutoScroll::active(0))->autoScrollInterval(), 5.0);
  EXPECT_EQ(make({"A", "B"}, 0, false, CarouselAutoScroll::active(-3))->autoScrollInterval(), 5.0);
  EXPECT_EQ(make({"A", "B"}, 0, false, CarouselAutoScroll::active(2))->autoScrollInterval(), 2.0);
  auto inactive = make({"A", "B"}, 0, false, CarouselAutoScroll::inactive());
  EXPECT_FALSE(inactive->autoScrollInterval().has_value());
  EXPECT_FALSE(inactive->autoScrollTimer().has_value());
}

TEST_F(CarouselViewModelTest, WrappedAutoAdvanceReturnsToTheFirstItemWithoutAnimation) {
  auto model = make({"A", "B", "C"}, 2, true, CarouselAutoScroll::active(1));
  auto ticks = model->autoScrollTimer()->subscribe([model] { model->handleTimerTick(); });
  clock_.advance(1);
  EXPECT_EQ(model->activeIndex(), 4);
  clock_.advance(0.1);
  EXPECT_EQ(model->activeIndex(), 1);
  EXPECT_EQ(*index_, 0);
  EXPECT_FALSE(model->offsetAnimation().has_value());
  clock_.advance(0.9);
  EXPECT_EQ(model->activeIndex(), 2);
  EXPECT_TRUE(model->offsetAnimation().has_value());
}

TEST_F(CarouselViewModelTest, TheOffsetSpringIsCriticallyDamped) {
  auto animation = make({"A", "B"}, 0, false)->offsetAnimation();
  ASSERT_TRUE(animation.has_value());
  EXPECT_EQ(*animation, (SpringAnimation{0.5, 1.0, 0}));
  // Without wrap-around the flag is never consulted.
  platform::UserDefaults::standard().setBool(false, CarouselViewModelBase::kAnimatedOffsetKey);
  EXPECT_TRUE(make({"A", "B"}, 0, false)->offsetAnimation().has_value());
  EXPECT_FALSE(make({"A", "B"}, 0, true)->offsetAnimation().has_value());
}

// Plain tests: the child process that dies must leave no temporary folder behind.
std::shared_ptr<Model> makeAt(Strings data, int index, bool isWrap) {
  return Model::make(std::move(data), itself, Binding<int>::constant(index), 10, 10, 0.8, isWrap,
                     CarouselAutoScroll::inactive());
}

TEST(CarouselViewModelDeathTest, AnIndexOutsideTheDataStopsTheProgram) {
  EXPECT_DEATH(makeAt({"A", "B"}, 2, false), "The index should be less than the count of data ");
  EXPECT_DEATH(makeAt({"A", "B"}, -1, true), "The index should be less than the count of data ");
  EXPECT_DEATH(makeAt({}, 0, false), "The index should be less than the count of data ");
}

TEST(SpringAnimation, ACriticallyDampedSpringArrivesWithoutOvershoot) {
  SpringAnimation spring{0.5, 1.0, 0};
  double previous = 0;
  for (double t = 0; t < 2; t += 0.02) {
    double value = spring.evaluate(0, 100, 0, t).value;
    EXPECT_GE(value, previous);
    EXPECT_LE(value, 100);
    previous = value;
  }
  EXPECT_NEAR(spring.evaluate(0, 100, 0, 2).value, 100, 1e-4);
  SpringAnimation bouncy{0.5, 0.3, 0};
  EXPECT_GT(bouncy.evaluate(0, 100, 0, 0.3).value, 100);
  EXPECT_NEAR(bouncy.evaluate(0, 100, 0, 10).value, 100, 1e-3);
}

TEST(SpringAnimation, ANewTargetStartsFromTheCurrentValueAndVelocity) {
  AnimatedValue value(0);
  value.animateTo(100, SpringAnimation{}, 10.0);
  double midway = value.valueAt(10.1);
  value.animateTo(-50, SpringAnimation{}, 10.1);
  EXPECT_DOUBLE_EQ(value.valueAt(10.1), midway);
  EXPECT_GT(value.velocityAt(10.1), 0);
  EXPECT_TRUE(value.isSettledAt(13));
  EXPECT_DOUBLE_EQ(value.valueAt(13), -50);
}

}  // namespace
}  // namespace widgets
