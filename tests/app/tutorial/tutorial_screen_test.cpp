#include "app/tutorial/tutorial_screen.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include <QAbstractButton>
#include <QLabel>
#include <QTextBrowser>

#include "app/bundle/bundle.h"
#include "app/bundle/localization.h"
#include "app/preferences/preferences.h"
#include "app/shell/app_environment.h"
#include "app/starting/starting_screen_view.h"
#include "app/style/qt_style.h"
#include "app/support/app_test_support.h"
#include "app/tutorial/check_box_view.h"
#include "app/tutorial/login_page.h"
#include "app/tutorial/navigation_row.h"
#include "app/tutorial/permission_page.h"
#include "app/tutorial/privacy_policy_dialog.h"
#include "app/tutorial/support/tutorial_test_support.h"
#include "app/tutorial/symbol_button.h"
#include "app/tutorial/terms_page.h"
#include "app/tutorial/tutorial_page.h"
#include "platform/net/url.h"

namespace app {
namespace {

using tutorial_test::rectIn;
using tutorial_test::settle;

class TutorialScreenTest : public testing::Test {
 protected:
  TutorialScreenTest() { tutorial_test::ensureApplication(); }

  void open(int width = 1280, int height = 900) {
    auto finished = [this](QWidget* parent) -> QWidget* {
      ++startingScreensMade_;
      auto* label = new QLabel(QStringLiteral("starting"), parent);
      label->setObjectName(QStringLiteral("fakeStartingScreen"));
      return label;
    };
    screen_ = new TutorialScreen(&TutorialViewModel::make, finished, permission_, workspace_);
    host_ = tutorial_test::host(screen_, width, height);
  }

  TutorialStep shown() const {
    return screen_->currentPage() ? screen_->currentPage()->step() : TutorialStep::Start;
  }
  CapsuleButton* continueButton() const {
    auto* row = screen_->currentPage()->continueRow();
    return row ? row->button() : nullptr;
  }
  CapsuleButton* backButton() const {
    auto* row = screen_->currentPage()->backRow();
    return row ? row->button() : nullptr;
  }
  // Presses a button as the user would and lets the screen follow.
  static void press(QAbstractButton* button) {
    ASSERT_NE(button, nullptr);
    button->click();
    settle();
  }
  TermsPage* termsPage() const { return dynamic_cast<TermsPage*>(screen_->currentPage()); }

