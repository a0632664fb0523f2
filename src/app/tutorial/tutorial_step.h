#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace app {

// The steps of the first-run tour, in the order they are shown.
enum class TutorialStep {
  Introduction,
  TermsPrivacy,
  Starting,
  LoginScreen,
  RecordPermission,
  Start,
};

// Every step in order; a step's position in this list is its tutorial index.
inline constexpr std::array<TutorialStep, 6> kAllTutorialSteps{
    TutorialStep::Introduction, TutorialStep::TermsPrivacy,     TutorialStep::Starting,
    TutorialStep::LoginScreen,  TutorialStep::RecordPermission, TutorialStep::Start,
};

int tutorialPosition(TutorialStep step);
// The step at `position`; nothing outside 0 to 5.
std::optional<TutorialStep> tutorialStepAt(int position);
std::string_view tutorialStepName(TutorialStep step);

}  // namespace app
