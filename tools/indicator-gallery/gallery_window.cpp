#include "indicator-gallery/gallery_window.h"

#include <QLabel>
#include <QPalette>

#include <utility>
#include <vector>

#include "indicator-gallery/gallery_layout.h"
#include "widgets/activity-indicators/busy_indicator_view_widget.h"

namespace gallery {
namespace {

using widgets::IndicatorType;

widgets::Color fromHex(const char* text) {
  const QColor color(text);
  return widgets::Color{color.redF(), color.greenF(), color.blueF(), color.alphaF()};
}

std::vector<std::pair<const char*, IndicatorType>> galleryKinds() {
  const widgets::Color accent = fromHex("#5B68DF");
  const widgets::Color grey = fromHex("#C1C1C1");
  return {
      {"default", IndicatorType::Default{8}},
      {"arcs", IndicatorType::Arcs{5, 3}},
      {"rotatingDots", IndicatorType::RotatingDots{5}},
      {"flickeringDots", IndicatorType::FlickeringDots{8}},
      {"scalingDots", IndicatorType::ScalingDots{3, 8}},
      {"opacityDots", IndicatorType::OpacityDots{3, 8}},
      {"equalizer", IndicatorType::Equalizer{5}},
      {"growingArc", IndicatorType::GrowingArc{accent, 6}},
      {"gradient", IndicatorType::Gradient{{accent, grey}, widgets::LineCap::round, 6}},
      {"growingCircle", IndicatorType::GrowingCircle{}},
  };
}

QRect toQRect(CellRect rect) {
  return QRect(rect.x, rect.y, rect.width, rect.height);
}

}  // namespace

GalleryWindow::GalleryWindow(std::shared_ptr<widgets::RandomSource> random) {
  setWindowTitle("Busy indicators");
  setFixedSize(kWindowWidth, kWindowHeight);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, Qt::black);
  palette.setColor(QPalette::WindowText, Qt::white);
  setPalette(palette);
  setAutoFillBackground(true);

  const auto kinds = galleryKinds();
  for (int i = 0; i < static_cast<int>(kinds.size()) && i < kCellCount; ++i) {
    auto* figure = new widgets::BusyIndicatorView(widgets::Binding<bool>::constant(true),
                                                  kinds[static_cast<std::size_t>(i)].second, this);
    figure->setRandomSource(random);
    figure->setGeometry(toQRect(figureRect(i)));
    auto* label = new QLabel(kinds[static_cast<std::size_t>(i)].first, this);
    label->setAlignment(Qt::AlignCenter);
    label->setGeometry(toQRect(labelRect(i)));
  }
}

}  // namespace gallery