  tutorial_test::ScopedLocale locale_{"en"};
  tutorial_test::ScopedDefaultsFolder defaults_;
  tutorial_test::ScopedFakeLoginItemService loginItems_;
  std::shared_ptr<tutorial_test::FakePermission> permission_ =
      std::make_shared<tutorial_test::FakePermission>();
  std::shared_ptr<tutorial_test::FakeWorkspace> workspace_ =
      std::make_shared<tutorial_test::FakeWorkspace>();
  int startingScreensMade_ = 0;
  TutorialScreen* screen_ = nullptr;
  std::unique_ptr<QWidget> host_;
};

TEST_F(TutorialScreenTest, WalksEveryStepToTheStartingScreen) {
  open();
  EXPECT_EQ(shown(), TutorialStep::Introduction);
  EXPECT_EQ(screen_->currentPage()->backRow(), nullptr);
  press(continueButton());

  ASSERT_EQ(shown(), TutorialStep::TermsPrivacy);
  press(termsPage()->termsBox(0)->box());
  press(termsPage()->termsBox(1)->box());
  press(continueButton());

  EXPECT_EQ(shown(), TutorialStep::Starting);
  press(continueButton());
  EXPECT_EQ(shown(), TutorialStep::LoginScreen);
  press(continueButton());
  ASSERT_EQ(shown(), TutorialStep::RecordPermission);
  permission_->grantOnRequest = true;
  press(dynamic_cast<PermissionPage*>(screen_->currentPage())->permissionButton());
  press(continueButton());

  EXPECT_EQ(shown(), TutorialStep::Start);
  EXPECT_EQ(screen_->viewModel()->tutorialStep.get(), TutorialStep::Start);
  ASSERT_NE(screen_->startingScreen(), nullptr);
  EXPECT_EQ(screen_->startingScreen()->objectName(), QStringLiteral("fakeStartingScreen"));
  EXPECT_TRUE(screen_->startingScreen()->isVisible());
  EXPECT_EQ(startingScreensMade_, 1);
  // Later changes do not bring the tour back.
  screen_->viewModel()->previousStep();
  settle();
  EXPECT_EQ(screen_->currentPage(), nullptr);
  EXPECT_EQ(startingScreensMade_, 1);
}

TEST_F(TutorialScreenTest, TermsContinueWaitsForBothBoxesAndTheTicksSurviveGoingBack) {
  open();
  press(continueButton());
  ASSERT_EQ(shown(), TutorialStep::TermsPrivacy);
  EXPECT_FALSE(continueButton()->isEnabled());
  press(termsPage()->termsBox(0)->box());
  EXPECT_FALSE(continueButton()->isEnabled());
  press(continueButton());
  EXPECT_EQ(shown(), TutorialStep::TermsPrivacy) << "a grey Continue does nothing";

  press(termsPage()->termsBox(1)->box());
  EXPECT_TRUE(continueButton()->isEnabled());
  press(termsPage()->termsBox(1)->box());
  EXPECT_FALSE(continueButton()->isEnabled()) << "un-ticking greys Continue again";
  press(termsPage()->termsBox(1)->box());
  press(continueButton());
  ASSERT_EQ(shown(), TutorialStep::Starting);

  press(backButton());
  ASSERT_EQ(shown(), TutorialStep::TermsPrivacy);
  EXPECT_EQ(termsPage()->termsBox(0)->box()->symbolName(), "checkmark.square.fill");
  EXPECT_EQ(termsPage()->termsBox(1)->box()->symbolName(), "checkmark.square.fill");
  EXPECT_TRUE(continueButton()->isEnabled());
  press(backButton());
  EXPECT_EQ(shown(), TutorialStep::Introduction);
}

TEST_F(TutorialScreenTest, ArrowsAndCarouselShowTheSamePrivacyText) {
  open();
  press(continueButton());
  auto* page = termsPage();
  ASSERT_NE(page, nullptr);
  auto& model = *screen_->viewModel();
  press(page->previousArrow());
  EXPECT_EQ(model.privacyPolicyIndex.get(), 0);
  for (int i = 0; i < 6; ++i)
    press(page->nextArrow());
  EXPECT_EQ(model.privacyPolicyIndex.get(), 4) << "the right arrow stops at the last text";
  EXPECT_EQ(page->carousel()->viewModel()->activeIndex(), 4);
  press(page->previousArrow());
  EXPECT_EQ(model.privacyPolicyIndex.get(), 3);
  EXPECT_EQ(page->carousel()->viewModel()->activeIndex(), 3);

  // A drag to the left moves the carousel on, and the position follows it.
  page->carousel()->viewModel()->dragEnded(widgets::DragValue{{-400, 0}});
  settle();
  EXPECT_EQ(model.privacyPolicyIndex.get(), 4);
  EXPECT_EQ(page->carousel()->viewModel()->activeIndex(), 4);

  // The position survives leaving the page and coming back.
  press(page->termsBox(0)->box());
  press(page->termsBox(1)->box());
  press(continueButton());
  press(backButton());
  ASSERT_NE(termsPage(), nullptr);
  EXPECT_EQ(termsPage()->carousel()->viewModel()->activeIndex(), 4);
}

// The build's own bundle, with a privacy-policy address of the test's whatever the build
// was configured with, for as long as it lives.
class BundleWithPrivacyAddress {
 public:
  explicit BundleWithPrivacyAddress(const std::string& address)
      : folder_(std::filesystem::temp_directory_path() /
                ("tovarine-bundle-" + std::to_string(::getpid()))) {
    namespace fs = std::filesystem;
    fs::remove_all(folder_);
    fs::copy(app::test::buildResourcesPath(), folder_, fs::copy_options::recursive);
    std::ifstream in(folder_ / "Info.json");
    auto info = nlohmann::ordered_json::parse(in);
    in.close();
    info["TovarinePrivacyPolicyURL"] = address;
    std::ofstream(folder_ / "Info.json", std::ios::trunc) << info.dump();
    Bundle::setMain(Bundle::atPath(folder_));
  }
  ~BundleWithPrivacyAddress() {
    Bundle::setMain(nullptr);
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }

