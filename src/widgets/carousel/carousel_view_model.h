#pragma once

#include <concepts>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/foundation/observable.h"
#include "widgets/binding.h"
#include "widgets/carousel/carousel_auto_scroll.h"
#include "widgets/carousel/spring_animation.h"
#include "widgets/carousel/timer_publisher.h"
#include "widgets/geometry.h"

namespace widgets {

// What a drag reports: how far the pointer moved since the drag began.
struct DragValue {
  Size translation;
};

// The drag a carousel reacts to, with the handlers it calls.
struct DragGesture {
  double minimumDistance = 10;
  std::function<void(const DragValue&)> onChanged;
  std::function<void(const DragValue&)> onEnded;
};

// The state and arithmetic of a horizontally paged carousel, independent of the element type:
// the active page, the row's offset, each page's vertical scale, dragging, the automatic
// advance and the silent jump that closes a wrap-around. Main thread only.
//
// With wrap-around the laid-out list holds a copy of the last item before the first and a copy
// of the first after the last; landing on a copy jumps to the real item 0.1 s later without
// animation.
class CarouselViewModelBase : public platform::ObservableObject,
                              public std::enable_shared_from_this<CarouselViewModelBase> {
 public:
  // Shared by every carousel of the process, in the standard user defaults.
  static constexpr std::string_view kAnimatedOffsetKey = "isAnimatedOffset";
  static constexpr double kWrapJumpDelay = 0.1;
  static constexpr double kTimerInterval = 1.0;

  ~CarouselViewModelBase() override = default;

  // The caller's selected position in its own data.
  int index() const { return index_.get(); }
  void setIndex(int value) { index_.set(value); }

  // The active position in the laid-out list. Every write, also of an unchanged value, writes
  // the caller's index back and checks for a wrap jump.
  int activeIndex() const { return activeIndex_.get(); }
  void setActiveIndex(int value);
  [[nodiscard]] platform::Cancellable sinkActiveIndex(std::function<void(const int&)> handler) {
    return activeIndex_.sink(std::move(handler));
  }

  double dragOffset() const { return dragOffset_.get(); }
  void setDragOffset(double value) { dragOffset_.set(value); }
  [[nodiscard]] platform::Cancellable sinkDragOffset(std::function<void(const double&)> handler) {
    return dragOffset_.sink(std::move(handler));
  }

  // Set by the view on every layout, without announcing a change.
  Size viewSize() const { return viewSize_; }
  void setViewSize(Size size) { viewSize_ = size; }

  double timing() const { return timing_; }
  void setTiming(double value) { timing_ = value; }
  bool isTimerActive() const { return isTimerActive_; }
  virtual void setTimerActive(bool active) { isTimerActive_ = active; }

  double spacing() const { return spacing_; }
  double headspace() const { return headspace_; }
  bool isWrap() const { return isWrap_; }
  double sidesScaling() const { return sidesScaling_; }
  const CarouselAutoScroll& autoScroll() const { return autoScroll_; }
  int dataCount() const { return dataCount_; }

  bool isWrapEffective() const { return isWrap_ && dataCount_ >= 2; }
  int displayedCount() const { return isWrapEffective() ? dataCount_ + 2 : dataCount_; }
  double itemWidth() const { return viewSize_.width - 2 * (headspace_ + spacing_); }
  double contentOffset() const {
    return (headspace_ + spacing_) - activeIndex() * (itemWidth() + spacing_) + dragOffset();
  }
  // The vertical scale of the laid-out item at `position`.
  virtual double itemScaleAt(int position) const = 0;

  std::optional<double> autoScrollInterval() const;
  // The spring toward each new offset; none right after a wrap jump.
  std::optional<SpringAnimation> offsetAnimation() const;
  // A new one-second timer on each call; none without an automatic advance.
  std::optional<TimerPublisher> autoScrollTimer() const;
  DragGesture dragGesture();

  void handleTimerTick();
  void dragChanged(const DragValue& value);
  void dragEnded(const DragValue& value);

 protected:
  CarouselViewModelBase(int dataCount, Binding<int> index, double spacing, double headspace,
                        bool isWrap, double sidesScaling, CarouselAutoScroll autoScroll);

  // The clamped scale of the items that are not active.
  double sideScale() const;

 private:
  void checkWrapJump();
  void jumpToLastItem();
  void jumpToFirstItem();

  Binding<int> index_;
  int dataCount_;
  double spacing_;
  double headspace_;
  bool isWrap_;
  double sidesScaling_;
  CarouselAutoScroll autoScroll_;
  platform::Published<int> activeIndex_{*this, 0};
  platform::Published<double> dragOffset_{*this, 0};
  Size viewSize_;
  double timing_ = 0;
  bool isTimerActive_ = true;
};

// Elements that carry their own identity in a member `id`.
template <class Element>
concept Identifiable = requires(const Element& element) {
  element.id;
};

template <class Element>
using IdentityOf = std::remove_cvref_t<decltype(std::declval<const Element&>().id)>;

// The carousel view model over the caller's elements, each identified by `dataId`.
template <class Element, class ID>
class CarouselViewModel final : public CarouselViewModelBase {
 public:
  using IdentityFunction = std::function<ID(const Element&)>;

