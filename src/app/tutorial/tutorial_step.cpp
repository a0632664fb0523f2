#include "app/tutorial/tutorial_step.h"

namespace app {

int tutorialPosition(TutorialStep step) {
  return static_cast<int>(step);
}

std::optional<TutorialStep> tutorialStepAt(int position) {
  if (position < 0 || position >= static_cast<int>(kAllTutorialSteps.size())) return std::nullopt;
  return kAllTutorialSteps[static_cast<std::size_t>(position)];
}

std::string_view tutorialStepName(TutorialStep step) {
  switch (step) {
    case TutorialStep::Introduction:
      return "Introduction";
    case TutorialStep::TermsPrivacy:
      return "TermsPrivacy";
    case TutorialStep::Starting:
      return "Starting";
    case TutorialStep::LoginScreen:
      return "LoginScreen";
    case TutorialStep::RecordPermission:
      return "RecordPermission";
    case TutorialStep::Start:
      return "Start";
  }
  return "Unknown";
}

}  // namespace app