 private:
  std::filesystem::path folder_;
};

TEST_F(TutorialScreenTest, SecondTermsBoxLinksToThePrivacyPolicyAndTheFirstDoesNot) {
  BundleWithPrivacyAddress bundle("https://example.org/privacy");
  open();
  press(continueButton());
  auto* page = termsPage();
  ASSERT_NE(page, nullptr);
  EXPECT_FALSE(page->termsBox(0)->checkBox().isLink());
  ASSERT_TRUE(page->termsBox(1)->checkBox().isLink());
  EXPECT_EQ(*page->termsBox(1)->checkBox().isClickable, privacyPolicyAddress());
  EXPECT_EQ(privacyPolicyAddress(), "https://example.org/privacy");
  press(qobject_cast<QAbstractButton*>(page->termsBox(1)->titleItem()));
  EXPECT_EQ(workspace_->openedURLs, std::vector<std::string>{privacyPolicyAddress()});
  EXPECT_FALSE(screen_->viewModel()->tutorialTermsConditions.get()[1]);
}

TEST_F(TutorialScreenTest, WithoutAConfiguredAddressThePrivacyLinkOpensTheShippedPage) {
  BundleWithPrivacyAddress bundle("");
  open();
  press(continueButton());
  auto* page = termsPage();
  ASSERT_NE(page, nullptr);
  ASSERT_TRUE(page->termsBox(1)->checkBox().isLink());
  const auto address = platform::URL::fromString(privacyPolicyAddress());
  ASSERT_TRUE(address.has_value()) << privacyPolicyAddress();
  EXPECT_EQ(address->scheme(), "file");
  EXPECT_EQ(std::filesystem::path(address->path()).filename(), "PrivacyPolicy.html");
  EXPECT_TRUE(std::filesystem::is_regular_file(address->path())) << address->path();
  press(qobject_cast<QAbstractButton*>(page->termsBox(1)->titleItem()));
  EXPECT_EQ(workspace_->openedURLs, std::vector<std::string>{privacyPolicyAddress()});
}

TEST_F(TutorialScreenTest, APolicyNothingOpensIsShownInsideAndTheTermsSayWhereItIs) {
  struct Row {
    const char* name;
    std::string address;
    bool desktopOpensIt;
    bool shownInside;
  } rows[] = {
      {"web address, opened", "https://example.org/privacy", true, false},
      {"web address, no launcher", "https://example.org/privacy", false, true},
      {"shipped page, no launcher", "", false, true},
      {"shipped page, opened", "", true, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    BundleWithPrivacyAddress bundle(row.address);
    workspace_ = std::make_shared<tutorial_test::FakeWorkspace>();
    workspace_->handlerExists = row.desktopOpensIt;
    open();
    // The last text of the carousel names the address only when there is one.
    const std::string where = screen_->viewModel()->privacyPolicy().back();
    if (row.address.empty()) {
      EXPECT_EQ(where, localizedString("TERMS_PRIVACY_AND_POLICY_DISCLOSURE_5_SHIPPED"));
      EXPECT_EQ(where.find("web site"), std::string::npos) << where;
    } else {
      EXPECT_NE(where.find(row.address), std::string::npos) << where;
      EXPECT_EQ(where.find("%1"), std::string::npos) << where;
    }
    press(continueButton());
    auto* page = termsPage();
    ASSERT_NE(page, nullptr);
    press(qobject_cast<QAbstractButton*>(page->termsBox(1)->titleItem()));
    EXPECT_EQ(workspace_->openedURLs, std::vector<std::string>{privacyPolicyAddress()});
    auto* dialog = host_->findChild<PrivacyPolicyDialog*>(QStringLiteral("privacyPolicyDialog"));
    EXPECT_EQ(dialog != nullptr && dialog->isVisible(), row.shownInside);
    if (dialog) {
      // The shipped page itself, readable in the window.
      EXPECT_TRUE(dialog->browser()->toPlainText().contains(QStringLiteral("Tovarine")));
      EXPECT_EQ(dialog->browser()->source().toLocalFile().toStdString(),
                shippedPrivacyPolicyPage()->string());
      dialog->accept();
      settle();
    }
    host_.reset();
    screen_ = nullptr;
  }
}

TEST_F(TutorialScreenTest, LoginButtonAsksForTheLoginItemOnEveryPressAndContinueIgnoresIt) {
  open();
  auto& model = *screen_->viewModel();
  for (int i = 0; i < 3; ++i)
    model.nextStep();
  settle();
  auto* page = dynamic_cast<LoginPage*>(screen_->currentPage());
  ASSERT_NE(page, nullptr);
  EXPECT_TRUE(continueButton()->isEnabled());
  // Each press asks once, then reads back what the login items hold to show it.
  press(page->loginButton());
  EXPECT_EQ(loginItems_.events(), (std::vector<std::string>{"status", "register", "status"}));
  press(page->loginButton());
  EXPECT_EQ(loginItems_.events(),
            (std::vector<std::string>{"status", "register", "status", "status", "unregister",
                                      "register", "status"}));
  press(continueButton());
  EXPECT_EQ(shown(), TutorialStep::RecordPermission);
}

TEST_F(TutorialScreenTest, TheLoginAndPermissionPressesShowWhatTheyDid) {
  struct Row {
    const char* name;
    TutorialStep step;
    bool refuse;  // the login item cannot be written; the permission is withheld
    const char* shownKey;
    bool checked;
  } rows[] = {
      {"login item written", TutorialStep::LoginScreen, false, "DOWNLOAD_MAC_APP_FIRST_START_DONE",
       true},
      {"login item refused", TutorialStep::LoginScreen, true, "DOWNLOAD_MAC_APP_FIRST_START_FAILED",
       false},
      // X11: nothing to ask, so the permission holds and the press is only a check.
      {"permission holds", TutorialStep::RecordPermission, false, "PERMISSION_MAC_BUTTON_DONE",
       true},
      // The desktop asks the user itself; the button stays for another try.
      {"permission withheld", TutorialStep::RecordPermission, true, "PERMISSION_MAC_BUTTON", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    tutorial_test::ScopedFakeLoginItemService loginItems;
    if (row.refuse) loginItems.refuseRegistering();
    permission_ = std::make_shared<tutorial_test::FakePermission>();
    permission_->granted = !row.refuse;
    open();
    auto& model = *screen_->viewModel();
    while (model.tutorialStep.get() != row.step)
      model.nextStep();
    settle();
    CapsuleButton* button = nullptr;
    if (auto* login = dynamic_cast<LoginPage*>(screen_->currentPage())) {
      button = login->loginButton();
    } else if (auto* asking = dynamic_cast<PermissionPage*>(screen_->currentPage())) {
      button = asking->permissionButton();
    }
    ASSERT_NE(button, nullptr);
    const QString before = button->text();
    press(button);
    EXPECT_EQ(button->text().toStdString(), uiText(row.shownKey));
    // Only a press the desktop answers with its own question leaves the button as it was.
    EXPECT_EQ(button->text() != before, row.step == TutorialStep::LoginScreen || row.checked);
    EXPECT_EQ(button->isChecked(), row.checked);
    EXPECT_EQ(button->look(), row.checked ? CapsuleLook::secondary : CapsuleLook::primary);
    // The whole capsule still fits the page.
    EXPECT_TRUE(host_->rect().contains(rectIn(*button, *host_)));
    EXPECT_GE(button->width(), button->sizeHint().width());
    host_.reset();
    screen_ = nullptr;
  }
}

TEST_F(TutorialScreenTest, PermissionContinueTurnsOnOnceGrantedAndThePageIsRefreshed) {
  open();
  auto& model = *screen_->viewModel();
  for (int i = 0; i < 4; ++i)
    model.nextStep();
  settle();
  auto* page = dynamic_cast<PermissionPage*>(screen_->currentPage());
  ASSERT_NE(page, nullptr);
  EXPECT_FALSE(continueButton()->isEnabled());
  press(continueButton());
  EXPECT_EQ(shown(), TutorialStep::RecordPermission);

  // Pressing the button without a grant asks the desktop and leaves Continue grey.
  press(page->permissionButton());
  EXPECT_EQ(permission_->requests, 1);
  EXPECT_FALSE(continueButton()->isEnabled());

  // Granted elsewhere (in the desktop's settings): the next refresh enables Continue, and the
  // button then only checks.
  permission_->granted = true;
  page->refresh();
  EXPECT_TRUE(continueButton()->isEnabled());
  press(page->permissionButton());
  EXPECT_EQ(permission_->requests, 1);
  press(continueButton());
  EXPECT_EQ(shown(), TutorialStep::Start);
}

TEST_F(TutorialScreenTest, NavigationRowsSitSixtyPointsFromTheWindowEdges) {
  for (auto size : {QSize(1280, 900), QSize(800, 700)}) {
    open(size.width(), size.height());
    auto& model = *screen_->viewModel();
    for (int position = 0; position < 5; ++position) {
      SCOPED_TRACE(testing::Message()
                   << size.width() << "x" << size.height() << " step " << position);
      ASSERT_EQ(tutorialPosition(shown()), position);
      // The capsules drawn, inside the room the buttons keep for the focus ring.
      const int m = CapsuleButton::kFocusMargin;
      const QRect next = rectIn(*continueButton(), *host_).adjusted(m, m, -m, -m);
      EXPECT_EQ(host_->width() - 1 - next.right(), 60);
      EXPECT_EQ(host_->height() - 1 - next.bottom(), 60);
      if (position > 0) {
        const QRect back = rectIn(*backButton(), *host_).adjusted(m, m, -m, -m);
        EXPECT_EQ(back.left(), 60);
        EXPECT_EQ(host_->height() - 1 - back.bottom(), 60);
        EXPECT_EQ(back.bottom(), next.bottom());
      }
      model.nextStep();
      settle();
    }
    host_.reset();
  }
}

TEST_F(TutorialScreenTest, EndsOnTheRealStartingScreenWhichRecordsTheFirstRunOver) {
  const auto preferences = std::make_shared<UserDefaultsPreferences>();
  ASSERT_FALSE(preferences->isNotFirstTime().value_or(false));
  permission_->granted = true;
  auto makeStarting = [this](QWidget* parent) -> QWidget* {
    return new StartingScreenView([] { return std::make_shared<DetachedDeviceStatusSource>(); },
                                  std::make_shared<UserDefaultsPreferences>(), permission_, parent);
  };
  screen_ = new TutorialScreen(&TutorialViewModel::make, makeStarting, permission_, workspace_);
  host_ = tutorial_test::host(screen_, 1280, 900);
  auto& model = *screen_->viewModel();
  for (int i = 0; i < 5; ++i)
    model.nextStep();
  settle();
  ASSERT_NE(dynamic_cast<StartingScreenView*>(screen_->startingScreen()), nullptr);
  EXPECT_TRUE(tutorial_test::processEventsUntil(
      [&] { return preferences->isNotFirstTime().value_or(false); }));
}

TEST_F(TutorialScreenTest, FactoryMakesANewTourForTheShell) {
  int made = 0;
  auto factory = makeTutorialScreenFactory(
      [&made](QWidget* parent) -> QWidget* {
        ++made;
        return new QWidget(parent);
      },
      permission_);
  QWidget parent;
  auto* first = dynamic_cast<TutorialScreen*>(factory(&parent));
  auto* second = dynamic_cast<TutorialScreen*>(factory(&parent));
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first->viewModel(), second->viewModel());
  EXPECT_EQ(first->permission(), permission_);
  EXPECT_EQ(first->parentWidget(), &parent);
  for (int i = 0; i < 5; ++i)
    first->viewModel()->nextStep();
  first->rebuild();
  EXPECT_EQ(made, 1);
  EXPECT_NE(first->startingScreen(), nullptr);
  EXPECT_EQ(second->startingScreen(), nullptr);
}

}  // namespace
}  // namespace app
