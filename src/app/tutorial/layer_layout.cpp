#include "app/tutorial/layer_layout.h"

#include <QStyle>
#include <QWidget>

namespace app {

LayerLayout::LayerLayout(QWidget* parent) : QLayout(parent) {
  setContentsMargins(0, 0, 0, 0);
}

LayerLayout::~LayerLayout() {
  while (QLayoutItem* item = takeAt(0))
    delete item;
}

void LayerLayout::addLayer(QWidget* widget, Qt::Alignment alignment) {
  addChildWidget(widget);
  auto* item = new QWidgetItem(widget);
  item->setAlignment(alignment);
  addItem(item);
  widget->raise();
}

void LayerLayout::addItem(QLayoutItem* item) {
  items_.append(item);
  invalidate();
}

QLayoutItem* LayerLayout::itemAt(int index) const {
  return index >= 0 && index < items_.size() ? items_.at(index) : nullptr;
}

QLayoutItem* LayerLayout::takeAt(int index) {
  if (index < 0 || index >= items_.size()) return nullptr;
  QLayoutItem* item = items_.takeAt(index);
  invalidate();
  return item;
}

QSize LayerLayout::sizeHint() const {
  QSize size(0, 0);
  for (const QLayoutItem* item : items_)
    size = size.expandedTo(item->sizeHint());
  return size;
}

QSize LayerLayout::minimumSize() const {
  QSize size(0, 0);
  for (const QLayoutItem* item : items_)
    size = size.expandedTo(item->minimumSize());
  return size;
}

void LayerLayout::setGeometry(const QRect& rect) {
  QLayout::setGeometry(rect);
  for (QLayoutItem* item : items_) {
    if (!item->alignment()) {
      item->setGeometry(rect);
      continue;
    }
    const QSize size = item->sizeHint().boundedTo(rect.size());
    item->setGeometry(QStyle::alignedRect(Qt::LeftToRight, item->alignment(), size, rect));
  }
}

}  // namespace app
