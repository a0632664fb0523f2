#include "app/bundle/bundle.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/bundle/localization.h"
#include "app/bundle/strings_table.h"
#include "app/support/app_test_support.h"
#include "app/update/versioning.h"
#include "platform/foundation/string_encoding.h"
#include "support/text_mutation.h"

namespace app {
namespace {

using test::ScopedTestBundle;

const char* kItalian = R"(/* comment */
"START_NO_USB" = "Collega il tablet";
// another comment
GREETING = "Ciao\n\"tutti\"";
"UNICODE" = "\u00e8 \U00C9";
)";
const char* kEnglish = R"("START_NO_USB" = "Plug in your tablet"; "ONLY_EN" = "English only";)";

class ScopedLocale {
 public:
  explicit ScopedLocale(std::string identifier) {
    Locale::setCurrent(Locale{std::move(identifier)});
  }
  ~ScopedLocale() { Locale::setCurrent(std::nullopt); }
};

}  // namespace

TEST(StringsTable, ReadsPairsCommentsAndEscapes) {
  auto table = parseStringsTable(kItalian);
  ASSERT_TRUE(table.has_value()) << table.error();
  EXPECT_EQ(table->at("START_NO_USB"), "Collega il tablet");
  EXPECT_EQ(table->at("GREETING"), "Ciao\n\"tutti\"");
  EXPECT_EQ(table->at("UNICODE"), "\xC3\xA8 \xC3\x89");
  EXPECT_EQ(parseStringsTable("\xEF\xBB\xBF\"a\" = b; \"a\" = \"c\";")->at("a"), "c");
  EXPECT_TRUE(parseStringsTable("")->empty());
}

TEST(StringsTable, SurrogatePairsBecomeOneCharacter) {
  auto table = parseStringsTable(R"("face" = "\uD83D\uDE00";)");
  ASSERT_TRUE(table.has_value());
  EXPECT_EQ(table->at("face"), "\xF0\x9F\x98\x80");
}

TEST(StringsTable, RejectsBrokenFilesNamingTheLine) {
  for (const char* text : {"\"a\" = \"b\"", "\"a\" \"b\";", "\"a\" = \"b;", "/* open", "\"a\" = ;",
                           "\"a\" = \"\\q\";", "\"a\" = \"\\uD83D\";", "= \"b\";"}) {
    auto table = parseStringsTable(text);
    EXPECT_FALSE(table.has_value()) << text;
  }
  // Texts that are not UTF-8, or that hold NUL, are refused with their line.
  struct Row {
    std::string text;
    const char* error;
  };
  const std::vector<Row> rows = {
      {"\"a\" = \"b\";\n\"c\" = \"\xC3\x28\";", "line 2: a quoted text is not valid UTF-8"},
      {"\"a\" = \"\xED\xA0\x80\";", "line 1: a quoted text is not valid UTF-8"},
      {"\n\"a\" = \"x\\u0000y\";", "line 2: a quoted text holds U+0000"},
      {"\"a\xFF\" = \"b\";", "line 1: a quoted text is not valid UTF-8"},
  };
  for (const Row& row : rows) {
    auto refused = parseStringsTable(row.text);
    ASSERT_FALSE(refused.has_value()) << row.text;
    EXPECT_EQ(refused.error(), row.error);
  }
  auto error = parseStringsTable("\"a\" = \"b\";\n\n\"c\" = d e;");
  ASSERT_FALSE(error.has_value());
  EXPECT_TRUE(error.error().starts_with("line 3")) << error.error();
}

TEST(Localization, LooksUpTheCurrentLanguagesFolder) {
  ScopedTestBundle bundle("", {{"it", kItalian}, {"en", kEnglish}});
  ScopedLocale locale("it_IT.UTF-8");
  EXPECT_EQ(localizedString("START_NO_USB"), "Collega il tablet");
  // A key the Italian table lacks shows as the key, not as the English text.
  EXPECT_EQ(localizedString("ONLY_EN"), "ONLY_EN");
  EXPECT_EQ(localizedString("START_NO_USB", Locale{"en_GB"}), "Plug in your tablet");
  EXPECT_EQ(uiText("START_NO_USB"), "Collega il tablet");
  EXPECT_EQ(uiText("MISSING"), "MISSING");
}

TEST(Localization, ALanguageWithoutItsFolderFallsBackToEnglishThenToTheKey) {
  ScopedTestBundle bundle("", {{"it", kItalian}, {"en", kEnglish}});
  EXPECT_EQ(localizedString("START_NO_USB", Locale{"de_DE"}), "Plug in your tablet");
  EXPECT_EQ(localizedString("MISSING", Locale{"de_DE"}), "MISSING");
  ScopedLocale locale("fr");
  EXPECT_EQ(uiText("ONLY_EN"), "English only");

  ScopedTestBundle italianOnly("", {{"it", kItalian}});
  EXPECT_EQ(localizedString("START_NO_USB", Locale{"de"}), "START_NO_USB");
  // Without any language the bundle's first folder answers.
  EXPECT_EQ(localizedString("START_NO_USB", Locale{""}), "Collega il tablet");
}

TEST(Localization, AnEmptyBundleAnswersKeys) {
  ScopedTestBundle bundle("", {});
  EXPECT_EQ(localizedString("START_NO_USB", Locale{"it"}), "START_NO_USB");
  EXPECT_EQ(uiText("START_NO_USB"), "START_NO_USB");
}

TEST(Localization, ABrokenTableAnswersKeys) {
  ScopedTestBundle bundle("", {{"it", "\"START_NO_USB\" = \"unterminated"}});
  EXPECT_EQ(localizedString("START_NO_USB", Locale{"it"}), "START_NO_USB");
}

