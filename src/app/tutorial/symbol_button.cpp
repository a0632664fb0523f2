#include "app/tutorial/symbol_button.h"

#include <QPainter>

#include "app/tutorial/symbol_painter.h"

namespace app {
namespace {

constexpr int kBezelPadding = 10;
constexpr double kBezelCorner = 10;

}  // namespace

SymbolButton::SymbolButton(std::string symbolName, QColor color, QSize symbolSize, Style style,
                           QWidget* parent)
    : QAbstractButton(parent),
      symbolName_(std::move(symbolName)),
      color_(color),
      symbolSize_(symbolSize),
      style_(style) {
  setCursor(Qt::PointingHandCursor);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  setAccessibleName(QString::fromStdString(symbolName_));
}

void SymbolButton::setSymbolName(std::string name) {
  if (name == symbolName_) return;
  symbolName_ = std::move(name);
  setAccessibleName(QString::fromStdString(symbolName_));
  update();
}

void SymbolButton::setSymbolColor(QColor color) {
  if (color == color_) return;
  color_ = color;
  update();
}

QSize SymbolButton::sizeHint() const {
  if (style_ == Style::borderless) return symbolSize_;
  return symbolSize_ + QSize(2 * kBezelPadding, 2 * kBezelPadding);
}

void SymbolButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QRectF symbolBox = rect();
  if (style_ == Style::bezel) {
    QColor bezel = palette().color(QPalette::Button);
    if (isDown()) bezel = bezel.lighter(140);
    painter.setPen(Qt::NoPen);
    painter.setBrush(bezel);
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), kBezelCorner,
                            kBezelCorner);
    symbolBox = symbolBox.adjusted(kBezelPadding, kBezelPadding, -kBezelPadding, -kBezelPadding);
  }
  QColor color = color_;
  if (!isEnabled()) color.setAlphaF(color.alphaF() * 0.4f);
  drawSymbol(painter, symbolBox, symbolName_, color);
}

}  // namespace app
