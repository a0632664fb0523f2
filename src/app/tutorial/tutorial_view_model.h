#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "app/tutorial/tutorial_step.h"
#include "platform/foundation/observable.h"
#include "widgets/binding.h"

namespace app {

// The state of the first-run tour: the step shown, the two terms boxes and the position of the
// privacy-policy carousel. Main thread only; every published change is announced first.
class TutorialViewModel : public platform::ObservableObject,
                          public std::enable_shared_from_this<TutorialViewModel> {
 public:
  // The keys of the privacy-policy texts, in the order the carousel shows them.
  static const std::vector<std::string>& privacyPolicyKeys();

  // Reads the privacy-policy texts once, in the user's current language.
  TutorialViewModel();
  static std::shared_ptr<TutorialViewModel> make() { return std::make_shared<TutorialViewModel>(); }

  platform::Published<TutorialStep> tutorialStep{*this, TutorialStep::Introduction};
  platform::Published<std::vector<bool>> tutorialTermsConditions{*this, {false, false}};
  platform::Published<int> privacyPolicyIndex{*this, 0};

  const std::vector<std::string>& privacyPolicy() const { return privacyPolicy_; }
  int tutorialIndex() const { return tutorialIndex_; }

  // One step forward or back. At either end of the tour the step stays where it is, so a
  // stray press can never move past the list.
  void nextStep();
  void previousStep();

  // The carousel arrows: one text back or forward, stopping at the first and the last.
  void showPreviousPrivacyPolicy();
  void showNextPrivacyPolicy();

  // Both terms boxes ticked (true for no boxes at all).
  bool areTermsAccepted() const;

  // Two-way bindings for the terms page's widgets. They hold the view model weakly; once it is
  // gone they read false or 0 and drop writes.
  widgets::Binding<bool> termsConditionBinding(std::size_t entry);
  widgets::Binding<int> privacyPolicyIndexBinding();

 private:
  void moveTo(int position);

  std::vector<std::string> privacyPolicy_;
  int tutorialIndex_ = 0;
};

using TutorialViewModelPtr = std::shared_ptr<TutorialViewModel>;

}  // namespace app
