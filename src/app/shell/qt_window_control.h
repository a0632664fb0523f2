#pragma once

#include "streaming/starting_screen_view_model.h"

namespace app {

// Minimises and restores the application's main window for the streaming coordinator. Called
// on the main queue.
class QtWindowControl final : public streaming::WindowControl {
 public:
  void minimize() override;
  void restore() override;
};

}  // namespace app
