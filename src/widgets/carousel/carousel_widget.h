#pragma once

#include <QPointF>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/foundation/observable.h"
#include "widgets/carousel/carousel_view_model.h"

class QPainter;

namespace widgets {

// The painted half of the carousel, whatever the element type: lays the row out from the view
// model, springs toward each new offset and scale, turns mouse drags into the view model's
// drag gesture, forwards its timer ticks, and pauses the automatic advance while the
// application is not active.
class CarouselWidgetBase : public QWidget {
 public:
  explicit CarouselWidgetBase(QWidget* parent = nullptr);
  ~CarouselWidgetBase() override;

  const std::shared_ptr<CarouselViewModelBase>& model() const { return model_; }

  // Whether a spring is still moving (for tests and for knowing when to stop repainting).
  bool isAnimating() const;
  // The row's offset as drawn now.
  double displayedOffset() const;

  // Called with the application's activity; the automatic advance counts only while active.
  void applicationActivityChanged(bool active);

 protected:
  // Installs a new view model; the drawn values move on from where they are.
  void bindModel(std::shared_ptr<CarouselViewModelBase> model);
  // Paints the element at `position` of the laid-out list into `frame`, an item-wide rectangle
  // as tall as the carousel (already scaled vertically about its centre).
  virtual void paintEntry(QPainter& painter, const QRectF& frame, int position) = 0;

  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  // Brings the drawn values toward what the view model says now.
  void syncToModel();
  void startTimer();
  static double now();

  std::shared_ptr<CarouselViewModelBase> model_;
  platform::Cancellable willChange_;
  platform::Cancellable timerSubscription_;
  AnimatedValue offset_{0, 0.01};
  std::vector<AnimatedValue> scales_;
  bool laidOut_ = false;
  QTimer frameTimer_;
  std::optional<QPointF> pressPosition_;
  bool dragging_ = false;
};

// A horizontally paged carousel of painted entries. The active entry sits in the middle at
// full height; its neighbours show `headspace` points of their edges after a gap of `spacing`,
// scaled vertically by `sidesScaling`.
template <class Element, class ID>
class Carousel : public CarouselWidgetBase {
 public:
  using ViewModel = CarouselViewModel<Element, ID>;
  // Paints one element into its frame.
  using Content = std::function<void(QPainter&, const QRectF&, const Element&)>;

  Carousel(std::vector<Element> data, typename ViewModel::IdentityFunction id, Binding<int> index,
           bool isWrap, double spacing, double headspace, double sidesScaling,
           CarouselAutoScroll autoScroll, Content content, QWidget* parent = nullptr)
      : CarouselWidgetBase(parent),
        data_(std::move(data)),
        id_(std::move(id)),
        index_(std::move(index)),
        isWrap_(isWrap),
        spacing_(spacing),
        headspace_(headspace),
        sidesScaling_(sidesScaling),
        autoScroll_(autoScroll),
        content_(std::move(content)) {
    rebuild();
  }

  // For elements that carry their own `id`.
  Carousel(std::vector<Element> data, Binding<int> index, bool isWrap, double spacing,
           double headspace, double sidesScaling, CarouselAutoScroll autoScroll, Content content,
           QWidget* parent = nullptr) requires
      Identifiable<Element> && std::convertible_to<IdentityOf<Element>, ID>
      : Carousel(
            std::move(data), [](const Element& element) -> ID { return element.id; },
            std::move(index), isWrap, spacing, headspace, sidesScaling, autoScroll,
            std::move(content), parent) {}

  const std::shared_ptr<ViewModel>& viewModel() const { return viewModel_; }

  // Starts over with a new view model that reads the caller's index afresh, as when the
  // caller builds the carousel again (after changing the index itself, for instance).
  void rebuild() {
    viewModel_ = ViewModel::make(data_, id_, index_, spacing_, headspace_, sidesScaling_, isWrap_,
                                 autoScroll_);
    bindModel(viewModel_);
  }

 protected:
  void paintEntry(QPainter& painter, const QRectF& frame, int position) override {
    content_(painter, frame, viewModel_->displayedElement(position));
  }

 private:
  std::vector<Element> data_;
  typename ViewModel::IdentityFunction id_;
  Binding<int> index_;
  bool isWrap_;
  double spacing_;
  double headspace_;
  double sidesScaling_;
  CarouselAutoScroll autoScroll_;
  Content content_;
  std::shared_ptr<ViewModel> viewModel_;
};

}  // namespace widgets
