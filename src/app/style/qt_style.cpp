#include "app/style/qt_style.h"

#include <QApplication>
#include <QDir>
#include <QFocusEvent>
#include <QFontDatabase>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QPixmap>
#include <QStyleFactory>
#include <QSvgRenderer>
#include <algorithm>
#include <cmath>
#include <filesystem>

#include "app/bundle/bundle.h"

namespace app {
namespace {

constexpr int kCapsuleFontSize = 25;
constexpr int kCapsulePaddingX = 50;
constexpr int kCapsulePaddingY = 15;
constexpr double kCapsuleStroke = 4.0;
constexpr double kFocusRingWidth = 2.0;
constexpr int kDialogTextSize = 17;
constexpr int kDialogTitleSize = 20;
constexpr int kAlertIconSize = 64;
constexpr int kAlertTextWidth = 440;
constexpr int kAlertButtonWidth = 110;

}  // namespace

QColor toQColor(const Color& color) {
  return QColor::fromRgbF(static_cast<float>(color.red), static_cast<float>(color.green),
                          static_cast<float>(color.blue), static_cast<float>(color.opacity));
}

FontFace resolveFontFace(const std::string& name, const QStringList& installedFamilies) {
  const QString base = QStringLiteral("Quicksand");
  // A weight installed as a family of its own ("Quicksand Medium") is asked for by that
  // family at its regular weight; where it is not, the weight of the base family is the
  // nearest the font matcher can get.
  auto face = [&](const char* suffix, QFont::Weight weight) -> FontFace {
    const QString own = base + QLatin1Char(' ') + QLatin1String(suffix);
    if (installedFamilies.contains(own, Qt::CaseInsensitive)) return {own, QFont::Normal};
    return {base, weight};
  };
  if (name == "Quicksand-Bold") return {base, QFont::Bold};
  if (name == "Quicksand-Medium") return face("Medium", QFont::Medium);
  if (name == "Quicksand-Light") return face("Light", QFont::Light);
  if (name == "Quicksand-SemiBold") return face("SemiBold", QFont::DemiBold);
  return {base, QFont::Normal};
}

QFont appFont(const std::string& name, int size) {
  const FontFace face = resolveFontFace(name, QFontDatabase::families());
  QFont font(face.family);
  font.setPixelSize(std::max(1, size));
  font.setWeight(face.weight);
  return font;
}

QString drawnFace(const QFont& font) {
  const QFontInfo info(font);
  return info.family() + QLatin1Char('/') + info.styleName();
}

void registerApplicationFonts() {
  static bool done = false;
  if (done) return;
  done = true;
  std::vector<std::filesystem::path> folders{Bundle::main()->bundlePath() / "fonts",
                                             "/usr/share/fonts/truetype/quicksand"};
  for (const auto& folder : folders) {
    std::error_code ec;
    if (folder.empty() || !std::filesystem::is_directory(folder, ec)) continue;
    bool any = false;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
         it.increment(ec)) {
      if (it->path().extension() == ".ttf" || it->path().extension() == ".otf") {
        any |= QFontDatabase::addApplicationFont(QString::fromStdString(it->path().string())) >= 0;
      }
    }
    if (any) return;
  }
}

QPalette darkPalette() {
  QPalette palette;
  const QColor surface(0x1c, 0x1c, 0x1e);
  const QColor raised(0x2c, 0x2c, 0x2e);
  const QColor dimmed(0x80, 0x80, 0x80);
  palette.setColor(QPalette::Window, surface);
  palette.setColor(QPalette::WindowText, Qt::white);
  palette.setColor(QPalette::Base, QColor(0x12, 0x12, 0x14));
  palette.setColor(QPalette::AlternateBase, QColor(0x22, 0x22, 0x24));
  palette.setColor(QPalette::Text, Qt::white);
  palette.setColor(QPalette::Button, raised);
  palette.setColor(QPalette::ButtonText, Qt::white);
  palette.setColor(QPalette::BrightText, Qt::white);
  palette.setColor(QPalette::Light, QColor(0x48, 0x48, 0x4a));
  palette.setColor(QPalette::Midlight, QColor(0x3a, 0x3a, 0x3c));
  palette.setColor(QPalette::Mid, QColor(0x24, 0x24, 0x26));
  palette.setColor(QPalette::Dark, QColor(0x10, 0x10, 0x10));
  palette.setColor(QPalette::Shadow, Qt::black);
  palette.setColor(QPalette::Highlight, toQColor(accentColor()));
  palette.setColor(QPalette::HighlightedText, Qt::white);
  palette.setColor(QPalette::Link, QColor(10, 132, 255));
  palette.setColor(QPalette::ToolTipBase, raised);
  palette.setColor(QPalette::ToolTipText, Qt::white);
  palette.setColor(QPalette::PlaceholderText, QColor(0x9a, 0x9a, 0x9a));
  for (auto role : {QPalette::Text, QPalette::ButtonText, QPalette::WindowText}) {
    palette.setColor(QPalette::Disabled, role, dimmed);
  }
  return palette;
}

