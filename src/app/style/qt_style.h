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

class QMessageBox;
class QSvgRenderer;

namespace app {

QColor toQColor(const Color& color);

// A font by the name the screens use ("Quicksand-Bold", "Quicksand-Medium") at a size in
// points of the window (one point, one logical pixel). Each name resolves to the installed
// face that carries it: the Medium face is a family of its own on this system, so asking for
// "Quicksand" at medium weight would quietly draw Regular.
QFont appFont(const std::string& name, int size);

// The family and weight a font name resolves to, before Qt matches them to a file.
struct FontFace {
  QString family;
  QFont::Weight weight = QFont::Normal;
  bool operator==(const FontFace&) const = default;
};
FontFace resolveFontFace(const std::string& name, const QStringList& installedFamilies);

// The installed face a font draws with, as "family/style" (for checks and logs).
QString drawnFace(const QFont& font);

// Makes the Quicksand faces known to the application: the fonts folder of the bundle, else
// the system's copy. Safe to call more than once.
void registerApplicationFonts();

// The dark look every screen has, whatever the desktop's theme.
QPalette darkPalette();
void applyDarkScheme(QWidget* widget);

// The whole application in the dark look with the Quicksand faces: the style, the palette,
// the default font and the look of the dialogs Qt draws itself (message boxes, the file
// dialog), so that nothing opens light grey over the dark window.
void applyApplicationStyle();

// A message box in the application's look: its logo instead of a stock icon, a title in
// "Quicksand-Bold" and a width at which its message reads in a few lines.
void styleAlert(QMessageBox* box);

// A bundle image drawn at `size` (empty when there is no such image).
QPixmap imagePixmap(const std::string& name, QSize size);

// The ring drawn around a capsule button that has the keyboard focus.
QColor focusRingColor();

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
  // A capsule whose press is done shows it in another look.
  void setLook(CapsuleLook look);
  // Shrinks the font and the padding together, for windows too small for the full size.
  void setScale(double scale);
  double scale() const { return scale_; }
  // The size the button takes at `scale`.
  QSize sizeAt(double scale) const;
  // Room around the capsule for the ring that shows keyboard focus.
  static constexpr int kFocusMargin = 4;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  CapsuleLook look_;
  double scale_ = 1.0;
  bool keyboardFocus_ = false;
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
  // A natural-size image drawn smaller (aspect kept) where the window has no room for it.
  void setScale(double scale);

  // Paints the image into `target` of `painter` (for screens that draw their backdrop).
  void render(QPainter& painter, const QRectF& target) const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  ImageScaling scaling_;
  double scale_ = 1.0;
  std::unique_ptr<QSvgRenderer> svg_;
  std::unique_ptr<QPixmap> bitmap_;
};

}  // namespace app
