#include "widgets/activity-indicators/indicator_figures_widget.h"

#include <QConicalGradient>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <numbers>

#include "widgets/activity-indicators/default_indicator.h"
#include "widgets/activity-indicators/equalizer_indicator.h"
#include "widgets/activity-indicators/flickering_dots_indicator.h"
#include "widgets/activity-indicators/gradient_indicator.h"
#include "widgets/activity-indicators/growing_arc_indicator.h"
#include "widgets/activity-indicators/growing_circle_indicator.h"
#include "widgets/activity-indicators/opacity_dots_indicator.h"
#include "widgets/activity-indicators/rotating_dots_indicator.h"
#include "widgets/activity-indicators/scaling_dots_indicator.h"

namespace widgets {
namespace {

constexpr double kDegreesPerRadian = 180 / std::numbers::pi;

QColor toQColor(const Color& color) {
  return QColor::fromRgbF(static_cast<float>(color.red), static_cast<float>(color.green),
                          static_cast<float>(color.blue), static_cast<float>(color.alpha));
}

QPointF centreOf(Size box) {
  return QPointF(box.width / 2, box.height / 2);
}

// The models measure angles clockwise on screen; Qt measures them counter-clockwise, so every
// angle changes sign on the way in. An empty sweep gives an empty path: Qt would draw a
// negative sweep the other way round, the complement of what was asked.
QPainterPath clockwiseArc(QPointF centre, double radius, double fromDegrees, double sweepDegrees) {
  QPainterPath path;
  if (!(radius > 0) || !(sweepDegrees > 0)) return path;
  const QRectF rect(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);
  path.arcMoveTo(rect, -fromDegrees);
  path.arcTo(rect, -fromDegrees, -std::min(sweepDegrees, 360.0));
  return path;
}

Qt::PenCapStyle toQt(LineCap cap) {
  switch (cap) {
    case LineCap::round:
      return Qt::RoundCap;
    case LineCap::square:
      return Qt::SquareCap;
    case LineCap::butt:
      break;
  }
  return Qt::FlatCap;
}

// Callers check the width first: Qt strokes a width of 0 as a one-pixel hairline.
QPen strokePen(const QBrush& brush, double width, LineCap cap) {
  QPen pen(brush, width, Qt::SolidLine, toQt(cap), Qt::MiterJoin);
  // A miter limit of 10 line widths from the inner corner is 5 from the join point, Qt's
  // measure.
  pen.setMiterLimit(5);
  return pen;
}

// Corners rounded beyond half the bar's width or height make a capsule.
void fillRoundedBar(QPainter& painter, double width, double height, double radius) {
  const double r = std::clamp(radius, 0.0, std::min(width, height) / 2);
  painter.drawRoundedRect(QRectF(-width / 2, -height / 2, width, height), r, r);
}

// Fills the circle of `diameter` about the painter's origin scaled by `scale`; a negative scale
// mirrors it.
void fillScaledDot(QPainter& painter, double diameter, double scale) {
  if (!(diameter > 0) || scale == 0) return;
  painter.scale(scale, scale);
  painter.drawEllipse(QPointF(0, 0), diameter / 2, diameter / 2);
}

void paintDefault(QPainter& painter, const IndicatorType::Default& kind, const FigureFrame& f) {
  for (const auto& bar : defaultItems(kind.count, f.box)) {
    const Point offset = bar.offset();
    painter.save();
    painter.translate(centreOf(f.box) + QPointF(offset.x, offset.y));
    painter.rotate(bar.rotation() * kDegreesPerRadian);
    painter.setOpacity(bar.opacity(f.elapsed));
    fillRoundedBar(painter, bar.barWidth(), bar.barHeight(), bar.cornerRadius());
    painter.restore();
  }
}

void paintArcs(QPainter& painter, const IndicatorType::Arcs& kind, const FigureFrame& f) {
  for (const auto& arc : arcsItems(kind.count, kind.lineWidth, f.box, f.arcsDraws)) {
    if (!arc.isDrawn()) continue;
    painter.save();
    painter.translate(arc.centre().x, arc.centre().y);
    painter.rotate(arc.rotation(f.elapsed));
    painter.strokePath(
        clockwiseArc(QPointF(0, 0), arc.radius(), arc.coveredFrom(), arc.coveredSweep()),
        strokePen(f.foreground, arc.lineWidth, LineCap::butt));
    painter.restore();
  }
}

void paintGradient(QPainter& painter, const IndicatorType::Gradient& kind, const FigureFrame& f) {
  const GradientIndicator figure{kind.colors, kind.lineCap, kind.lineWidth, f.box};
  if (!figure.strokes()) return;
  const QPointF centre = centreOf(f.box);
  const double r = figure.radius();
  if (r > 0) {
    QPainterPath ring;
    ring.addEllipse(centre, r, r);
    painter.strokePath(ring,
                       strokePen(toQColor(figure.baseColor()), figure.lineWidth, LineCap::butt));
  }
  // A Qt gradient with no stops would paint its own black-to-white sweep.
  if (!figure.hasGradientRing()) return;
  // Qt's conical gradient runs counter-clockwise from its angle, so the stops go in mirrored:
  // clockwise location l sits at 1 − l.
  QConicalGradient gradient(QPointF(0, 0), 0);
  const auto locations = figure.stopLocations();
  for (std::size_t i = 0; i < locations.size(); ++i)
    gradient.setColorAt(1 - locations[i], toQColor(figure.colors[i]));
  if (locations.size() == 1) gradient.setColorAt(1, toQColor(figure.colors.front()));
  painter.save();
  painter.translate(centre);
  painter.rotate(figure.rotation(f.elapsed));
  painter.strokePath(clockwiseArc(QPointF(0, 0), r, 360 * figure.trimFrom(),
                                  360 * (figure.trimTo() - figure.trimFrom())),
                     strokePen(QBrush(gradient), figure.lineWidth, figure.lineCap));
  painter.restore();
}

void paintGrowingArc(QPainter& painter, const IndicatorType::GrowingArc& kind,
                     const FigureFrame& f) {
  const GrowingArcIndicator figure{kind.color, kind.lineWidth};
  if (!figure.strokes()) return;
  const ArcPath arc = figure.arc(f.elapsed).path(f.box);
  if (arc.isEmpty()) return;
  painter.strokePath(clockwiseArc(QPointF(arc.centre.x, arc.centre.y), arc.radius,
                                  arc.from * kDegreesPerRadian, arc.sweep * kDegreesPerRadian),
                     strokePen(toQColor(kind.color), figure.lineWidth, LineCap::butt));
}

void paintGrowingCircle(QPainter& painter, const FigureFrame& f) {
  const GrowingCircleIndicator figure{f.box};
  painter.save();
  painter.translate(centreOf(f.box));
  painter.setOpacity(figure.opacity(f.elapsed));
  fillScaledDot(painter, 2 * figure.radius(), figure.scale(f.elapsed));
  painter.restore();
}

void paintOpacityDots(QPainter& painter, const IndicatorType::OpacityDots& kind,
                      const FigureFrame& f) {
  for (const auto& dot : opacityDotsItems(kind.count, kind.inset, f.box)) {
    if (!dot.isDrawn()) continue;
    painter.save();
    painter.translate(centreOf(f.box) + QPointF(dot.offset().x, dot.offset().y));
    painter.setOpacity(dot.opacity(f.elapsed));
    fillScaledDot(painter, dot.diameter(), dot.scale(f.elapsed));
    painter.restore();
  }
}

void paintScalingDots(QPainter& painter, const IndicatorType::ScalingDots& kind,
                      const FigureFrame& f) {
  for (const auto& dot : scalingDotsItems(kind.count, kind.inset, f.box)) {
    if (!dot.isDrawn()) continue;
    painter.save();
    painter.translate(centreOf(f.box) + QPointF(dot.offset().x, dot.offset().y));
    fillScaledDot(painter, dot.diameter(), dot.scale(f.elapsed));
    painter.restore();
  }
}

void paintRotatingDots(QPainter& painter, const IndicatorType::RotatingDots& kind,
                       const FigureFrame& f) {
  for (const auto& dot : rotatingDotsItems(kind.count, f.box)) {
    painter.save();
    painter.translate(centreOf(f.box));
    painter.rotate(dot.rotation(f.elapsed));
    painter.translate(dot.offset().x, dot.offset().y);
    fillScaledDot(painter, dot.diameter(), dot.scale(f.elapsed));
    painter.restore();
  }
}

void paintEqualizer(QPainter& painter, const IndicatorType::Equalizer& kind, const FigureFrame& f) {
  for (const auto& bar : equalizerItems(kind.count, f.box)) {
    const Point offset = bar.offset();
    painter.save();
    painter.translate(centreOf(f.box) + QPointF(offset.x, offset.y));
    painter.scale(1, bar.scale(f.elapsed));
    fillRoundedBar(painter, bar.barWidth(), bar.barHeight(), EqualizerIndicatorItem::kCornerRadius);
    painter.restore();
  }
}

void paintFlickeringDots(QPainter& painter, const IndicatorType::FlickeringDots& kind,
                         const FigureFrame& f) {
  for (const auto& dot : flickeringDotsItems(kind.count, f.box)) {
    painter.save();
    painter.translate(centreOf(f.box) + QPointF(dot.offset().x, dot.offset().y));
    painter.setOpacity(dot.opacity(f.elapsed));
    fillScaledDot(painter, dot.diameter(), dot.scale(f.elapsed));
    painter.restore();
  }
}

}  // namespace

void paintFigure(QPainter& painter, const IndicatorType& type, const FigureFrame& frame) {
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(frame.foreground);
  std::visit(
      [&](const auto& kind) {
        using Kind = std::decay_t<decltype(kind)>;
        if constexpr (std::is_same_v<Kind, IndicatorType::Default>) {
          paintDefault(painter, kind, frame);
        } else if constexpr (std::is_same_v<Kind, IndicatorType::Arcs>) {
          paintArcs(painter, kind, frame);
        } else if constexpr (std::is_same_v<Kind, IndicatorType::RotatingDots>) {
          paintRotatingDots(painter, kind, frame);
        } else if constexpr (std::is_same_v<Kind, IndicatorType::FlickeringDots>) {
          paintFlickeringDots(painter, kind, frame);
        } else if constexpr (std::is_same_v<Kind, IndicatorType::ScalingDots>) {
          paintScalingDots(painter, kind, frame);
        } else if constexpr (std::is_same_v<Kind, IndicatorType::OpacityDots>) {
          paintOpacityDots(painter, kind, frame);
        } else if constexpr (std::is_same_v<Kind, IndicatorType::Equalizer>) {
          paintEqualizer(painter, kind, frame);
        } else if constexpr (std::is_same_v<Kind, IndicatorType::GrowingArc>) {
          paintGrowingArc(painter, kind, frame);
        } else if constexpr (std::is_same_v<Kind, IndicatorType::Gradient>) {
          paintGradient(painter, kind, frame);
        } else {
          paintGrowingCircle(painter, frame);
        }
      },
      type.kind());
  painter.restore();
}

}  // namespace widgets
