#pragma once

#include <QColor>

#include <span>

#include "widgets/activity-indicators/arcs_indicator.h"
#include "widgets/activity-indicators/indicator_type.h"
#include "widgets/geometry.h"

class QPainter;

namespace widgets {

// What a figure is painted from at one moment.
struct FigureFrame {
  Size box;
  // Seconds since the figure appeared.
  double elapsed;
  // The colour of the figures that paint with the foreground.
  QColor foreground;
  // The arcs' chances, drawn when the figure appeared.
  std::span<const ArcsDraw> arcsDraws;
};

// Paints the figure of `type` with antialiasing onto `painter`, whose origin is the top left
// corner of the box. The painter's state is left as it was.
void paintFigure(QPainter& painter, const IndicatorType& type, const FigureFrame& frame);

}  // namespace widgets
