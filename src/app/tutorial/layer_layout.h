#pragma once

#include <QLayout>
#include <QList>

namespace app {

// Lays its items on top of each other, each over the whole rectangle, the way a page stacks
// its backdrop, its content and its navigation rows. An item given an alignment instead takes
// its preferred size (within the rectangle) at that side or corner, so it covers no more of
// the layers below than it needs to.
class LayerLayout : public QLayout {
 public:
  explicit LayerLayout(QWidget* parent = nullptr);
  ~LayerLayout() override;

  // Adds `widget` as the new top layer.
  void addLayer(QWidget* widget, Qt::Alignment alignment = {});

  void addItem(QLayoutItem* item) override;
  QLayoutItem* itemAt(int index) const override;
  QLayoutItem* takeAt(int index) override;
  int count() const override { return static_cast<int>(items_.size()); }
  QSize sizeHint() const override;
  QSize minimumSize() const override;
  void setGeometry(const QRect& rect) override;
  Qt::Orientations expandingDirections() const override { return Qt::Horizontal | Qt::Vertical; }

 private:
  QList<QLayoutItem*> items_;
};

}  // namespace app
