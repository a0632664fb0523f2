#pragma once

#include <QColor>
#include <QString>
#include <QWidget>
#include <functional>
#include <optional>
#include <string>

#include "app/tutorial/tutorial_step.h"

class QLabel;

namespace app {

class CapsuleButton;
class FitLayout;
class ImageView;
class NavigationRow;
class TutorialScreen;

// A page of the first-run tour: its backdrop filling the window, a centred content column, and
// the navigation rows its step has in the bottom corners, sharing the window's height with
// the column (see FitLayout). Pages keep no state of their own; they read the tour's view
// model and are told to read it again when it changes.
class TutorialPage : public QWidget {
 public:
  TutorialStep step() const { return step_; }
  NavigationRow* backRow() const { return back_; }
  NavigationRow* continueRow() const { return continue_; }
  FitLayout* pageLayout() const { return layout_; }

  // Reads the view model (and the permission) again.
  virtual void refresh();

 protected:
  TutorialPage(TutorialScreen& tutorial, TutorialStep step, const std::string& backgroundName,
               QWidget* parent);

  TutorialScreen& tutorial() const { return tutorial_; }

  // Starts the content column: centred, `spacing` points between its items, and 32 points
  // free at each side when `padded`. The add functions below fill it, top to bottom.
  void beginContentColumn(int spacing, bool padded);
  // Ends the column and puts the step's navigation rows in the bottom corners.
  void finishPage();

  // A text by its key, as the interface shows keys, in one of the application's fonts;
  // centred text is wrapped to the column's width.
  QLabel* addKeyText(const std::string& key, const std::string& font, int size, const QColor& color,
                     bool centredText);
  // A bundle image at its natural size, or stretched to `frame` points.
  ImageView* addImage(const std::string& name, std::optional<QSize> frame = std::nullopt);
  // A primary capsule button labelled with the text of `key`.
  CapsuleButton* addCapsule(const std::string& key);
  // Any other item (see FitLayout::addCustom).
  void addItem(QWidget* widget, bool fullWidth,
               std::function<QSize(double scale, int width)> measure = {},
               std::function<void(double scale)> apply = {});

  void paintEvent(QPaintEvent* event) override;

 private:
  TutorialScreen& tutorial_;
  TutorialStep step_;
  ImageView* background_ = nullptr;
  FitLayout* layout_ = nullptr;
  int spacing_ = 0;
  NavigationRow* back_ = nullptr;
  NavigationRow* continue_ = nullptr;
};

}  // namespace app
