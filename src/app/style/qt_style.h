#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QPixmap>
#include <QString>
#include <QWidget>
#include <memory>
#include <string>

#include "app/style/color.h"

class QSvgRenderer;

namespace app {

QColor toQColor(const Color& color);

// A font by the name the screens use ("Quicksand-Bold", "Quicksand-Medium") at a size in
// points of the window (one point, one logical pixel).
QFont appFont(const std::string& name, int size);

// Makes the Quicksand faces known to the application: the fonts folder of the bundle, else
// the system's copy. Safe to call more than once.
void registerApplicationFonts();

// The dark look every screen has, whatever the desktop's theme.
void applyDarkScheme(QWidget* widget);

// The looks of the screens' capsule buttons.
enum class CapsuleLook { primary, continueButton, secondary };

// A button drawn as a capsule behind its padded text ("Quicksand-Bold" 25, 50 points of
// padding at the sides and 15 above and below): filled with the accent colour (primary; the
// continue look while enabled, grey while disabled) or outlined with it at 4 points
// (secondary, accent-coloured text).
class CapsuleButton : public QAbstractButton {
 public:
  CapsuleButton(const QString& text, CapsuleLook look, QWidget* parent = nullptr);

  CapsuleLook look() const { return look_; }
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  CapsuleLook look_;
};

// How an image fills the box it is given.
enum class ImageScaling {
  natural,  // its own size, centred
  stretch,  // the whole box, aspect ratio not kept
  fill,     // covers the box, aspect ratio kept, overflow clipped
};

// An image of the bundle by name (an SVG drawing or a PNG bitmap). A missing image draws
// nothing and takes no room.
class ImageView : public QWidget {
 public:
  ImageView(const std::string& name, ImageScaling scaling, QWidget* parent = nullptr);
  ~ImageView() override;

  bool isLoaded() const;
  QSize naturalSize() const;
  QSize sizeHint() const override;

  // Paints the image into `target` of `painter` (for screens that draw their backdrop).
  void render(QPainter& painter, const QRectF& target) const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  ImageScaling scaling_;
  std::unique_ptr<QSvgRenderer> svg_;
  std::unique_ptr<QPixmap> bitmap_;
};

}  // namespace app
