#include "app/tutorial/check_box.h"

#include <gtest/gtest.h>

#include <memory>

#include "app/bundle/bundle.h"
#include "app/support/app_test_support.h"
#include "app/tutorial/support/tutorial_test_support.h"
#include "platform/net/url.h"

namespace app {
namespace {

const Color kWhite{1, 1, 1, 1};

TEST(CheckBoxTest, TogglingWritesTheOppositeThroughTheBindingAndSwapsTheSymbol) {
  auto ticked = std::make_shared<bool>(false);
  CheckBox box(widgets::Binding<bool>::to(ticked), "Terms");
  EXPECT_EQ(box.symbolName(), "square");
  box.toggle();
  EXPECT_TRUE(*ticked);
  EXPECT_EQ(box.symbolName(), "checkmark.square.fill");
  box.toggle();
  EXPECT_FALSE(*ticked);
  EXPECT_EQ(box.symbolName(), "square");
  // The owner may change the state on its own; the box reads it, it keeps no copy.
  *ticked = true;
  EXPECT_EQ(box.symbolName(), "checkmark.square.fill");
}

TEST(CheckBoxTest, BoxIsGreyUnlessColouredAndTitlesAreWhiteOrLinkBlue) {
  auto ticked = std::make_shared<bool>(false);
  CheckBox plain(widgets::Binding<bool>::to(ticked));
  EXPECT_EQ(plain.boxColor(), systemGray());
  EXPECT_EQ(plain.shownTitle(), "");
  EXPECT_FALSE(plain.isLink());
  EXPECT_EQ(plain.shownTitleColor(), kWhite);
  tutorial_test::FakeWorkspace workspace;
  EXPECT_FALSE(plain.openLink(workspace));
  EXPECT_TRUE(workspace.openedURLs.empty());

  CheckBox link(widgets::Binding<bool>::to(ticked), "Privacy", kWhite, Color{1, 0, 0, 1},
                "https://tovarine.example/privacy");
  EXPECT_EQ(link.boxColor(), kWhite);
  EXPECT_TRUE(link.isLink());
  // The stored title colour is not what the link is drawn in.
  EXPECT_EQ(link.shownTitleColor(), systemBlue());
  EXPECT_EQ(link.shownTitle(), "Privacy");
}

TEST(CheckBoxTest, LinkOpensOnlyWebAddresses) {
  auto ticked = std::make_shared<bool>(false);
  struct Case {
    const char* address;
    bool opens;
  };
  for (const auto& c : {Case{"https://tovarine.example/privacy", true},
                        Case{"HTTP://tovarine.example/a?b=c#d", true}, Case{"", false},
                        Case{"not an address", false}, Case{"privacy.html", false},
                        Case{"file:///etc/passwd", false}, Case{"javascript:alert(1)", false},
                        Case{"https://", false}, Case{"https://bad host/", false},
                        Case{"https://tovarine.example/%zz", false}}) {
    tutorial_test::FakeWorkspace workspace;
    CheckBox box(widgets::Binding<bool>::to(ticked), "Privacy", std::nullopt, std::nullopt,
                 c.address);
    EXPECT_EQ(box.openLink(workspace), c.opens) << c.address;
    if (c.opens) {
      EXPECT_EQ(workspace.openedURLs, std::vector<std::string>{c.address});
    } else {
      EXPECT_TRUE(workspace.openedURLs.empty()) << c.address;
    }
  }
  // Opening the link never touches the ticked state.
  EXPECT_FALSE(*ticked);
}

TEST(CheckBoxTest, AFileLinkOpensOnlyAPageShippedInTheResources) {
  Bundle::setMain(Bundle::atPath(test::buildResourcesPath()));
  const std::string page =
      platform::URL::fileURLWithPath(
          (test::buildResourcesPath() / "en.lproj" / "PrivacyPolicy.html").string())
          .absoluteString();
  const std::string outside =
      platform::URL::fileURLWithPath(
          (test::buildResourcesPath() / "en.lproj" / ".." / ".." / "CMakeCache.txt").string())
          .absoluteString();
  auto ticked = std::make_shared<bool>(false);
  struct Row {
    std::string address;
    bool opens;
  } rows[] = {
      {page, true},
      {outside, false},
      {"file:///etc/passwd", false},
      {platform::URL::fileURLWithPath((test::buildResourcesPath() / "missing.html").string())
           .absoluteString(),
       false},
  };
  for (const auto& row : rows) {
    tutorial_test::FakeWorkspace workspace;
    CheckBox box(widgets::Binding<bool>::to(ticked), "Privacy", std::nullopt, std::nullopt,
                 row.address);
    EXPECT_EQ(box.openLink(workspace), row.opens) << row.address;
    EXPECT_EQ(workspace.openedURLs.size(), row.opens ? 1u : 0u) << row.address;
  }
  Bundle::setMain(nullptr);
}

}  // namespace
}  // namespace app
