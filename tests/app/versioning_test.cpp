#include "app/update/versioning.h"

#include <gtest/gtest.h>

#include "app/support/app_test_support.h"
#include "platform/coding/json_decoder.h"

namespace app {
namespace {

using test::infoJSON;
using test::ScopedTestBundle;

std::optional<Versioning> decodeDocument(const std::string& json) {
  return platform::JSONDecoder().decode<std::optional<Versioning>>(json);
}

Versioning document(std::optional<std::string> name, std::optional<double> release,
                    std::optional<double> build, std::optional<bool> mandatory) {
  Versioning v;
  v.name = std::move(name);
  v.releaseVersion = release;
  v.buildVersion = build;
  v.isMandatory = mandatory;
  return v;
}

}  // namespace

TEST(VersionNumber, AcceptsOnlyOneWholeDecimalNumber) {
  EXPECT_EQ(versionNumber("1.2"), 1.2);
  EXPECT_EQ(versionNumber("12"), 12.0);
  EXPECT_EQ(versionNumber("1e2"), 100.0);
  EXPECT_EQ(versionNumber("+3"), 3.0);
  EXPECT_EQ(versionNumber("-1.5"), -1.5);
  EXPECT_EQ(versionNumber("1.2.3"), std::nullopt);
  EXPECT_EQ(versionNumber("1.0.1"), std::nullopt);
  EXPECT_EQ(versionNumber(" 1.2"), std::nullopt);
  EXPECT_EQ(versionNumber("1.2 "), std::nullopt);
  EXPECT_EQ(versionNumber("1.2b"), std::nullopt);
  EXPECT_EQ(versionNumber(""), std::nullopt);
  EXPECT_EQ(versionNumber("+"), std::nullopt);
  EXPECT_EQ(versionNumber("+-1"), std::nullopt);
  EXPECT_EQ(versionNumber("v1"), std::nullopt);
}

TEST(VersioningDecoding, ReadsTheFourKeysStrictly) {
  auto full = decodeDocument(
      R"({"name":"Tovarine","releaseVersion":1.1,"buildVersion":5,"isMandatory":false,"x":[1]})");
  ASSERT_TRUE(full.has_value());
  EXPECT_EQ(full->name, "Tovarine");
  EXPECT_EQ(full->releaseVersion, 1.1);
  EXPECT_EQ(full->buildVersion, 5.0);
  EXPECT_EQ(full->isMandatory, false);

  auto sparse = decodeDocument(R"({"name":null,"buildVersion":2})");
  ASSERT_TRUE(sparse.has_value());
  EXPECT_EQ(sparse->name, std::nullopt);
  EXPECT_EQ(sparse->releaseVersion, std::nullopt);
  EXPECT_EQ(sparse->buildVersion, 2.0);
  EXPECT_EQ(sparse->isMandatory, std::nullopt);

  EXPECT_EQ(decodeDocument("null"), std::nullopt);
}

TEST(VersioningDecoding, AWrongTypeFailsTheWholeDocument) {
  for (const char* json :
       {R"({"releaseVersion":"1.1"})", R"({"buildVersion":true})", R"({"isMandatory":1})",
        R"({"isMandatory":"true"})", R"({"name":5})", R"([1,2])", R"("text")", "not json"}) {
    EXPECT_THROW(decodeDocument(json), platform::Error) << json;
  }
}

TEST(UpdateDecision, ComparesVersionsForInequality) {
  const auto offer = document("Tovarine", 1.1, 5, false);
  {
    ScopedTestBundle bundle(infoJSON("Tovarine", "1.1", "5"), {});
    EXPECT_EQ(offer.isUpdateAvailable(*bundle.bundle()), false);
    EXPECT_EQ(document("Tovarine", 1.1, 6, true).isUpdateAvailable(*bundle.bundle()), true);
  }
  {
    ScopedTestBundle bundle(infoJSON("Tovarine", "1.0", "5"), {});
    EXPECT_EQ(offer.isUpdateAvailable(*bundle.bundle()), true);
  }
  {
    // A server version below the installed one is offered too.
    ScopedTestBundle bundle(infoJSON("Tovarine", "1.2", "5"), {});
    EXPECT_EQ(offer.isUpdateAvailable(*bundle.bundle()), true);
  }
}

TEST(UpdateDecision, UndeterminedWithoutEveryInput) {
  ScopedTestBundle bundle(infoJSON("Tovarine", "1.0", "5"), {});
  const Bundle& b = *bundle.bundle();
  EXPECT_EQ(document("Tovarine", 1.1, 5, std::nullopt).isUpdateAvailable(b), std::nullopt);
  EXPECT_EQ(document(std::nullopt, 1.1, 5, true).isUpdateAvailable(b), std::nullopt);
  EXPECT_EQ(document("Tovarine", std::nullopt, 5, true).isUpdateAvailable(b), std::nullopt);
  EXPECT_EQ(document("Tovarine", 1.1, std::nullopt, true).isUpdateAvailable(b), std::nullopt);
  // Names are compared exactly.
  EXPECT_EQ(document("tovarine", 1.1, 5, true).isUpdateAvailable(b), std::nullopt);
  EXPECT_EQ(document("Tovarine ", 1.1, 5, true).isUpdateAvailable(b), std::nullopt);
}

TEST(UpdateDecision, UndeterminedForBundlesWithoutUsableValues) {
  const auto offer = document("Tovarine", 2.0, 9, true);
  for (const auto& info :
       {infoJSON("Tovarine", "1.0.1", "5"), infoJSON("Tovarine", "1.0", "5a"),
        infoJSON(std::nullopt, "1.0", "5"), infoJSON("Tovarine", std::nullopt, "5"),
        infoJSON("Tovarine", "1.0", std::nullopt),
        std::string(R"({"CFBundleDisplayName":"Tovarine",)"
                    R"("CFBundleShortVersionString":"1.0","CFBundleVersion":5})"),
        std::string()}) {
    ScopedTestBundle bundle(info, {});
    EXPECT_EQ(offer.isUpdateAvailable(*bundle.bundle()), std::nullopt) << info;
  }
}

TEST(UpdateDecision, NotANumberAlwaysDiffers) {
  ScopedTestBundle bundle(infoJSON("Tovarine", "nan", "5"), {});
  EXPECT_EQ(document("Tovarine", std::nan(""), 5, false).isUpdateAvailable(*bundle.bundle()), true);
}

}  // namespace app
