#pragma once

#include <QTimer>
#include <QWidget>

#include <memory>
#include <vector>

#include "widgets/activity-indicators/arcs_indicator.h"
#include "widgets/activity-indicators/indicator_type.h"
#include "widgets/activity-indicators/random_source.h"
#include "widgets/binding.h"

namespace widgets {

// An endlessly animated busy figure, shown while the caller's flag reads true. It paints with
// the widget's foreground colour (the palette's window text) and fills the widget's box.
// Each time the figure appears (the flag turns true, the widget is shown again, or the kind
// changes) it starts over from the beginning. The frame timer runs only while the figure is
// drawn, so a hidden indicator costs nothing; the flag is read again at `refresh()` and at
// every paint, which is where a caller's change to true is noticed.
class BusyIndicatorView : public QWidget {
 public:
  using IndicatorType = widgets::IndicatorType;

  BusyIndicatorView(Binding<bool> isVisible, IndicatorType type, QWidget* parent = nullptr);

  const IndicatorType& type() const { return type_; }
  // Replaces the figure with one of the new kind, started afresh.
  void setType(IndicatorType type);
  // Where the arcs figure draws its lengths and speeds from, each time it appears; the
  // system's source unless replaced.
  void setRandomSource(std::shared_ptr<RandomSource> source);

  // Reads the caller's flag now rather than at the next frame.
  void refresh();
  // Whether the figure is on screen, and for how long (seconds; 0 when not shown).
  bool isFigureShown() const { return shown_; }
  double secondsSinceAppearance() const;
  // Whether the frame timer runs, waking the process every frame.
  bool isAnimating() const { return frameTimer_.isActive(); }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  // Follows the caller's flag; true when the figure appeared or disappeared.
  bool followFlag();
  // The figure appears now: its clock starts and its chances are drawn.
  void startFigure();
  // Runs the frame timer exactly while the figure is on screen.
  void followFigureWithTimer();

  Binding<bool> isVisible_;
  IndicatorType type_;
  bool shown_ = false;
  double appearedAt_ = 0;
  std::shared_ptr<RandomSource> randomSource_ = systemRandomSource();
  // Drawn once per appearance, never per frame, so the arcs keep their lengths and speeds.
  std::vector<ArcsDraw> arcsDraws_;
  QTimer frameTimer_;
};

}  // namespace widgets
