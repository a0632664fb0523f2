#include "app/tutorial/tutorial_view_model.h"

#include <gtest/gtest.h>

#include <vector>

#include "app/bundle/localization.h"
#include "app/tutorial/support/tutorial_test_support.h"

namespace app {
namespace {

using Terms = std::vector<bool>;

class TutorialViewModelTest : public testing::Test {
 protected:
  tutorial_test::ScopedLocale locale_{"en"};
  TutorialViewModelPtr model_ = TutorialViewModel::make();
};

TEST_F(TutorialViewModelTest, StartsOnTheWelcomeStepWithNothingTicked) {
  EXPECT_EQ(model_->tutorialStep.get(), TutorialStep::Introduction);
  EXPECT_EQ(model_->tutorialIndex(), 0);
  EXPECT_EQ(model_->tutorialTermsConditions.get(), (Terms{false, false}));
  EXPECT_EQ(model_->privacyPolicyIndex.get(), 0);
  EXPECT_FALSE(model_->areTermsAccepted());
}

TEST_F(TutorialViewModelTest, ReadsTheFivePrivacyTextsInKeyOrderOnceInTheCurrentLanguage) {
  const auto& keys = TutorialViewModel::privacyPolicyKeys();
  ASSERT_EQ(model_->privacyPolicy().size(), 5u);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(keys[i], "TERMS_PRIVACY_AND_POLICY_DISCLOSURE_" + std::to_string(i + 1));
    // The last says where the policy is; this build configures no address, so it names the
    // page that comes with the application.
    const std::string key = i + 1 < keys.size() ? keys[i] : keys[i] + "_SHIPPED";
    EXPECT_EQ(model_->privacyPolicy()[i], localizedString(key, Locale{"en"}));
    EXPECT_NE(model_->privacyPolicy()[i], keys[i]) << "the English table should have the text";
  }
  // A later change of language leaves the texts of an existing view model alone.
  const auto english = model_->privacyPolicy();
  tutorial_test::ScopedLocale italian("it_IT.UTF-8");
  EXPECT_EQ(model_->privacyPolicy(), english);
  auto italianModel = TutorialViewModel::make();
  EXPECT_EQ(italianModel->privacyPolicy()[0], localizedString(keys[0], Locale{"it"}));
  EXPECT_NE(italianModel->privacyPolicy()[0], english[0]);
}

TEST_F(TutorialViewModelTest, StepsForwardThroughEveryStepAndBack) {
  for (int position = 1; position < 6; ++position) {
    model_->nextStep();
    EXPECT_EQ(model_->tutorialIndex(), position);
    EXPECT_EQ(model_->tutorialStep.get(), kAllTutorialSteps[static_cast<std::size_t>(position)]);
  }
  EXPECT_EQ(model_->tutorialStep.get(), TutorialStep::Start);
  for (int position = 4; position >= 0; --position) {
    model_->previousStep();
    EXPECT_EQ(model_->tutorialIndex(), position);
    EXPECT_EQ(model_->tutorialStep.get(), kAllTutorialSteps[static_cast<std::size_t>(position)]);
  }
}

TEST_F(TutorialViewModelTest, StepsAreNoOpsAtBothEnds) {
  int notices = 0;
  auto subscription = model_->objectWillChange().subscribe([&] { ++notices; });
  model_->previousStep();
  EXPECT_EQ(model_->tutorialStep.get(), TutorialStep::Introduction);
  EXPECT_EQ(model_->tutorialIndex(), 0);
  EXPECT_EQ(notices, 0);

  for (int i = 0; i < 5; ++i)
    model_->nextStep();
  notices = 0;
  model_->nextStep();
  model_->nextStep();
  EXPECT_EQ(model_->tutorialStep.get(), TutorialStep::Start);
  EXPECT_EQ(model_->tutorialIndex(), 5);
  EXPECT_EQ(notices, 0);
  // And it still steps back normally afterwards.
  model_->previousStep();
  EXPECT_EQ(model_->tutorialStep.get(), TutorialStep::RecordPermission);
}

TEST_F(TutorialViewModelTest, PrivacyArrowsStopAtTheFirstAndTheLastText) {
  model_->showPreviousPrivacyPolicy();
  EXPECT_EQ(model_->privacyPolicyIndex.get(), 0);
  for (int i = 0; i < 4; ++i)
    model_->showNextPrivacyPolicy();
  EXPECT_EQ(model_->privacyPolicyIndex.get(), 4);
  model_->showNextPrivacyPolicy();
  EXPECT_EQ(model_->privacyPolicyIndex.get(), 4);
  model_->showPreviousPrivacyPolicy();
  EXPECT_EQ(model_->privacyPolicyIndex.get(), 3);
}

TEST_F(TutorialViewModelTest, TermsAreAcceptedOnlyWithEveryBoxTicked) {
  struct Case {
    Terms terms;
    bool accepted;
  };
  for (const auto& c : {Case{{false, false}, false}, Case{{true, false}, false},
                        Case{{false, true}, false}, Case{{true, true}, true}, Case{{}, true}}) {
    model_->tutorialTermsConditions = c.terms;
    EXPECT_EQ(model_->areTermsAccepted(), c.accepted) << testing::PrintToString(c.terms);
  }
}

TEST_F(TutorialViewModelTest, BindingsWriteTheirOwnEntryAndOutliveNothing) {
  auto first = model_->termsConditionBinding(0);
  auto second = model_->termsConditionBinding(1);
  auto outOfRange = model_->termsConditionBinding(2);
  auto index = model_->privacyPolicyIndexBinding();

  second.set(true);
  EXPECT_EQ(model_->tutorialTermsConditions.get(), (Terms{false, true}));
  EXPECT_FALSE(first.get());
  EXPECT_TRUE(second.get());
  outOfRange.set(true);
  EXPECT_FALSE(outOfRange.get());
  EXPECT_EQ(model_->tutorialTermsConditions.get(), (Terms{false, true}));
  index.set(3);
  EXPECT_EQ(model_->privacyPolicyIndex.get(), 3);
  EXPECT_EQ(index.get(), 3);

  model_.reset();
  EXPECT_FALSE(second.get());
  EXPECT_EQ(index.get(), 0);
  second.set(false);  // nothing left to write to; must not crash
  index.set(1);
}

}  // namespace
}  // namespace app
