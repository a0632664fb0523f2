#include "app/style/qt_style.h"

#include <QApplication>
#include <QDir>
#include <QFontDatabase>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QPixmap>
#include <QStyleFactory>
#include <QSvgRenderer>
#include <filesystem>

#include "app/bundle/bundle.h"

namespace app {
namespace {

constexpr int kCapsuleFontSize = 25;
constexpr int kCapsulePaddingX = 50;
constexpr int kCapsulePaddingY = 15;
constexpr double kCapsuleStroke = 4.0;

}  // namespace

QColor toQColor(const Color& color) {
  return QColor::fromRgbF(static_cast<float>(color.red), static_cast<float>(color.green),
                          static_cast<float>(color.blue), static_cast<float>(color.opacity));
}

QFont appFont(const std::string& name, int size) {
  QFont font(QStringLiteral("Quicksand"));
  font.setPixelSize(size);
  if (name == "Quicksand-Bold") {
    font.setWeight(QFont::Bold);
  } else if (name == "Quicksand-Medium") {
    font.setWeight(QFont::Medium);
  } else if (name == "Quicksand-Light") {
    font.setWeight(QFont::Light);
  }
  return font;
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

void applyDarkScheme(QWidget* widget) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::Window, Qt::black);
  palette.setColor(QPalette::WindowText, Qt::white);
  palette.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
  palette.setColor(QPalette::AlternateBase, QColor(0x2a, 0x2a, 0x2a));
  palette.setColor(QPalette::Text, Qt::white);
  palette.setColor(QPalette::Button, QColor(0x2d, 0x2d, 0x2d));
  palette.setColor(QPalette::ButtonText, Qt::white);
  palette.setColor(QPalette::Highlight, toQColor(accentColor()));
  palette.setColor(QPalette::HighlightedText, Qt::white);
  palette.setColor(QPalette::ToolTipBase, QColor(0x2d, 0x2d, 0x2d));
  palette.setColor(QPalette::ToolTipText, Qt::white);
  palette.setColor(QPalette::PlaceholderText, QColor(0x9a, 0x9a, 0x9a));
  palette.setColor(QPalette::Disabled, QPalette::Text, QColor(0x80, 0x80, 0x80));
  palette.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x80, 0x80, 0x80));
  palette.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x80, 0x80, 0x80));
  widget->setPalette(palette);
  widget->setAutoFillBackground(true);
}

// ---- CapsuleButton ------------------------------------------------------------------------

CapsuleButton::CapsuleButton(const QString& text, CapsuleLook look, QWidget* parent)
    : QAbstractButton(parent), look_(look) {
  setText(text);
  setFont(appFont("Quicksand-Bold", kCapsuleFontSize));
  setCursor(Qt::PointingHandCursor);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize CapsuleButton::sizeHint() const {
  const QFontMetrics metrics(font());
  const QSize textSize = metrics.size(0, text());
  return {textSize.width() + 2 * kCapsulePaddingX, textSize.height() + 2 * kCapsulePaddingY};
}

void CapsuleButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QColor accent = toQColor(accentColor());
  QRectF box = rect();
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
  painter.setPen(textColor);
  painter.setFont(font());
  painter.drawText(rect(), Qt::AlignCenter, text());
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
  return naturalSize();
}

void ImageView::render(QPainter& painter, const QRectF& target) const {
  if (!isLoaded()) return;
  const QSizeF natural = naturalSize();
  QRectF drawn = target;
  if (scaling_ == ImageScaling::natural) {
    drawn = QRectF(QPointF(0, 0), natural);
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
