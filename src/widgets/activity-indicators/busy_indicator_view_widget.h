#pragma once

#include <QTimer>
#include <QWidget>

#include "widgets/activity-indicators/indicator_type.h"
#include "widgets/binding.h"

class QPainter;

namespace widgets {

// An endlessly animated busy figure, shown while the caller's flag reads true. It paints with
// the widget's foreground colour (the palette's window text) and fills the widget's box.
// Each time the figure appears (the flag turns true, the widget is shown again, or the kind
// changes) it starts over from the beginning.
class BusyIndicatorView : public QWidget {
 public:
  using IndicatorType = widgets::IndicatorType;

  BusyIndicatorView(Binding<bool> isVisible, IndicatorType type, QWidget* parent = nullptr);

  const IndicatorType& type() const { return type_; }
  // Replaces the figure with one of the new kind, started afresh.
  void setType(IndicatorType type);

  // Reads the caller's flag now rather than at the next frame.
  void refresh();
  // Whether the figure is on screen, and for how long (seconds; 0 when not shown).
  bool isFigureShown() const { return shown_; }
  double secondsSinceAppearance() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  // Follows the caller's flag; true when the figure appeared or disappeared.
  bool followFlag();
  void paintEqualizer(QPainter& painter, int count, double elapsed) const;
  void paintFlickeringDots(QPainter& painter, int count, double elapsed) const;

  Binding<bool> isVisible_;
  IndicatorType type_;
  bool shown_ = false;
  double appearedAt_ = 0;
  QTimer frameTimer_;
};

}  // namespace widgets
