#pragma once

#include <QColor>
#include <QString>
#include <QWidget>
#include <string>

#include "app/tutorial/tutorial_step.h"

class QLabel;
class QVBoxLayout;

namespace app {

class ImageView;
class LayerLayout;
class NavigationRow;
class TutorialScreen;

// A page of the first-run tour: its backdrop filling the window, a centred content column, and
// over them the navigation rows its step has. Pages keep no state of their own; they read the
// tour's view model and are told to read it again when it changes.
class TutorialPage : public QWidget {
 public:
  TutorialStep step() const { return step_; }
  NavigationRow* backRow() const { return back_; }
  NavigationRow* continueRow() const { return continue_; }
  QWidget* contentColumn() const { return content_; }

  // Reads the view model (and the permission) again.
  virtual void refresh();

 protected:
  TutorialPage(TutorialScreen& tutorial, TutorialStep step, const std::string& backgroundName,
               QWidget* parent);

  TutorialScreen& tutorial() const { return tutorial_; }

  // Starts the content column: centred, `spacing` points between its items, and 32 points
  // free at each side when `padded`. Items go into the returned layout, top to bottom.
  QVBoxLayout* beginContentColumn(int spacing, bool padded);
  // Ends the column and lays the step's navigation rows over it.
  void finishPage();

  // A text of the page in one of the application's fonts; centred text is wrapped to the
  // column's width.
  static QLabel* makeText(const std::string& text, const std::string& font, int size,
                          const QColor& color, bool centredText, QWidget* parent);
  // A text by its key, as the interface shows keys.
  static QLabel* makeKeyText(const std::string& key, const std::string& font, int size,
                             const QColor& color, bool centredText, QWidget* parent);

  void paintEvent(QPaintEvent* event) override;

 private:
  TutorialScreen& tutorial_;
  TutorialStep step_;
  ImageView* background_ = nullptr;
  LayerLayout* layers_ = nullptr;
  QWidget* content_ = nullptr;
  QVBoxLayout* column_ = nullptr;
  NavigationRow* back_ = nullptr;
  NavigationRow* continue_ = nullptr;
};

}  // namespace app
