#pragma once

#include <QWidget>
#include <functional>
#include <optional>

#include "widgets/binding.h"

namespace app {

class CapsuleButton;

// One of the tour's navigation rows: the Back button at the bottom left of a page or the
// Continue button at the bottom right, each 60 points from the window's two nearest edges (less
// where the window is too small; see FitLayout). The page puts the row in that corner.
class NavigationRow : public QWidget {
 public:
  enum class Kind { back, continueRow };
  static constexpr int kEdgeDistance = 60;

  // Continue: enabled while `enabled` reads true, filled with the accent colour then and grey
  // otherwise. Back: always enabled, outlined.
  NavigationRow(Kind kind, std::optional<widgets::Binding<bool>> enabled,
                std::function<void()> action, QWidget* parent = nullptr);

  Kind kind() const { return kind_; }
  CapsuleButton* button() const { return button_; }

  // Reads the enabling binding again.
  void refresh();

 private:
  Kind kind_;
  std::optional<widgets::Binding<bool>> enabled_;
  CapsuleButton* button_ = nullptr;
};

}  // namespace app
