#include "app/tutorial/tutorial_navigation.h"

namespace app {

TutorialNavigation tutorialNavigation(TutorialStep step, const TutorialViewModelPtr& viewModel,
                                      std::shared_ptr<ScreenCapturePermission> permission) {
  const auto always = widgets::Binding<bool>::constant(true);
  switch (step) {
    case TutorialStep::Introduction:
      return {false, always};
    case TutorialStep::TermsPrivacy: {
      std::weak_ptr<TutorialViewModel> weak = viewModel;
      return {true, widgets::Binding<bool>(
                        [weak] {
                          auto model = weak.lock();
                          return model && model->areTermsAccepted();
                        },
                        [](bool) {})};
    }
    case TutorialStep::Starting:
    case TutorialStep::LoginScreen:
      return {true, always};
    case TutorialStep::RecordPermission:
      return {true,
              widgets::Binding<bool>([permission] { return permission && permission->preflight(); },
                                     [](bool) {})};
    case TutorialStep::Start:
      return {false, std::nullopt};
  }
  return {};
}

void requestScreenCapturePermission(ScreenCapturePermission& permission) {
  if (permission.preflight()) return;
  (void)permission.request();
}

}  // namespace app