TEST(Locale, LanguageCodes) {
  EXPECT_EQ(Locale{"it_IT.UTF-8"}.languageCode(), "it");
  EXPECT_EQ(Locale{"EN-us"}.languageCode(), "en");
  EXPECT_EQ(Locale{"pt@euro"}.languageCode(), "pt");
  EXPECT_EQ(Locale{"C"}.languageCode(), "en");
  EXPECT_EQ(Locale{"C.UTF-8"}.languageCode(), "en");
  EXPECT_EQ(Locale{""}.languageCode(), std::nullopt);
  // Never a path: only letters make a language.
  EXPECT_EQ(Locale{"../etc"}.languageCode(), std::nullopt);
  EXPECT_EQ(Locale{"e/n"}.languageCode(), std::nullopt);
}

TEST(BundleValues, ReadTextEntriesOnly) {
  ScopedTestBundle bundle(
      R"({"CFBundleDisplayName":"Tovarine","CFBundleShortVersionString":"1.2","CFBundleVersion":5})",
      {});
  EXPECT_EQ(displayName(), "Tovarine");
  EXPECT_EQ(releaseVersionNumber(), "1.2");
  EXPECT_EQ(buildVersionNumber(), std::nullopt);  // a number, not text

  ScopedTestBundle noInfo("", {});
  EXPECT_EQ(displayName(*noInfo.bundle()), std::nullopt);
  ScopedTestBundle notAnObject("[1]", {});
  EXPECT_EQ(notAnObject.bundle()->infoDictionary(), std::nullopt);
}

TEST(BundleResources, NamesStayInsideTheBundle) {
  ScopedTestBundle bundle("", {{"it", kItalian}, {"en", kEnglish}});
  EXPECT_EQ(bundle.bundle()->localizations(), (std::vector<std::string>{"en", "it"}));
  EXPECT_TRUE(bundle.bundle()->pathForResource("it", "lproj").has_value());
  EXPECT_EQ(bundle.bundle()->pathForResource("", "lproj"), bundle.path() / "en.lproj");
  EXPECT_FALSE(bundle.bundle()->pathForResource("de", "lproj").has_value());
  EXPECT_FALSE(bundle.bundle()->pathForResource("..", "").has_value());
  EXPECT_FALSE(bundle.bundle()->pathForResource("../x", "lproj").has_value());
  EXPECT_FALSE(bundle.bundle()->imagePath("../Logo").has_value());
  EXPECT_EQ(Bundle::atPath(bundle.path() / "missing"), nullptr);
}

TEST(BundleResources, TheBuildsBundleCarriesEveryScreenKeyInBothLanguages) {
  auto build = Bundle::atPath(app::test::buildResourcesPath());
  ASSERT_NE(build, nullptr);
  EXPECT_EQ(build->infoText("CFBundleDisplayName"), "Tovarine");
  ASSERT_TRUE(build->infoText("CFBundleShortVersionString").has_value());
  EXPECT_TRUE(versionNumber(*build->infoText("CFBundleShortVersionString")).has_value());
  for (const char* image : {"Logo", "backgroudnologo", "background", "usb", "computer"}) {
    EXPECT_TRUE(build->imagePath(image).has_value()) << image;
  }
  for (const std::string language : {"en", "it"}) {
    for (const char* key :
         {"Tovarine", "ALERT_DOWNLOAD_BAR", "ALERT_MANDATORY_UPDATE_TITLE",
          "ALERT_MANDATORY_UPDATE_DESCRIPTION", "ALERT_OPTIONAL_UPDATE_TITLE",
          "ALERT_OPTIONAL_UPDATE_DESCRIPTION", "OK", "Cancel", "ALERT_SAVE_FAILED_TITLE",
          "ALERT_SAVE_FAILED_DESCRIPTION", "ALERT_INSTALLER_NOT_OPENED_TITLE",
          "ALERT_INSTALLER_NOT_OPENED_DESCRIPTION", "PERMISSION_MAC_DESCRIPTION",
          "PERMISSION_MAC_BUTTON", "START_NO_USB", "START_YES_USB", "Dispositivo collegato",
          "START_DISPLAY_REFUSED", "BUTTON_CONTINUE"}) {
      const auto text = build->localizedString(key, "\x01", {}, {language});
      EXPECT_NE(text, "\x01") << language << " lacks " << key;
    }
  }
}

}  // namespace app

namespace app {
namespace {

// Twenty thousand mutated tables: each is read whole or refused naming a line, and what is read
// is UTF-8 without NUL.
TEST(StringsTable, MutatedTablesAreReadWholeOrRefused) {
  const std::vector<std::string> seeds = {
      "/* c */ \"KEY\" = \"Caf\xC3\xA9 \\\"x\\\"\";\n// line\nbare = word;\n",
      "\"face\" = \"\\uD83D\\uDE00\\n\";\n\"a\" = \"b\";",
  };
  for (int round = 0; round < 20'000; ++round) {
    const std::string text = testsupport::mutatedText(seeds, "\"\\;=/*u0Dn\xC3\xFF", round);
    auto table = parseStringsTable(text);
    if (!table) {
      EXPECT_TRUE(table.error().starts_with("line ")) << table.error();
      continue;
    }
    for (const auto& [key, value] : *table) {
      EXPECT_TRUE(platform::StringEncoding(platform::StringEncoding::utf8).decode(key)) << text;
      EXPECT_TRUE(platform::StringEncoding(platform::StringEncoding::utf8).decode(value)) << text;
      EXPECT_EQ(value.find('\0'), std::string::npos) << text;
    }
  }
}

}  // namespace
}  // namespace app
