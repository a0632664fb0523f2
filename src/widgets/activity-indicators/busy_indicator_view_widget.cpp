#include "widgets/activity-indicators/busy_indicator_view_widget.h"

#include <QPainter>
#include <QPainterPath>

#include "platform/foundation/process_info.h"
#include "widgets/activity-indicators/equalizer_indicator.h"
#include "widgets/activity-indicators/flickering_dots_indicator.h"

namespace widgets {

BusyIndicatorView::BusyIndicatorView(Binding<bool> isVisible, IndicatorType type, QWidget* parent)
    : QWidget(parent), isVisible_(std::move(isVisible)), type_(std::move(type)) {
  setAttribute(Qt::WA_TranslucentBackground);
  frameTimer_.setInterval(16);
  connect(&frameTimer_, &QTimer::timeout, this, [this] { refresh(); });
}

void BusyIndicatorView::setType(IndicatorType type) {
  type_ = std::move(type);
  if (shown_) appearedAt_ = platform::systemUptime();
  update();
}

bool BusyIndicatorView::followFlag() {
  const bool wanted = isVisible_.get();
  if (wanted == shown_) return false;
  shown_ = wanted;
  if (shown_) appearedAt_ = platform::systemUptime();
  return true;
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
  frameTimer_.start();
  refresh();
}

void BusyIndicatorView::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  frameTimer_.stop();
  // Leaving the screen ends the figure; coming back starts it again.
  shown_ = false;
}

void BusyIndicatorView::paintEvent(QPaintEvent*) {
  followFlag();
  if (!shown_) return;
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(palette().color(QPalette::WindowText));
  const double elapsed = secondsSinceAppearance();
  // The figures of the other kinds are not drawn by this view yet; it shows nothing for them.
  if (auto equalizer = type_.as<IndicatorType::Equalizer>()) {
    paintEqualizer(painter, equalizer->count, elapsed);
  } else if (auto dots = type_.as<IndicatorType::FlickeringDots>()) {
    paintFlickeringDots(painter, dots->count, elapsed);
  }
}

void BusyIndicatorView::paintEqualizer(QPainter& painter, int count, double elapsed) const {
  const Size box{static_cast<double>(width()), static_cast<double>(height())};
  for (const auto& bar : equalizerItems(count, box)) {
    const Point offset = bar.offset();
    painter.save();
    painter.translate(box.width / 2 + offset.x, box.height / 2 + offset.y);
    painter.scale(1, bar.scale(elapsed));
    const double w = bar.barWidth();
    const double h = bar.barHeight();
    painter.drawRoundedRect(QRectF(-w / 2, -h / 2, w, h), EqualizerIndicatorItem::kCornerRadius,
                            EqualizerIndicatorItem::kCornerRadius);
    painter.restore();
  }
}

void BusyIndicatorView::paintFlickeringDots(QPainter& painter, int count, double elapsed) const {
  const Size box{static_cast<double>(width()), static_cast<double>(height())};
  for (const auto& dot : flickeringDotsItems(count, box)) {
    const Point offset = dot.offset();
    const double radius = dot.diameter() / 2 * dot.scale(elapsed);
    painter.setOpacity(dot.opacity(elapsed));
    painter.drawEllipse(QPointF(box.width / 2 + offset.x, box.height / 2 + offset.y), radius,
                        radius);
  }
  painter.setOpacity(1);
}

}  // namespace widgets