  // `index` must lie within `data`; anything else stops the program.
  static std::shared_ptr<CarouselViewModel> make(std::vector<Element> data, IdentityFunction dataId,
                                                 Binding<int> index, double spacing,
                                                 double headspace, double sidesScaling, bool isWrap,
                                                 CarouselAutoScroll autoScroll) {
    return std::shared_ptr<CarouselViewModel>(
        new CarouselViewModel(std::move(data), std::move(dataId), std::move(index), spacing,
                              headspace, sidesScaling, isWrap, autoScroll));
  }

  static std::shared_ptr<CarouselViewModel> make(std::vector<Element> data, Binding<int> index,
                                                 double spacing, double headspace,
                                                 double sidesScaling, bool isWrap,
                                                 CarouselAutoScroll autoScroll) requires
      Identifiable<Element> && std::convertible_to<IdentityOf<Element>, ID> {
    return make(
        std::move(data), [](const Element& element) -> ID { return element.id; }, std::move(index),
        spacing, headspace, sidesScaling, isWrap, autoScroll);
  }

  const std::vector<Element>& data() const { return data_; }
  const IdentityFunction& dataId() const { return dataId_; }

  // The laid-out list: the data, or with wrap-around the last item, the data and the first
  // item.
  std::vector<Element> displayedData() const {
    if (!isWrapEffective()) return data_;
    std::vector<Element> displayed;
    displayed.reserve(data_.size() + 2);
    displayed.push_back(data_.back());
    displayed.insert(displayed.end(), data_.begin(), data_.end());
    displayed.push_back(data_.front());
    return displayed;
  }

  // The element laid out at `position` (0 ≤ position < displayedCount()), without building
  // the list.
  const Element& displayedElement(int position) const {
    if (!isWrapEffective()) return data_[static_cast<std::size_t>(position)];
    if (position == 0) return data_.back();
    if (position == displayedCount() - 1) return data_.front();
    return data_[static_cast<std::size_t>(position - 1)];
  }

  // 1 for the active item (and any item sharing its identity), the clamped side scale for the
  // others, 0 while the active position lies outside the list.
  double itemScale(const Element& element) const {
    if (activeIndex() < 0 || activeIndex() >= displayedCount()) return 0;
    return dataId_(element) == dataId_(displayedElement(activeIndex())) ? 1 : sideScale();
  }

  double itemScaleAt(int position) const override { return itemScale(displayedElement(position)); }

 private:
  CarouselViewModel(std::vector<Element> data, IdentityFunction dataId, Binding<int> index,
                    double spacing, double headspace, double sidesScaling, bool isWrap,
                    CarouselAutoScroll autoScroll)
      : CarouselViewModelBase(static_cast<int>(data.size()), std::move(index), spacing, headspace,
                              isWrap, sidesScaling, autoScroll),
        data_(std::move(data)),
        dataId_(std::move(dataId)) {}

  std::vector<Element> data_;
  IdentityFunction dataId_;
};

}  // namespace widgets
