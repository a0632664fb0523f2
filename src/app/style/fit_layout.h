#pragma once

#include <QLayout>
#include <QList>
#include <functional>
#include <string>
#include <vector>

class QLabel;

namespace app {

class CapsuleButton;
class ImageView;

// Lays out a screen of the window: a column of items centred in it, and optionally a button
// in each bottom corner (the tour's Back and Continue). The column and the corner buttons
// share the height: the column is centred in the whole screen where it clears the buttons,
// else it moves up to end above them. Where even that does not fit, everything (fonts,
// pictures, spacings and the distances to the edges) shrinks by one common factor, the
// largest that fits, so the screen keeps its proportions instead of overlapping or cropping.
class FitLayout : public QLayout {
 public:
  // Below this the texts would stop being readable; the screen is then laid out at this
  // scale and may clip, which no window the application makes comes near.
  static constexpr double kMinimumScale = 0.3;
  static constexpr double kScaleStep = 0.025;
  // Points kept free between the column and the top edge (and the bottom edge where there
  // are no corner buttons), at full scale.
  static constexpr int kEdgeMargin = 32;
  // Points kept free between the column and the corner buttons, at full scale.
  static constexpr int kBandGap = 24;

  // `sidePadding`: points kept free on each side of the column at full scale.
  explicit FitLayout(QWidget* parent, int sidePadding = 0);
  ~FitLayout() override;

  // A text in one of the application's fonts. Texts that wrap take the column's width; the
  // others their own, centred.
  void addText(QLabel* label, const std::string& fontName, int fontSize, int spacingBefore);
  // A picture at its natural size.
  void addImage(ImageView* image, int spacingBefore);
  // A widget of a fixed size in points (a framed logo, a busy indicator).
  void addFixed(QWidget* widget, QSize size, int spacingBefore);
  void addCapsule(CapsuleButton* button, int spacingBefore);
  // Any other widget: `measure` answers its size at a scale for the column's width, `apply`
  // gives it that scale. Without `measure` its size hint counts; `fullWidth` gives it the
  // column's width.
  void addCustom(QWidget* widget, int spacingBefore, bool fullWidth,
                 std::function<QSize(double scale, int width)> measure = {},
                 std::function<void(double scale)> apply = {});
  // Removes (and deletes) the column's items from `index` on.
  void removeFrom(int index);
  int columnCount() const { return static_cast<int>(column_.size()); }

  // Buttons in the bottom corners, `edgeDistance` points from the two nearest edges. Each is
  // a widget whose size follows the capsule button it holds (or the button itself).
  void setCorners(QWidget* bottomLeft, CapsuleButton* leftButton, QWidget* bottomRight,
                  CapsuleButton* rightButton, int edgeDistance);

  // The scale of the last layout (1 until the first).
  double scale() const { return scale_; }
  // The height of the column at `scale` for a screen `width` wide.
  int columnHeight(double scale, int width) const;

  void addItem(QLayoutItem* item) override;
  QLayoutItem* itemAt(int index) const override;
  QLayoutItem* takeAt(int index) override;
  int count() const override { return static_cast<int>(items_.size()); }
  QSize sizeHint() const override;
  QSize minimumSize() const override;
  void setGeometry(const QRect& rect) override;
  Qt::Orientations expandingDirections() const override { return Qt::Horizontal | Qt::Vertical; }

 private:
  struct Entry {
    QWidget* widget = nullptr;
    int spacingBefore = 0;
    bool fullWidth = false;
    std::function<QSize(double, int)> measure;
    std::function<void(double)> apply;
  };
  struct Corner {
    QWidget* widget = nullptr;
    CapsuleButton* button = nullptr;
  };

  void add(Entry entry);
  int columnWidth(double scale, int width) const;
  QSize cornerSize(const Corner& corner, double scale) const;
  int cornerGap(double scale) const;
  int bandHeight(double scale) const;
  int reservedMargins(double scale) const;
  bool fits(double scale, const QSize& size) const;
  void applyScale(double scale);

  int sidePadding_;
  int edgeDistance_ = 0;
  std::vector<Entry> column_;
  Corner left_;
  Corner right_;
  QList<QLayoutItem*> items_;
  double scale_ = 1.0;
};

// The height a label needs to draw `text` in `font` within `width` (wrapped when `wrap`), as
// the label itself measures it.
QSize textSize(const QString& text, const QFont& font, int width, bool wrap);

}  // namespace app
