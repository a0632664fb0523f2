#pragma once

#include <memory>
#include <optional>

#include "app/starting/device_status_source.h"
#include "app/tutorial/tutorial_step.h"
#include "app/tutorial/tutorial_view_model.h"
#include "widgets/binding.h"

namespace app {

// The navigation rows a step's page carries.
struct TutorialNavigation {
  bool hasBackRow = false;
  // Whether Continue may be pressed, read each time the page is drawn; nothing for a step
  // without a Continue row. Writing through it does nothing.
  std::optional<widgets::Binding<bool>> continueEnabled;
};

// Introduction: Continue only. Terms: Back, and Continue once both boxes are ticked. The
// introduction and login pages: both, Continue always. Permission: both, Continue while the
// screen may be recorded. Start (the starting screen): neither.
TutorialNavigation tutorialNavigation(TutorialStep step, const TutorialViewModelPtr& viewModel,
                                      std::shared_ptr<ScreenCapturePermission> permission);

// The permission button of the tour: asks the desktop only when the permission is missing.
void requestScreenCapturePermission(ScreenCapturePermission& permission);

}  // namespace app
