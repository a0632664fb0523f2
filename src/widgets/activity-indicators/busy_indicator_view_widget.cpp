#include "widgets/activity-indicators/busy_indicator_view_widget.h"

#include <QPainter>

#include "platform/foundation/process_info.h"
#include "widgets/activity-indicators/indicator_figures_widget.h"

namespace widgets {

BusyIndicatorView::BusyIndicatorView(Binding<bool> isVisible, IndicatorType type, QWidget* parent)
    : QWidget(parent), isVisible_(std::move(isVisible)), type_(std::move(type)) {
  setAttribute(Qt::WA_TranslucentBackground);
  frameTimer_.setInterval(16);
  connect(&frameTimer_, &QTimer::timeout, this, [this] { refresh(); });
}

void BusyIndicatorView::setType(IndicatorType type) {
  type_ = std::move(type);
  if (shown_) startFigure();
  update();
}

void BusyIndicatorView::setRandomSource(std::shared_ptr<RandomSource> source) {
  randomSource_ = source ? std::move(source) : systemRandomSource();
}

void BusyIndicatorView::startFigure() {
  appearedAt_ = platform::systemUptime();
  arcsDraws_.clear();
  if (auto arcs = type_.as<IndicatorType::Arcs>())
    arcsDraws_ = drawArcs(arcs->count, *randomSource_);
}

bool BusyIndicatorView::followFlag() {
  const bool wanted = isVisible_.get();
  if (wanted == shown_) return false;
  shown_ = wanted;
  if (shown_) startFigure();
  followFigureWithTimer();
  return true;
}

void BusyIndicatorView::followFigureWithTimer() {
  const bool drawn = shown_ && isVisible();
  if (drawn && !frameTimer_.isActive()) {
    frameTimer_.start();
  } else if (!drawn) {
    frameTimer_.stop();
  }
}

void BusyIndicatorView::refresh() {
  // While shown, every frame moves the figure; while hidden, only the change needs a repaint.
  if (followFlag() || shown_) update();
}

double BusyIndicatorView::secondsSinceAppearance() const {
  return shown_ ? platform::systemUptime() - appearedAt_ : 0;
}

void BusyIndicatorView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  refresh();
}

void BusyIndicatorView::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  // Leaving the screen ends the figure; coming back starts it again.
  shown_ = false;
  followFigureWithTimer();
}

void BusyIndicatorView::paintEvent(QPaintEvent*) {
  followFlag();
  if (!shown_) return;
  QPainter painter(this);
  const Size box{static_cast<double>(width()), static_cast<double>(height())};
  paintFigure(painter, type_,
              FigureFrame{box, secondsSinceAppearance(), palette().color(QPalette::WindowText),
                          arcsDraws_});
}

}  // namespace widgets
