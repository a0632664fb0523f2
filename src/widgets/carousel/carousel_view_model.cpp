#include "widgets/carousel/carousel_view_model.h"

#include <algorithm>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/log.h"
#include "platform/foundation/user_defaults.h"

namespace widgets {
namespace {

int checkedIndex(const Binding<int>& index, int dataCount) {
  int value = index.get();
  // A negative position would index before the data as surely as one past its end.
  if (value < 0 || value >= dataCount)
    platform::fatal("The index should be less than the count of data ");
  return value;
}

void setAnimatedOffset(bool value) {
  platform::UserDefaults::standard().setBool(value, CarouselViewModelBase::kAnimatedOffsetKey);
}

}  // namespace

CarouselViewModelBase::CarouselViewModelBase(int dataCount, Binding<int> index, double spacing,
                                             double headspace, bool isWrap, double sidesScaling,
                                             CarouselAutoScroll autoScroll)
    : index_(std::move(index)),
      dataCount_(dataCount),
      spacing_(spacing),
      headspace_(headspace),
      isWrap_(isWrap),
      sidesScaling_(sidesScaling),
      autoScroll_(autoScroll),
      activeIndex_(*this, checkedIndex(index_, dataCount) + (dataCount >= 2 && isWrap ? 1 : 0)) {}

void CarouselViewModelBase::setActiveIndex(int value) {
  if (!isWrapEffective()) {
    index_.set(value);
  } else if (value >= 1 && value <= dataCount_) {
    index_.set(value - 1);
  }
  activeIndex_.set(value);
  checkWrapJump();
}

void CarouselViewModelBase::checkWrapJump() {
  setAnimatedOffset(true);
  if (!isWrapEffective()) return;
  const int n = displayedCount();
  const double leading = headspace_ + spacing_;
  const double trailing = (headspace_ + spacing_) - (n - 1) * (itemWidth() + spacing_);
  const double offset = contentOffset();
  auto self = shared_from_this();
  if (offset == leading) {
    platform::DispatchQueue::main()->asyncAfter(kWrapJumpDelay, [self] { self->jumpToLastItem(); });
  } else if (offset == trailing) {
    platform::DispatchQueue::main()->asyncAfter(kWrapJumpDelay,
                                                [self] { self->jumpToFirstItem(); });
  }
}

void CarouselViewModelBase::jumpToLastItem() {
  setActiveIndex(displayedCount() - 2);
  setAnimatedOffset(false);
}

void CarouselViewModelBase::jumpToFirstItem() {
  setActiveIndex(1);
  setAnimatedOffset(false);
}

double CarouselViewModelBase::sideScale() const {
  return std::clamp(sidesScaling_, 0.0, 1.0);
}

std::optional<double> CarouselViewModelBase::autoScrollInterval() const {
  if (dataCount_ < 2 || !autoScroll_.isActive()) return std::nullopt;
  double seconds = *autoScroll_.seconds();
  return seconds > 0 ? seconds : 5.0;
}

std::optional<SpringAnimation> CarouselViewModelBase::offsetAnimation() const {
  if (isWrapEffective() && !platform::UserDefaults::standard().boolForKey(kAnimatedOffsetKey)) {
    return std::nullopt;
  }
  return SpringAnimation{.response = 0.5, .dampingFraction = 1.0, .blendDuration = 0};
}

std::optional<TimerPublisher> CarouselViewModelBase::autoScrollTimer() const {
  auto interval = autoScrollInterval();
  if (!interval || *interval <= 0) return std::nullopt;
  return TimerPublisher(kTimerInterval);
}

DragGesture CarouselViewModelBase::dragGesture() {
  std::weak_ptr<CarouselViewModelBase> weak = weak_from_this();
  return DragGesture{
      .minimumDistance = 10,
      .onChanged =
          [weak](const DragValue& value) {
            if (auto self = weak.lock()) self->dragChanged(value);
          },
      .onEnded =
          [weak](const DragValue& value) {
            if (auto self = weak.lock()) self->dragEnded(value);
          },
  };
}

void CarouselViewModelBase::handleTimerTick() {
  if (!isTimerActive_) return;
  timing_ += 1;
  if (auto interval = autoScrollInterval(); interval && timing_ < *interval) return;
  const int n = displayedCount();
  setActiveIndex(activeIndex() == n - 1 ? 0 : activeIndex() + 1);
  timing_ = 0;
}

void CarouselViewModelBase::dragChanged(const DragValue& value) {
  setAnimatedOffset(true);
  const double page = itemWidth() + spacing_;
  const double t = value.translation.width;
  setDragOffset(t > 0 ? std::min(t, page) : std::max(t, -page));
  isTimerActive_ = false;
}

void CarouselViewModelBase::dragEnded(const DragValue& value) {
  setDragOffset(0);
  timing_ = 0;
  isTimerActive_ = true;
  const double threshold = itemWidth() / 3;
  const double t = value.translation.width;
  int next = activeIndex();
  if (t > threshold) {
    next -= 1;
  } else if (t < -threshold) {
    next += 1;
  }
  setActiveIndex(std::clamp(next, 0, displayedCount() - 1));
}

}  // namespace widgets
