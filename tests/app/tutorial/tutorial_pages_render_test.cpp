#include <gtest/gtest.h>

#include <QLabel>

#include "app/style/qt_style.h"
#include "app/tutorial/check_box_view.h"
#include "app/tutorial/introduction_page.h"
#include "app/tutorial/login_page.h"
#include "app/tutorial/navigation_row.h"
#include "app/tutorial/permission_page.h"
#include "app/tutorial/support/tutorial_test_support.h"
#include "app/tutorial/symbol_button.h"
#include "app/tutorial/terms_page.h"
#include "app/tutorial/tutorial_screen.h"

namespace app {
namespace {

using tutorial_test::countNear;
using tutorial_test::find;
using tutorial_test::near;
using tutorial_test::rectIn;

const QColor kAccent(0x5B, 0x68, 0xDF);
const QColor kGrey(142, 142, 147);
const QColor kWhite(255, 255, 255);
const QColor kSecondaryText(0xC1, 0xC1, 0xC1);
const QColor kLinkBlue(10, 132, 255);
// The top-left corner of both backdrops.
const QColor kBackdropCorner(0x14, 0x17, 0x33);

// Every page of the tour drawn offscreen in a 1280 by 900 window, checked at a few pixels.
class TutorialPagesRenderTest : public testing::Test {
 protected:
  TutorialPagesRenderTest() {
    tutorial_test::ensureApplication();
    screen_ = new TutorialScreen(&TutorialViewModel::make, nullptr, permission_, workspace_);
    host_ = tutorial_test::host(screen_, 1280, 900);
  }

  void goTo(TutorialStep step) {
    auto& model = *screen_->viewModel();
    while (model.tutorialIndex() < tutorialPosition(step))
      model.nextStep();
    tutorial_test::settle();
    ASSERT_EQ(screen_->currentPage()->step(), step);
  }
  QImage image() { return tutorial_test::render(*host_); }
  QRect rectOf(const QWidget* widget) { return rectIn(*widget, *host_); }
  // A point inside a capsule's filling, left of its text.
  QColor capsuleFill(const QWidget* button) {
    const QRect r = rectOf(button);
    return image().pixelColor(r.left() + 22, r.center().y());
  }
  QLabel* label(const char* key) { return find<QLabel>(*screen_->currentPage(), key); }