void applyDarkScheme(QWidget* widget) {
  // The screens stand on black; dialogs keep the palette's dark grey surface.
  QPalette palette = darkPalette();
  palette.setColor(QPalette::Window, Qt::black);
  widget->setPalette(palette);
  widget->setAutoFillBackground(true);
}

void applyApplicationStyle() {
  registerApplicationFonts();
  if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) {
    QApplication::setStyle(fusion);
  }
  QApplication::setPalette(darkPalette());
  // The file dialog's lists and fields draw from the palette and the font set here.
  QApplication::setFont(appFont("Quicksand-Medium", kDialogTextSize));
}

void styleAlert(QMessageBox* box) {
  box->setPalette(darkPalette());
  box->setFont(appFont("Quicksand-Medium", kDialogTextSize));
  const QPixmap logo = imagePixmap("Logo", QSize(kAlertIconSize, kAlertIconSize));
  if (!logo.isNull()) box->setIconPixmap(logo);
  if (auto* title = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
    title->setFont(appFont("Quicksand-Bold", kDialogTitleSize));
  }
  if (auto* message = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
    message->setFont(appFont("Quicksand-Medium", kDialogTextSize));
    message->setMinimumWidth(kAlertTextWidth);
    message->setWordWrap(true);
  }
  for (QAbstractButton* button : box->buttons()) {
    button->setFont(appFont("Quicksand-Bold", kDialogTextSize));
    button->setMinimumWidth(kAlertButtonWidth);
  }
}

QPixmap imagePixmap(const std::string& name, QSize size) {
  ImageView image(name, ImageScaling::stretch);
  if (!image.isLoaded()) return {};
  QPixmap pixmap(size);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  image.render(painter, QRectF(QPointF(0, 0), QSizeF(size)));
  return pixmap;
}

// ---- CapsuleButton ------------------------------------------------------------------------

CapsuleButton::CapsuleButton(const QString& text, CapsuleLook look, QWidget* parent)
    : QAbstractButton(parent), look_(look) {
  setText(text);
  setFont(appFont("Quicksand-Bold", kCapsuleFontSize));
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::StrongFocus);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void CapsuleButton::setLook(CapsuleLook look) {
  if (look_ == look) return;
  look_ = look;
  update();
}

void CapsuleButton::setScale(double scale) {
  scale = std::clamp(scale, 0.1, 1.0);
  if (scale == scale_) return;
  scale_ = scale;
  setFont(appFont("Quicksand-Bold", static_cast<int>(std::lround(kCapsuleFontSize * scale_))));
  updateGeometry();
  update();
}

QSize CapsuleButton::sizeHint() const {
  return sizeAt(scale_);
}

QSize CapsuleButton::sizeAt(double scale) const {
  scale = std::clamp(scale, 0.1, 1.0);
  const QFontMetrics metrics(
      appFont("Quicksand-Bold", static_cast<int>(std::lround(kCapsuleFontSize * scale))));
  const QSize textSize = metrics.size(0, text());
  const int padX = static_cast<int>(std::lround(kCapsulePaddingX * scale));
  const int padY = static_cast<int>(std::lround(kCapsulePaddingY * scale));
  return {textSize.width() + 2 * (padX + kFocusMargin),
          textSize.height() + 2 * (padY + kFocusMargin)};
}

void CapsuleButton::focusInEvent(QFocusEvent* event) {
  // Only focus the keyboard moved here is shown: not a click's, nor the first button's when
  // the window opens. Coming back to the window keeps what was shown before.
  switch (event->reason()) {
    case Qt::TabFocusReason:
    case Qt::BacktabFocusReason:
    case Qt::ShortcutFocusReason:
      keyboardFocus_ = true;
      break;
    case Qt::ActiveWindowFocusReason:
    case Qt::PopupFocusReason:
      break;
    default:
      keyboardFocus_ = false;
  }
  QAbstractButton::focusInEvent(event);
  update();
}

