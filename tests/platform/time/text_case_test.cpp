#include "platform/time/text_case.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct CaseRow {
  const char* name;
  std::string text;
  std::string upper;
  std::string lower;
};

class TextCaseRows : public ::testing::TestWithParam<CaseRow> {};

TEST_P(TextCaseRows, MapsLettersAndKeepsEveryOtherByte) {
  const CaseRow& row = GetParam();
  EXPECT_EQ(platform::uppercased(row.text), row.upper);
  EXPECT_EQ(platform::lowercased(row.text), row.lower);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TextCaseRows,
    ::testing::Values(CaseRow{"ASCII", "user[Name]1", "USER[NAME]1", "user[name]1"},
                      CaseRow{"Accented", "\xC3\xA9t\xC3\x89", "\xC3\x89T\xC3\x89",
                              "\xC3\xA9t\xC3\xA9"},
                      // Not UTF-8: only ASCII letters change, no byte is replaced.
                      CaseRow{"InvalidUTF8",
                              "a\xFF"
                              "B",
                              "A\xFF"
                              "B",
                              "a\xFF"
                              "b"},
                      CaseRow{"Empty", "", "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TextCase, ClassifiesLetterCasesBeyondASCII) {
  EXPECT_TRUE(platform::isUppercaseLetter(U'A'));
  EXPECT_TRUE(platform::isUppercaseLetter(U'\u00C4'));  // Ä
  EXPECT_FALSE(platform::isUppercaseLetter(U'a'));
  EXPECT_FALSE(platform::isUppercaseLetter(U'['));
  EXPECT_TRUE(platform::isLowercaseLetter(U'\u00DF'));  // ß
  EXPECT_FALSE(platform::isLowercaseLetter(U'1'));
}

}  // namespace
