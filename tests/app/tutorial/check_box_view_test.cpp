#include "app/tutorial/check_box_view.h"

#include <gtest/gtest.h>

#include <QPushButton>

#include "app/tutorial/support/tutorial_test_support.h"
#include "app/tutorial/symbol_button.h"
#include "platform/foundation/log.h"

namespace app {
namespace {

using tutorial_test::countNear;
using tutorial_test::rectIn;
using tutorial_test::render;

const QColor kBlack(0, 0, 0);
const QColor kWhite(255, 255, 255);

class CheckBoxViewTest : public testing::Test {
 protected:
  CheckBoxViewTest() { tutorial_test::ensureApplication(); }

  CheckBoxView* make(std::optional<Color> boxColor, std::optional<std::string> link) {
    view_ = new CheckBoxView(
        CheckBox(widgets::Binding<bool>::to(ticked_), "Accept", boxColor, std::nullopt, link),
        workspace_);
    host_ = tutorial_test::host(view_, 400, 60);
    return view_;
  }
  // The box's inside, away from its outline and from where the tick is cut out.
  QColor boxInside() {
    const QRect box = rectIn(*view_->box(), *host_);
    return render(*host_).pixelColor(box.left() + 15, box.top() + 7);
  }
  QColor boxOutline() {
    const QRect box = rectIn(*view_->box(), *host_);
    return render(*host_).pixelColor(box.left() + 15, box.top() + 3);
  }

  std::shared_ptr<bool> ticked_ = std::make_shared<bool>(false);
  std::shared_ptr<tutorial_test::FakeWorkspace> workspace_ =
      std::make_shared<tutorial_test::FakeWorkspace>();
  CheckBoxView* view_ = nullptr;
  std::unique_ptr<QWidget> host_;
};

TEST_F(CheckBoxViewTest, PressingTheBoxTicksAndUnticksIt) {
  make(Color{1, 1, 1, 1}, std::nullopt);
  EXPECT_EQ(view_->box()->size(), QSize(30, 30));
  EXPECT_EQ(view_->box()->symbolName(), "square");
  EXPECT_TRUE(tutorial_test::near(boxOutline(), kWhite, 40));
  EXPECT_TRUE(tutorial_test::near(boxInside(), kBlack));

  view_->box()->click();
  EXPECT_TRUE(*ticked_);
  EXPECT_EQ(view_->box()->symbolName(), "checkmark.square.fill");
  tutorial_test::settle();
  EXPECT_TRUE(tutorial_test::near(boxInside(), kWhite));

  view_->box()->click();
  EXPECT_FALSE(*ticked_);
  EXPECT_EQ(view_->box()->symbolName(), "square");
  tutorial_test::settle();
  EXPECT_TRUE(tutorial_test::near(boxInside(), kBlack));
}

TEST_F(CheckBoxViewTest, LinkTitleIsBlueAndOpensItsAddress) {
  make(Color{1, 1, 1, 1}, "https://tovarine.example/privacy");
  auto* link = qobject_cast<QPushButton*>(view_->titleItem());
  ASSERT_NE(link, nullptr);
  EXPECT_GT(countNear(render(*host_), rectIn(*link, *host_), QColor(10, 132, 255), 40), 10);
  EXPECT_EQ(rectIn(*link, *host_).left() - rectIn(*view_->box(), *host_).right() - 1, 35);
  link->click();
  EXPECT_EQ(workspace_->openedURLs, std::vector<std::string>{"https://tovarine.example/privacy"});
  EXPECT_FALSE(*ticked_) << "the link does not tick the box";
}

TEST_F(CheckBoxViewTest, LinkWithoutAUsableAddressOpensNothingAndSaysSo) {
  // "" is what a build without a privacy-policy address gives the link.
  for (const char* address : {"", "not an address"}) {
    workspace_->openedURLs.clear();
    make(Color{1, 1, 1, 1}, address);
    auto* link = qobject_cast<QPushButton*>(view_->titleItem());
    ASSERT_NE(link, nullptr);
    platform::LogCapture capture;
    link->click();
    EXPECT_TRUE(workspace_->openedURLs.empty()) << address;
    EXPECT_EQ(capture.text(), "The link has no usable address configured; nothing was opened.\n")
        << address;
  }
}

}  // namespace
}  // namespace app
