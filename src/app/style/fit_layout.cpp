#include "app/style/fit_layout.h"

#include <QLabel>
#include <QWidget>
#include <algorithm>
#include <climits>
#include <cmath>

#include "app/style/qt_style.h"

namespace app {
namespace {

int scaled(int points, double scale) {
  return static_cast<int>(std::lround(points * scale));
}

}  // namespace

QSize textSize(const QString& text, const QFont& font, int width, bool wrap) {
  const QFontMetrics metrics(font);
  if (!wrap) return metrics.size(0, text);
  return metrics
      .boundingRect(QRect(0, 0, std::max(1, width), INT_MAX / 4),
                    Qt::AlignCenter | Qt::TextWordWrap, text)
      .size();
}

FitLayout::FitLayout(QWidget* parent, int sidePadding)
    : QLayout(parent), sidePadding_(sidePadding) {
  setContentsMargins(0, 0, 0, 0);
}

FitLayout::~FitLayout() {
  while (QLayoutItem* item = takeAt(0))
    delete item;
}

void FitLayout::add(Entry entry) {
  addChildWidget(entry.widget);
  items_.insert(static_cast<int>(column_.size()), new QWidgetItem(entry.widget));
  column_.push_back(std::move(entry));
  invalidate();
}

void FitLayout::addText(QLabel* label, const std::string& fontName, int fontSize,
                        int spacingBefore) {
  const bool wrap = label->wordWrap();
  Entry entry;
  entry.widget = label;
  entry.spacingBefore = spacingBefore;
  entry.fullWidth = wrap;
  entry.measure = [label, fontName, fontSize, wrap](double scale, int width) {
    const QFont font = appFont(fontName, scaled(fontSize, scale));
    const QSize size = textSize(label->text(), font, width, wrap);
    return wrap ? QSize(width, size.height()) : size;
  };
  entry.apply = [label, fontName, fontSize](double scale) {
    const QFont font = appFont(fontName, scaled(fontSize, scale));
    if (label->font() != font) label->setFont(font);
  };
  add(std::move(entry));
}

void FitLayout::addImage(ImageView* image, int spacingBefore) {
  Entry entry;
  entry.widget = image;
  entry.spacingBefore = spacingBefore;
  entry.measure = [image](double scale, int) {
    return (QSizeF(image->naturalSize()) * scale).toSize();
  };
  entry.apply = [image](double scale) { image->setScale(scale); };
  add(std::move(entry));
}

void FitLayout::addFixed(QWidget* widget, QSize size, int spacingBefore) {
  Entry entry;
  entry.widget = widget;
  entry.spacingBefore = spacingBefore;
  entry.measure = [size](double scale, int) { return (QSizeF(size) * scale).toSize(); };
  entry.apply = [widget, size](double scale) {
    const QSize target = (QSizeF(size) * scale).toSize();
    if (widget->size() != target || widget->minimumSize() != target) widget->setFixedSize(target);
  };
  add(std::move(entry));
}

void FitLayout::addCapsule(CapsuleButton* button, int spacingBefore) {
  Entry entry;
  entry.widget = button;
  entry.spacingBefore = spacingBefore;
  entry.measure = [button](double scale, int) { return button->sizeAt(scale); };
  entry.apply = [button](double scale) { button->setScale(scale); };
  add(std::move(entry));
}

void FitLayout::addCustom(QWidget* widget, int spacingBefore, bool fullWidth,
                          std::function<QSize(double, int)> measure,
                          std::function<void(double)> apply) {
  Entry entry;
  entry.widget = widget;
  entry.spacingBefore = spacingBefore;
  entry.fullWidth = fullWidth;
  entry.measure = measure ? std::move(measure) : [widget](double, int width) {
    const QSize hint = widget->sizeHint();
    const int height = widget->hasHeightForWidth() ? widget->heightForWidth(width) : hint.height();
    return QSize(hint.width(), height);
  };
  entry.apply = std::move(apply);
  add(std::move(entry));
}

void FitLayout::removeFrom(int index) {
  while (static_cast<int>(column_.size()) > index) {
    QLayoutItem* item = items_.takeAt(static_cast<int>(column_.size()) - 1);
    QWidget* widget = column_.back().widget;
    column_.pop_back();
    delete item;
    widget->hide();
    widget->deleteLater();
  }
  invalidate();
}

void FitLayout::setCorners(QWidget* bottomLeft, CapsuleButton* leftButton, QWidget* bottomRight,
                           CapsuleButton* rightButton, int edgeDistance) {
  edgeDistance_ = edgeDistance;
  for (auto [corner, widget, button] : {std::tuple{&left_, bottomLeft, leftButton},
                                        std::tuple{&right_, bottomRight, rightButton}}) {
    corner->widget = widget;
    corner->button = button;
    if (widget) {
      addChildWidget(widget);
      items_.append(new QWidgetItem(widget));
      widget->raise();
    }
  }
  invalidate();
}

void FitLayout::addItem(QLayoutItem* item) {
  // Only the typed adders place items; anything else is kept so Qt can delete it.
  items_.append(item);
}

QLayoutItem* FitLayout::itemAt(int index) const {
  return index >= 0 && index < items_.size() ? items_.at(index) : nullptr;
}

QLayoutItem* FitLayout::takeAt(int index) {
  if (index < 0 || index >= items_.size()) return nullptr;
  QLayoutItem* item = items_.takeAt(index);
  if (index < static_cast<int>(column_.size())) {
    column_.erase(column_.begin() + index);
  } else if (QWidget* widget = item->widget()) {
    if (widget == left_.widget) left_ = {};
    if (widget == right_.widget) right_ = {};
  }
  invalidate();
  return item;
}

int FitLayout::columnWidth(double scale, int width) const {
  return std::max(1, width - 2 * scaled(sidePadding_, scale));
}

QSize FitLayout::cornerSize(const Corner& corner, double scale) const {
  if (!corner.widget) return {0, 0};
  if (corner.button) return corner.button->sizeAt(scale);
  return corner.widget->sizeHint();
}

int FitLayout::cornerGap(double scale) const {
  // The distance is to the capsule drawn, inside the room its button keeps for the focus ring.
  return std::max(0, scaled(edgeDistance_, scale) - CapsuleButton::kFocusMargin);
}

int FitLayout::bandHeight(double scale) const {
  if (!left_.widget && !right_.widget) return 0;
  const int buttons =
      std::max(cornerSize(left_, scale).height(), cornerSize(right_, scale).height());
  return buttons + cornerGap(scale);
}

int FitLayout::reservedMargins(double scale) const {
  // Free room above the column, and below it: to the edge, or to the corner buttons.
  const bool corners = left_.widget || right_.widget;
  return scaled(kEdgeMargin, scale) +
         (corners ? scaled(kBandGap, scale) : scaled(kEdgeMargin, scale));
}

int FitLayout::columnHeight(double scale, int width) const {
  const int inner = columnWidth(scale, width);
  int height = 0;
  for (std::size_t i = 0; i < column_.size(); ++i) {
    if (i > 0) height += scaled(column_[i].spacingBefore, scale);
    height += column_[i].measure(scale, inner).height();
  }
  return height;
}

bool FitLayout::fits(double scale, const QSize& size) const {
  const int inner = columnWidth(scale, size.width());
  for (const Entry& entry : column_) {
    if (entry.measure(scale, inner).width() > inner) return false;
  }
  const int edge = scaled(edgeDistance_, scale);
  const int corners = cornerSize(left_, scale).width() + cornerSize(right_, scale).width();
  if (corners > 0 && corners + 3 * edge > size.width()) return false;
  return columnHeight(scale, size.width()) + bandHeight(scale) + reservedMargins(scale) <=
         size.height();
}

void FitLayout::applyScale(double scale) {
  for (const Entry& entry : column_) {
    if (entry.apply) entry.apply(scale);
  }
  for (const Corner* corner : {&left_, &right_}) {
    if (corner->button) corner->button->setScale(scale);
  }
}

QSize FitLayout::sizeHint() const {
  return {800, std::max(600, columnHeight(1.0, 800) + bandHeight(1.0))};
}

QSize FitLayout::minimumSize() const {
  return {0, 0};
}

void FitLayout::setGeometry(const QRect& rect) {
  QLayout::setGeometry(rect);
  double scale = 1.0;
  while (scale > kMinimumScale && !fits(scale, rect.size()))
    scale = std::max(kMinimumScale, scale - kScaleStep);
  scale_ = scale;
  // Applying a scale that is already applied changes nothing, so the layout request a font
  // change posts settles on the next pass.
  applyScale(scale);

  const int edge = cornerGap(scale);
  const int bandTop = rect.bottom() + 1 - bandHeight(scale);
  if (left_.widget) {
    const QSize size = cornerSize(left_, scale);
    left_.widget->setGeometry(QRect(QPoint(rect.left() + edge, bandTop), size));
  }
  if (right_.widget) {
    const QSize size = cornerSize(right_, scale);
    right_.widget->setGeometry(
        QRect(QPoint(rect.right() + 1 - edge - size.width(), bandTop), size));
  }

  const int inner = columnWidth(scale, rect.width());
  const int height = columnHeight(scale, rect.width());
  // Centred in the whole screen where that clears the corner buttons, else just above them.
  const int margin = scaled(kEdgeMargin, scale);
  int top = rect.top() + (rect.height() - height) / 2;
  const int limit = (left_.widget || right_.widget) ? bandTop - scaled(kBandGap, scale)
                                                    : rect.bottom() + 1 - margin;
  if (top + height > limit) top = limit - height;
  top = std::max(top, rect.top() + margin);
  const int left = rect.left() + (rect.width() - inner) / 2;
  int y = top;
  for (std::size_t i = 0; i < column_.size(); ++i) {
    const Entry& entry = column_[i];
    if (i > 0) y += scaled(entry.spacingBefore, scale);
    QSize size = entry.measure(scale, inner);
    if (entry.fullWidth) size.setWidth(inner);
    size.setWidth(std::min(size.width(), inner));
    entry.widget->setGeometry(QRect(QPoint(left + (inner - size.width()) / 2, y), size));
    y += size.height();
  }
}

}  // namespace app
