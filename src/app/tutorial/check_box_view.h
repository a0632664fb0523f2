#pragma once

#include <QWidget>
#include <functional>
#include <memory>

#include "app/splash/splash_services.h"
#include "app/tutorial/check_box.h"

class QAbstractButton;
class QLabel;

namespace app {

class SymbolButton;

// The check box on screen: the box, 30 by 30 points, then 35 points away the title, plain
// ("Quicksand-Medium" 23, white) or a link button (blue) that opens the address through the
// workspace.
class CheckBoxView : public QWidget {
 public:
  CheckBoxView(CheckBox checkBox, std::shared_ptr<Workspace> workspace, QWidget* parent = nullptr);

  const CheckBox& checkBox() const { return checkBox_; }
  SymbolButton* box() const { return box_; }
  // The title: a QLabel for plain text, a button for a link.
  QWidget* titleItem() const { return title_; }

  // Reads the ticked state again (its owner changed it).
  void refresh();
  // What the link does instead when it has no usable address or nothing on the desktop opens it.
  void setLinkFallback(std::function<void()> fallback) { linkFallback_ = std::move(fallback); }

 private:
  CheckBox checkBox_;
  std::shared_ptr<Workspace> workspace_;
  SymbolButton* box_ = nullptr;
  QWidget* title_ = nullptr;
  std::function<void()> linkFallback_;
};

}  // namespace app