void CapsuleButton::focusOutEvent(QFocusEvent* event) {
  if (event->reason() != Qt::ActiveWindowFocusReason && event->reason() != Qt::PopupFocusReason) {
    keyboardFocus_ = false;
  }
  QAbstractButton::focusOutEvent(event);
  update();
}

void CapsuleButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QColor accent = toQColor(accentColor());
  const QRectF outer = QRectF(rect());
  QRectF box = outer.adjusted(kFocusMargin, kFocusMargin, -kFocusMargin, -kFocusMargin);
  const QRectF textBox = box;
  QColor textColor = Qt::white;
  if (look_ == CapsuleLook::secondary) {
    box.adjust(kCapsuleStroke / 2, kCapsuleStroke / 2, -kCapsuleStroke / 2, -kCapsuleStroke / 2);
    QPen pen(accent, kCapsuleStroke);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    textColor = accent;
  } else {
    const bool grey = look_ == CapsuleLook::continueButton && !isEnabled();
    painter.setPen(Qt::NoPen);
    painter.setBrush(grey ? QColor(0x8e, 0x8e, 0x93) : accent);
  }
  const double radius = box.height() / 2;
  painter.drawRoundedRect(box, radius, radius);
  if (hasFocus() && keyboardFocus_) {
    const double inset = kFocusRingWidth / 2;
    const QRectF ring = outer.adjusted(inset, inset, -inset, -inset);
    painter.setPen(QPen(focusRingColor(), kFocusRingWidth));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(ring, ring.height() / 2, ring.height() / 2);
  }
  painter.setPen(textColor);
  painter.setFont(font());
  painter.drawText(textBox, Qt::AlignCenter, text());
}

QColor focusRingColor() {
  return QColor(0xB4, 0xBB, 0xFF);
}

// ---- ImageView ----------------------------------------------------------------------------

ImageView::ImageView(const std::string& name, ImageScaling scaling, QWidget* parent)
    : QWidget(parent), scaling_(scaling) {
  if (auto path = Bundle::main()->imagePath(name)) {
    const QString file = QString::fromStdString(path->string());
    if (path->extension() == ".svg") {
      auto renderer = std::make_unique<QSvgRenderer>(file);
      if (renderer->isValid()) svg_ = std::move(renderer);
    } else {
      auto pixmap = std::make_unique<QPixmap>(file);
      if (!pixmap->isNull()) bitmap_ = std::move(pixmap);
    }
  }
  if (scaling_ == ImageScaling::natural) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  } else {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  }
}

ImageView::~ImageView() = default;

bool ImageView::isLoaded() const {
  return svg_ || bitmap_;
}

QSize ImageView::naturalSize() const {
  if (svg_) return svg_->defaultSize();
  if (bitmap_) return bitmap_->deviceIndependentSize().toSize();
  return {0, 0};
}

QSize ImageView::sizeHint() const {
  if (scale_ == 1.0) return naturalSize();
  return (QSizeF(naturalSize()) * scale_).toSize();
}

void ImageView::setScale(double scale) {
  scale = std::clamp(scale, 0.05, 1.0);
  if (scale == scale_) return;
  scale_ = scale;
  updateGeometry();
  update();
}

void ImageView::render(QPainter& painter, const QRectF& target) const {
  if (!isLoaded()) return;
  const QSizeF natural = naturalSize();
  QRectF drawn = target;
  if (scaling_ == ImageScaling::natural) {
    drawn = QRectF(QPointF(0, 0), natural * scale_);
    drawn.moveCenter(target.center());
  } else if (scaling_ == ImageScaling::fill && natural.width() > 0 && natural.height() > 0) {
    const double scale =
        std::max(target.width() / natural.width(), target.height() / natural.height());
    drawn = QRectF(QPointF(0, 0), natural * scale);
    drawn.moveCenter(target.center());
  }
  painter.save();
  painter.setClipRect(target);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  if (svg_) {
    svg_->render(&painter, drawn);
  } else {
    painter.drawPixmap(drawn, *bitmap_, QRectF(bitmap_->rect()));
  }
  painter.restore();
}

void ImageView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  render(painter, rect());
}

}  // namespace app
