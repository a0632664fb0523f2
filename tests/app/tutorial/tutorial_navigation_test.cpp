#include "app/tutorial/tutorial_navigation.h"

#include <gtest/gtest.h>

#include "app/tutorial/support/tutorial_test_support.h"

namespace app {
namespace {

class TutorialNavigationTest : public testing::Test {
 protected:
  tutorial_test::ScopedLocale locale_{"en"};
  TutorialViewModelPtr model_ = TutorialViewModel::make();
  std::shared_ptr<tutorial_test::FakePermission> permission_ =
      std::make_shared<tutorial_test::FakePermission>();

  TutorialNavigation of(TutorialStep step) { return tutorialNavigation(step, model_, permission_); }
};

TEST_F(TutorialNavigationTest, RowsOfEachStep) {
  struct Row {
    TutorialStep step;
    bool back;
    bool hasContinue;
  };
  for (const auto& row :
       {Row{TutorialStep::Introduction, false, true}, Row{TutorialStep::TermsPrivacy, true, true},
        Row{TutorialStep::Starting, true, true}, Row{TutorialStep::LoginScreen, true, true},
        Row{TutorialStep::RecordPermission, true, true}, Row{TutorialStep::Start, false, false}}) {
    const auto navigation = of(row.step);
    EXPECT_EQ(navigation.hasBackRow, row.back) << tutorialStepName(row.step);
    EXPECT_EQ(navigation.continueEnabled.has_value(), row.hasContinue)
        << tutorialStepName(row.step);
  }
}

TEST_F(TutorialNavigationTest, ContinueIsAlwaysEnabledOnThePlainPages) {
  permission_->granted = false;
  for (auto step :
       {TutorialStep::Introduction, TutorialStep::Starting, TutorialStep::LoginScreen}) {
    EXPECT_TRUE(of(step).continueEnabled->get()) << tutorialStepName(step);
  }
}

TEST_F(TutorialNavigationTest, TermsContinueFollowsBothBoxesAsTheyChange) {
  const auto enabled = *of(TutorialStep::TermsPrivacy).continueEnabled;
  EXPECT_FALSE(enabled.get());
  model_->termsConditionBinding(0).set(true);
  EXPECT_FALSE(enabled.get());
  model_->termsConditionBinding(1).set(true);
  EXPECT_TRUE(enabled.get());
  model_->termsConditionBinding(0).set(false);
  EXPECT_FALSE(enabled.get());
  // The binding is computed: writing it changes nothing.
  enabled.set(true);
  EXPECT_FALSE(enabled.get());
  EXPECT_EQ(model_->tutorialTermsConditions.get(), (std::vector<bool>{false, true}));
}

TEST_F(TutorialNavigationTest, PermissionContinueAsksThePermissionOnEveryRead) {
  const auto enabled = *of(TutorialStep::RecordPermission).continueEnabled;
  EXPECT_FALSE(enabled.get());
  permission_->granted = true;
  EXPECT_TRUE(enabled.get());
  EXPECT_EQ(permission_->preflights, 2);
  enabled.set(false);
  EXPECT_TRUE(enabled.get());
  EXPECT_EQ(permission_->requests, 0);
  EXPECT_FALSE(
      tutorialNavigation(TutorialStep::RecordPermission, model_, nullptr).continueEnabled->get());
}

TEST_F(TutorialNavigationTest, PermissionButtonAsksOnlyWhenMissing) {
  permission_->granted = true;
  requestScreenCapturePermission(*permission_);
  EXPECT_EQ(permission_->preflights, 1);
  EXPECT_EQ(permission_->requests, 0);

  permission_->granted = false;
  requestScreenCapturePermission(*permission_);
  EXPECT_EQ(permission_->preflights, 2);
  EXPECT_EQ(permission_->requests, 1);
}

}  // namespace
}  // namespace app
