#include "app/tutorial/tutorial_view_model.h"

#include <algorithm>

#include "app/bundle/bundle.h"
#include "app/bundle/localization.h"

namespace app {

const std::vector<std::string>& TutorialViewModel::privacyPolicyKeys() {
  static const std::vector<std::string> keys{
      "TERMS_PRIVACY_AND_POLICY_DISCLOSURE_1", "TERMS_PRIVACY_AND_POLICY_DISCLOSURE_2",
      "TERMS_PRIVACY_AND_POLICY_DISCLOSURE_3", "TERMS_PRIVACY_AND_POLICY_DISCLOSURE_4",
      "TERMS_PRIVACY_AND_POLICY_DISCLOSURE_5",
  };
  return keys;
}

TutorialViewModel::TutorialViewModel() {
  const Locale locale = Locale::current();
  for (const auto& key : privacyPolicyKeys())
    privacyPolicy_.push_back(localizedString(key, locale));
  // The last text says where the full policy is: at the configured address, or, without one,
  // in the page that comes with the application.
  const std::string address =
      Bundle::main()->infoText("TovarinePrivacyPolicyURL").value_or(std::string());
  std::string& where = privacyPolicy_.back();
  if (address.empty()) {
    where = localizedString(privacyPolicyKeys().back() + "_SHIPPED", locale);
  } else if (const auto mark = where.find("%1"); mark != std::string::npos) {
    where.replace(mark, 2, address);
  }
}

void TutorialViewModel::moveTo(int position) {
  const auto step = tutorialStepAt(position);
  if (!step) return;
  tutorialIndex_ = position;
  tutorialStep = *step;
}

void TutorialViewModel::nextStep() {
  moveTo(tutorialIndex_ + 1);
}

void TutorialViewModel::previousStep() {
  moveTo(tutorialIndex_ - 1);
}

void TutorialViewModel::showPreviousPrivacyPolicy() {
  if (privacyPolicyIndex.get() - 1 >= 0) privacyPolicyIndex = privacyPolicyIndex.get() - 1;
}

void TutorialViewModel::showNextPrivacyPolicy() {
  const int next = privacyPolicyIndex.get() + 1;
  if (next >= static_cast<int>(privacyPolicy_.size())) return;
  privacyPolicyIndex = next;
}

bool TutorialViewModel::areTermsAccepted() const {
  const auto& terms = tutorialTermsConditions.get();
  return std::all_of(terms.begin(), terms.end(), [](bool ticked) { return ticked; });
}

widgets::Binding<bool> TutorialViewModel::termsConditionBinding(std::size_t entry) {
  std::weak_ptr<TutorialViewModel> weak = weak_from_this();
  return widgets::Binding<bool>(
      [weak, entry] {
        auto self = weak.lock();
        if (!self) return false;
        const auto& terms = self->tutorialTermsConditions.get();
        return entry < terms.size() && terms[entry];
      },
      [weak, entry](bool value) {
        auto self = weak.lock();
        if (!self || entry >= self->tutorialTermsConditions.get().size()) return;
        auto terms = self->tutorialTermsConditions.get();
        terms[entry] = value;
        self->tutorialTermsConditions = std::move(terms);
      });
}

widgets::Binding<int> TutorialViewModel::privacyPolicyIndexBinding() {
  std::weak_ptr<TutorialViewModel> weak = weak_from_this();
  return widgets::Binding<int>(
      [weak] {
        auto self = weak.lock();
        return self ? self->privacyPolicyIndex.get() : 0;
      },
      [weak](int value) {
        if (auto self = weak.lock()) self->privacyPolicyIndex = value;
      });
}

}  // namespace app
