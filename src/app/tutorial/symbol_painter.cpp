#include "app/tutorial/symbol_painter.h"

#include <QPainter>
#include <QPainterPath>
#include <QPainterPathStroker>
#include <algorithm>

namespace app {
namespace {

// Proportions of a square symbol relative to its side.
constexpr double kSquareInset = 0.06;
constexpr double kSquareCorner = 0.22;
constexpr double kSquareStroke = 0.085;
constexpr double kCheckStroke = 0.12;
// A chevron is taller than wide.
constexpr double kChevronAspect = 0.56;
constexpr double kChevronStroke = 0.13;

QRectF centredSquare(const QRectF& box) {
  const double side = std::min(box.width(), box.height());
  QRectF square(0, 0, side, side);
  square.moveCenter(box.center());
  return square;
}

void drawSquare(QPainter& painter, const QRectF& box, const QColor& color, bool filled) {
  const QRectF square = centredSquare(box);
  const double side = square.width();
  const double inset = side * kSquareInset;
  const double corner = side * kSquareCorner;
  if (!filled) {
    const double stroke = side * kSquareStroke;
    const QRectF outline = square.adjusted(inset + stroke / 2, inset + stroke / 2,
                                           -inset - stroke / 2, -inset - stroke / 2);
    painter.setPen(QPen(color, stroke));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(outline, corner, corner);
    return;
  }
  QPainterPath body;
  body.addRoundedRect(square.adjusted(inset, inset, -inset, -inset), corner, corner);
  // The tick is cut out of the filled square, so whatever lies behind shows through it.
  QPainterPath tick;
  tick.moveTo(square.left() + side * 0.28, square.top() + side * 0.52);
  tick.lineTo(square.left() + side * 0.44, square.top() + side * 0.68);
  tick.lineTo(square.left() + side * 0.72, square.top() + side * 0.34);
  QPainterPathStroker stroker;
  stroker.setWidth(side * kCheckStroke);
  stroker.setCapStyle(Qt::RoundCap);
  stroker.setJoinStyle(Qt::RoundJoin);
  const QPainterPath shape = body.subtracted(stroker.createStroke(tick));
  painter.setPen(Qt::NoPen);
  painter.setBrush(color);
  painter.drawPath(shape);
}

void drawChevron(QPainter& painter, const QRectF& box, const QColor& color, bool pointsLeft) {
  double height = box.height();
  double width = height * kChevronAspect;
  if (width > box.width()) {
    width = box.width();
    height = width / kChevronAspect;
  }
  QRectF frame(0, 0, width, height);
  frame.moveCenter(box.center());
  const double stroke = height * kChevronStroke;
  const QRectF inner = frame.adjusted(stroke / 2, stroke / 2, -stroke / 2, -stroke / 2);
  QPainterPath path;
  if (pointsLeft) {
    path.moveTo(inner.right(), inner.top());
    path.lineTo(inner.left(), inner.center().y());
    path.lineTo(inner.right(), inner.bottom());
  } else {
    path.moveTo(inner.left(), inner.top());
    path.lineTo(inner.right(), inner.center().y());
    path.lineTo(inner.left(), inner.bottom());
  }
  QPen pen(color, stroke);
  pen.setCapStyle(Qt::RoundCap);
  pen.setJoinStyle(Qt::RoundJoin);
  painter.setPen(pen);
  painter.setBrush(Qt::NoBrush);
  painter.drawPath(path);
}

}  // namespace

bool isKnownSymbol(std::string_view name) {
  return name == "square" || name == "checkmark.square.fill" || name == "chevron.left" ||
         name == "chevron.right";
}

bool drawSymbol(QPainter& painter, const QRectF& box, std::string_view name, const QColor& color) {
  if (!isKnownSymbol(name) || box.isEmpty()) return false;
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  if (name == "square") {
    drawSquare(painter, box, color, false);
  } else if (name == "checkmark.square.fill") {
    drawSquare(painter, box, color, true);
  } else {
    drawChevron(painter, box, color, name == "chevron.left");
  }
  painter.restore();
  return true;
}

}  // namespace app
