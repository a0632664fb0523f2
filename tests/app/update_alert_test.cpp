#include "app/alert/update_alert.h"

#include <gtest/gtest.h>

#include <QMessageBox>
#include <QWidget>

#include "app/alert/alert_creator.h"
#include "app/bundle/locale.h"

#include "app/support/app_test_support.h"

namespace app {
namespace {

const char* kEnglish = R"(
"ALERT_MANDATORY_UPDATE_TITLE" = "Must update";
"ALERT_MANDATORY_UPDATE_DESCRIPTION" = "Required";
"ALERT_OPTIONAL_UPDATE_TITLE" = "May update";
)";

Versioning withMandatory(std::optional<bool> mandatory) {
  Versioning v;
  v.isMandatory = mandatory;
  return v;
}

}  // namespace

TEST(UpdateAlert, MandatoryTextsAndOnlyOK) {
  test::ScopedTestBundle bundle("", {{"en", kEnglish}});
  Locale::setCurrent(Locale{"en_US"});
  const auto content = updateAlertContent(withMandatory(true));
  Locale::setCurrent(std::nullopt);
  EXPECT_EQ(content.title, "Must update");
  EXPECT_EQ(content.message, "Required");
  EXPECT_EQ(content.buttonKeys, std::vector<std::string>{"OK"});
}

TEST(UpdateAlert, OptionalTextsWithCancelAndKeysForMissingTexts) {
  test::ScopedTestBundle bundle("", {{"en", kEnglish}});
  Locale::setCurrent(Locale{"en_US"});
  const auto content = updateAlertContent(withMandatory(false));
  Locale::setCurrent(std::nullopt);
  EXPECT_EQ(content.title, "May update");
  EXPECT_EQ(content.message, "ALERT_OPTIONAL_UPDATE_DESCRIPTION");
  EXPECT_EQ(content.buttonKeys, (std::vector<std::string>{"OK", "Cancel"}));
}

TEST(UpdateAlert, ButtonsClearTheBindingBeforeTheirAction) {
  VersioningPtr bound = std::make_shared<Versioning>(withMandatory(false));
  VersioningBinding binding{[&] { return bound; }, [&](VersioningPtr v) { bound = std::move(v); }};
  bool clearedFirst = false;
  pressUpdateAlertButton(binding, [&] { clearedFirst = bound == nullptr; });
  EXPECT_TRUE(clearedFirst);

  bound = std::make_shared<Versioning>(withMandatory(true));
  pressUpdateAlertButton(binding, nullptr);  // no action: only the binding changes
  EXPECT_EQ(bound, nullptr);
}

TEST(UpdateAlert, ClosingTheAlertWindowCountsAsCancelOrKeepsAMandatoryAlert) {
  test::qtApplication();
  struct Row {
    bool mandatory;
    int cancels;        // how often "Cancel" ran
    bool stillOffered;  // the description is still bound
    bool stillShown;    // an alert is on screen
  };
  for (const Row row : {Row{false, 1, false, false}, Row{true, 0, true, true}}) {
    SCOPED_TRACE(row.mandatory ? "mandatory" : "optional");
    QWidget window;
    window.show();
    VersioningPtr bound;
    int oks = 0;
    int cancels = 0;
    AlertCreator* creator = nullptr;
    VersioningBinding binding{[&] { return bound; },
                              [&](VersioningPtr v) {
                                bound = std::move(v);
                                creator->refresh();
                              }};
    creator = new AlertCreator(
        &window, binding, [&] { ++oks; }, [&] { ++cancels; });
    binding.set(std::make_shared<Versioning>(withMandatory(row.mandatory)));
    QPointer<QMessageBox> first = creator->currentAlert();
    ASSERT_TRUE(first);
    test::processQtEvents();
    // What the window's close button and Alt+F4 send.
    first->close();
    test::processQtEvents();
    EXPECT_EQ(cancels, row.cancels);
    EXPECT_EQ(oks, 0);
    EXPECT_EQ(bound != nullptr, row.stillOffered);
    EXPECT_EQ(creator->currentAlert() != nullptr && creator->currentAlert()->isVisible(),
              row.stillShown);
  }
}

}  // namespace app