  tutorial_test::ScopedLocale locale_{"en"};
  tutorial_test::ScopedFakeLoginItemService loginItems_;
  std::shared_ptr<tutorial_test::FakePermission> permission_ =
      std::make_shared<tutorial_test::FakePermission>();
  std::shared_ptr<tutorial_test::FakeWorkspace> workspace_ =
      std::make_shared<tutorial_test::FakeWorkspace>();
  TutorialScreen* screen_ = nullptr;
  std::unique_ptr<QWidget> host_;
};

TEST_F(TutorialPagesRenderTest, WelcomePage) {
  auto* page = screen_->currentPage();
  const QImage shot = image();
  EXPECT_TRUE(near(shot.pixelColor(1, 1), kBackdropCorner, 14));
  EXPECT_TRUE(near(capsuleFill(page->continueRow()->button()), kAccent));
  auto* title = label("WELCOME_TUTORIAL_TITLE");
  auto* description = label("WELCOME_TUTORIAL_DESCRIPTION");
  ASSERT_NE(title, nullptr);
  ASSERT_NE(description, nullptr);
  EXPECT_EQ(title->text(), QStringLiteral("Welcome to Tovarine"));
  EXPECT_GT(countNear(shot, rectOf(title), kWhite, 20), 50);
  EXPECT_GT(countNear(shot, rectOf(description), kWhite, 20), 50);
  EXPECT_LT(rectOf(title).bottom(), rectOf(description).top());
  // The texts sit in the middle of the window.
  const int middle = (rectOf(title).top() + rectOf(description).bottom()) / 2;
  EXPECT_NEAR(middle, 450, 40);
}

TEST_F(TutorialPagesRenderTest, TermsPage) {
  goTo(TutorialStep::TermsPrivacy);
  auto* page = dynamic_cast<TermsPage*>(screen_->currentPage());
  ASSERT_NE(page, nullptr);
  QImage shot = image();
  EXPECT_TRUE(near(shot.pixelColor(1, 1), kBackdropCorner, 14));
  EXPECT_TRUE(near(capsuleFill(page->continueRow()->button()), kGrey));
  // Back is outlined in the accent colour with the backdrop showing inside.
  const QRect back = rectOf(page->backRow()->button());
  const int edge = back.left() + CapsuleButton::kFocusMargin + 1;
  EXPECT_TRUE(near(shot.pixelColor(edge, back.center().y()), kAccent, 40));
  EXPECT_FALSE(near(shot.pixelColor(back.left() + 22, back.center().y()), kAccent, 40));
  // The white chevrons on either side of the carousel, which shows the first text.
  EXPECT_GT(countNear(shot, rectOf(page->previousArrow()), kWhite, 30), 20);
  EXPECT_GT(countNear(shot, rectOf(page->nextArrow()), kWhite, 30), 20);
  const QRect carousel = rectOf(page->carousel());
  EXPECT_LE(carousel.height(), 250);
  EXPECT_GT(countNear(shot, carousel, kWhite, 30), 50);
  EXPECT_LT(rectOf(page->previousArrow()).right(), carousel.left());
  EXPECT_GT(rectOf(page->nextArrow()).left(), carousel.right());
  // White, empty boxes; the second title is a blue link.
  const QRect box = rectOf(page->termsBox(0)->box());
  EXPECT_TRUE(near(shot.pixelColor(box.left() + 15, box.top() + 3), kWhite, 60));
  EXPECT_FALSE(near(shot.pixelColor(box.left() + 15, box.top() + 7), kWhite, 60));
  EXPECT_GT(countNear(shot, rectOf(page->termsBox(1)->titleItem()), kLinkBlue, 40), 10);
  EXPECT_EQ(countNear(shot, rectOf(page->termsBox(0)->titleItem()), kLinkBlue, 40), 0);
  EXPECT_EQ(rectOf(page->termsBox(0)).left(), rectOf(page->termsBox(1)).left());

  page->termsBox(0)->box()->click();
  page->termsBox(1)->box()->click();
  tutorial_test::settle();
  shot = image();
  EXPECT_TRUE(near(shot.pixelColor(box.left() + 15, box.top() + 7), kWhite, 20));
  EXPECT_TRUE(near(capsuleFill(page->continueRow()->button()), kAccent));
}

TEST_F(TutorialPagesRenderTest, IntroductionPage) {
  goTo(TutorialStep::Starting);
  auto* page = screen_->currentPage();
  const QImage shot = image();
  auto* logo = find(*page, "Logo");
  ASSERT_NE(logo, nullptr);
  EXPECT_EQ(logo->size(), QSize(100, 100));
  // The middle of the logo's tile is a strong blue-violet.
  const QColor tile = shot.pixelColor(rectOf(logo).left() + 50, rectOf(logo).top() + 70);
  EXPECT_GT(tile.blue(), tile.red() + 60) << tile.name().toStdString();
  ASSERT_NE(label("STARTING_TITLE"), nullptr);
  EXPECT_GT(countNear(shot, rectOf(label("STARTING_TITLE")), kWhite, 20), 50);
  ASSERT_NE(label("STARTING_DESCRIPTION"), nullptr);
  EXPECT_GT(countNear(shot, rectOf(label("STARTING_DESCRIPTION")), kSecondaryText, 12), 50);
  EXPECT_EQ(countNear(shot, rectOf(label("STARTING_DESCRIPTION")), kWhite, 12), 0);
  EXPECT_TRUE(near(capsuleFill(page->continueRow()->button()), kAccent));
  // The content column leaves 32 points at each side.
  EXPECT_EQ(rectOf(label("STARTING_DESCRIPTION")).left(), 32);
}

TEST_F(TutorialPagesRenderTest, LoginPage) {
  goTo(TutorialStep::LoginScreen);
  auto* page = dynamic_cast<LoginPage*>(screen_->currentPage());
  ASSERT_NE(page, nullptr);
  const QImage shot = image();
  auto* computer = find(*page, "computer");
  ASSERT_NE(computer, nullptr);
  EXPECT_EQ(computer->size(), QSize(320, 200)) << "drawn at its natural size";
  EXPECT_GT(countNear(shot, rectOf(computer), kWhite, 20), 200);
  EXPECT_TRUE(near(capsuleFill(page->loginButton()), kAccent));
  EXPECT_GT(countNear(shot, rectOf(label("DOWNLOAD_MAC_APP_DESCRIPTION")), kSecondaryText, 12), 50);
  EXPECT_TRUE(near(capsuleFill(page->continueRow()->button()), kAccent));
}

TEST_F(TutorialPagesRenderTest, PermissionPage) {
  goTo(TutorialStep::RecordPermission);
  auto* page = dynamic_cast<PermissionPage*>(screen_->currentPage());
  ASSERT_NE(page, nullptr);
  QImage shot = image();
  EXPECT_TRUE(near(capsuleFill(page->permissionButton()), kAccent));
  EXPECT_GT(countNear(shot, rectOf(label("PERMISSION_MAC_TITLE")), kWhite, 20), 50);
  EXPECT_TRUE(near(capsuleFill(page->continueRow()->button()), kGrey));

  permission_->granted = true;
  page->refresh();
  tutorial_test::settle();
  EXPECT_TRUE(near(capsuleFill(page->continueRow()->button()), kAccent));
}

}  // namespace
}  // namespace app
