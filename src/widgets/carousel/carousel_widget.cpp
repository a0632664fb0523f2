#include "widgets/carousel/carousel_widget.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>

#include <cmath>

#include "platform/foundation/process_info.h"

namespace widgets {

CarouselWidgetBase::CarouselWidgetBase(QWidget* parent) : QWidget(parent) {
  frameTimer_.setInterval(16);
  connect(&frameTimer_, &QTimer::timeout, this, [this] { update(); });
  if (qGuiApp) {
    connect(qGuiApp, &QGuiApplication::applicationStateChanged, this,
            [this](Qt::ApplicationState state) {
              applicationActivityChanged(state == Qt::ApplicationActive);
            });
  }
}

CarouselWidgetBase::~CarouselWidgetBase() = default;

double CarouselWidgetBase::now() {
  return platform::systemUptime();
}

void CarouselWidgetBase::bindModel(std::shared_ptr<CarouselViewModelBase> model) {
  willChange_.cancel();
  timerSubscription_.cancel();
  model_ = std::move(model);
  willChange_ = model_->objectWillChange().subscribe([this] { update(); });
  scales_.resize(static_cast<std::size_t>(model_->displayedCount()), AnimatedValue(0, 0.0005));
  model_->setViewSize(Size{static_cast<double>(width()), static_cast<double>(height())});
  if (isVisible()) startTimer();
  update();
}

void CarouselWidgetBase::startTimer() {
  timerSubscription_.cancel();
  auto timer = model_->autoScrollTimer();
  if (!timer) return;
  std::weak_ptr<CarouselViewModelBase> weak = model_;
  timerSubscription_ = timer->subscribe([weak] {
    if (auto model = weak.lock()) model->handleTimerTick();
  });
}

void CarouselWidgetBase::syncToModel() {
  model_->setViewSize(Size{static_cast<double>(width()), static_cast<double>(height())});
  const double t = now();
  // The first layout appears in place; later changes move along the spring, if there is one.
  std::optional<SpringAnimation> animation;
  if (laidOut_) animation = model_->offsetAnimation();
  if (double target = model_->contentOffset(); !laidOut_ || target != offset_.target()) {
    offset_.animateTo(target, animation, t);
  }
  for (std::size_t p = 0; p < scales_.size(); ++p) {
    double target = model_->itemScaleAt(static_cast<int>(p));
    if (!laidOut_ || target != scales_[p].target()) scales_[p].animateTo(target, animation, t);
  }
  laidOut_ = true;
  if (isAnimating()) {
    if (!frameTimer_.isActive()) frameTimer_.start();
  } else {
    frameTimer_.stop();
  }
}

bool CarouselWidgetBase::isAnimating() const {
  const double t = now();
  if (!offset_.isSettledAt(t)) return true;
  for (const auto& scale : scales_) {
    if (!scale.isSettledAt(t)) return true;
  }
  return false;
}

double CarouselWidgetBase::displayedOffset() const {
  return offset_.valueAt(now());
}

void CarouselWidgetBase::applicationActivityChanged(bool active) {
  if (model_) model_->setTimerActive(active);
}

void CarouselWidgetBase::paintEvent(QPaintEvent*) {
  syncToModel();
  QPainter painter(this);
  painter.setClipRect(rect());
  const double itemWidth = model_->itemWidth();
  if (itemWidth <= 0) return;
  const double t = now();
  const double offset = offset_.valueAt(t);
  const double step = itemWidth + model_->spacing();
  const double h = height();
  for (std::size_t p = 0; p < scales_.size(); ++p) {
    const double x = offset + static_cast<double>(p) * step;
    if (x + itemWidth < 0 || x > width()) continue;
    const double scale = scales_[p].valueAt(t);
    if (scale <= 0) continue;
    QRectF frame(x, 0, itemWidth, h);
    painter.save();
    painter.translate(frame.center());
    painter.scale(1, scale);
    painter.translate(-frame.center());
    paintEntry(painter, frame, static_cast<int>(p));
    painter.restore();
  }
}

void CarouselWidgetBase::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (!model_) return;
  // A new size re-lays the row at once; only page changes spring.
  model_->setViewSize(Size{static_cast<double>(width()), static_cast<double>(height())});
  offset_.animateTo(model_->contentOffset(), std::nullopt, now());
}

void CarouselWidgetBase::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (model_) startTimer();
}

void CarouselWidgetBase::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  timerSubscription_.cancel();
}

void CarouselWidgetBase::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
  pressPosition_ = event->position();
  dragging_ = false;
}

void CarouselWidgetBase::mouseMoveEvent(QMouseEvent* event) {
  if (!pressPosition_ || !model_) return QWidget::mouseMoveEvent(event);
  const QPointF translation = event->position() - *pressPosition_;
  auto gesture = model_->dragGesture();
  if (!dragging_ && std::hypot(translation.x(), translation.y()) < gesture.minimumDistance) return;
  dragging_ = true;
  gesture.onChanged(DragValue{Size{translation.x(), translation.y()}});
}

void CarouselWidgetBase::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !pressPosition_) {
    return QWidget::mouseReleaseEvent(event);
  }
  const QPointF translation = event->position() - *pressPosition_;
  pressPosition_.reset();
  if (!dragging_ || !model_) return;
  dragging_ = false;
  model_->dragGesture().onEnded(DragValue{Size{translation.x(), translation.y()}});
}

}  // namespace widgets
