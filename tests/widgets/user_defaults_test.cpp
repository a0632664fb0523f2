#include "platform/foundation/user_defaults.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/log.h"
#include "support/text_mutation.h"
#include "widgets/support/temp_folder.h"

namespace platform {
namespace {

using widgets_test::readFile;
using widgets_test::ScopedEnvironment;
using widgets_test::TempFolder;
using widgets_test::writeFile;

class UserDefaultsTest : public testing::Test {
 protected:
  std::filesystem::path file() const { return folder_.path() / "tovarine" / "defaults.json"; }
  TempFolder folder_;
};

TEST_F(UserDefaultsTest, ValuesSurviveANewInstanceAsTypedJson) {
  {
    UserDefaults defaults(file());
    defaults.setBool(true, "isFirstInstallation");
    defaults.setInteger(-42, "count");
    defaults.setDouble(2.5, "ratio");
    defaults.setString("héllo", "name");
  }
  auto json = nlohmann::json::parse(readFile(file()));
  EXPECT_TRUE(json["isFirstInstallation"].is_boolean());
  EXPECT_EQ(json["count"], -42);
  EXPECT_TRUE(json["ratio"].is_number_float());
  EXPECT_EQ(json["name"], "héllo");

  UserDefaults again(file());
  EXPECT_TRUE(again.boolForKey("isFirstInstallation"));
  EXPECT_EQ(again.integerForKey("count"), -42);
  EXPECT_DOUBLE_EQ(again.doubleForKey("ratio"), 2.5);
  EXPECT_EQ(again.stringForKey("name"), "héllo");

  again.removeObjectForKey("count");
  EXPECT_FALSE(UserDefaults(file()).objectForKey("count").has_value());
}

TEST_F(UserDefaultsTest, MissingKeysReadAsNeutralValuesUnlessADefaultIsRegistered) {
  UserDefaults defaults(file());
  EXPECT_FALSE(defaults.boolForKey("absent"));
  EXPECT_EQ(defaults.integerForKey("absent"), 0);
  EXPECT_EQ(defaults.doubleForKey("absent"), 0.0);
  EXPECT_FALSE(defaults.stringForKey("absent").has_value());

  defaults.registerDefaults({{"flag", true}, {"limit", std::int64_t{7}}});
  EXPECT_TRUE(defaults.boolForKey("flag"));
  EXPECT_EQ(defaults.integerForKey("limit"), 7);
  // A stored value wins over the default, and defaults are never written out.
  defaults.setBool(false, "flag");
  EXPECT_FALSE(defaults.boolForKey("flag"));
  auto json = nlohmann::json::parse(readFile(file()));
  EXPECT_FALSE(json.contains("limit"));
  defaults.removeObjectForKey("flag");
  EXPECT_TRUE(defaults.boolForKey("flag"));
}

TEST_F(UserDefaultsTest, ReadersConvertBetweenKinds) {
  writeFile(file(), R"({"n": 3, "f": -2.9, "yes": "YES", "num": "12", "big": 1e300})");
  UserDefaults defaults(file());
  EXPECT_TRUE(defaults.boolForKey("n"));
  EXPECT_TRUE(defaults.boolForKey("yes"));
  EXPECT_EQ(defaults.integerForKey("f"), -2);
  EXPECT_EQ(defaults.integerForKey("num"), 12);
  EXPECT_EQ(defaults.integerForKey("big"), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(defaults.stringForKey("n"), "3");
}

TEST_F(UserDefaultsTest, AnUnreadableFileIsKeptAsideNotOverwritten) {
  writeFile(file(), "{ this is not json");
  LogCapture capture;
  UserDefaults defaults(file());
  EXPECT_TRUE(capture.contains("unreadable"));
  EXPECT_FALSE(defaults.boolForKey("anything"));
  defaults.setBool(true, "fresh");
  auto aside = file();
  aside += ".unreadable";
  EXPECT_EQ(readFile(aside), "{ this is not json");
  EXPECT_TRUE(UserDefaults(file()).boolForKey("fresh"));

  writeFile(file(), "");
  LogCapture quiet;
  EXPECT_FALSE(UserDefaults(file()).objectForKey("fresh").has_value());
  EXPECT_FALSE(quiet.contains("unreadable")) << "an empty file holds nothing to keep";

  writeFile(file(), "[1, 2]");
  UserDefaults array(file());
  EXPECT_FALSE(array.objectForKey("fresh").has_value());
}

// A damaged file nested without end must not end the program at every start: it reads as
// unreadable, the registered defaults apply, and the next save keeps it aside.
TEST_F(UserDefaultsTest, ADeeplyNestedFileStartsFromTheDefaults) {
  auto nested = [](int depth) {
    return R"({"k":)" + std::string(depth, '[') + std::string(depth, ']') + R"(, "flag": true})";
  };
  struct Row {
    int depth;
    bool readable;
  };
  for (Row row : {Row{511, true}, Row{512, false}, Row{10'000, false}, Row{100'000, false}}) {
    writeFile(file(), nested(row.depth));
    LogCapture capture;
    UserDefaults defaults(file());
    EXPECT_EQ(defaults.boolForKey("flag"), row.readable) << row.depth;
    EXPECT_EQ(capture.contains("nested deeper than 512 levels"), !row.readable) << row.depth;
    defaults.setBool(false, "other");
    auto aside = file();
    aside += ".unreadable";
    EXPECT_EQ(std::filesystem::exists(aside), !row.readable) << row.depth;
    if (row.readable) {
      // Within the bound the unknown value survives the save.
      auto saved = readFile(file());
      EXPECT_EQ(std::count(saved.begin(), saved.end(), '['), row.depth);
    }
    std::filesystem::remove(aside);
  }
}

TEST_F(UserDefaultsTest, ValuesOfOtherKindsAreKeptThroughASave) {
  writeFile(file(), R"({"list": [1, 2, 3], "nested": {"a": 1}, "flag": false})");
  UserDefaults defaults(file());
  EXPECT_FALSE(defaults.objectForKey("list").has_value());
  defaults.setBool(true, "flag");
  auto json = nlohmann::json::parse(readFile(file()));
  EXPECT_EQ(json["list"], nlohmann::json::parse("[1, 2, 3]"));
  EXPECT_EQ(json["nested"]["a"], 1);
  EXPECT_EQ(json["flag"], true);
}

TEST_F(UserDefaultsTest, ValuesJsonCannotHoldAreRefused) {
  UserDefaults defaults(file());
  LogCapture capture;
  defaults.setDouble(std::numeric_limits<double>::infinity(), "inf");
  defaults.setString(std::string("\xff\xfe", 2), "bytes");
  defaults.setBool(true, std::string("\xc3", 1));
  EXPECT_FALSE(defaults.objectForKey("inf").has_value());
  EXPECT_FALSE(defaults.objectForKey("bytes").has_value());
  EXPECT_FALSE(std::filesystem::exists(file()));
  EXPECT_TRUE(capture.contains("non-finite"));
  EXPECT_TRUE(capture.contains("not UTF-8"));
}

TEST_F(UserDefaultsTest, AFailedSaveIsLoggedAndTheValueKeptForTheProcess) {
  // A file where the folder should be: no process, however privileged, can save there.
  writeFile(folder_.path() / "tovarine", "in the way");
  LogCapture capture;
  UserDefaults defaults(file());
  defaults.setBool(true, "kept");
  EXPECT_TRUE(capture.contains("Cannot save user defaults"));
  EXPECT_TRUE(defaults.boolForKey("kept"));
  EXPECT_EQ(readFile(folder_.path() / "tovarine"), "in the way");
}

TEST_F(UserDefaultsTest, ConcurrentWritersLoseNoKey) {
  UserDefaults defaults(file());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&defaults, t] {
      for (int i = 0; i < 25; ++i) {
        defaults.setInteger(i, "key" + std::to_string(t) + "_" + std::to_string(i));
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  auto json = nlohmann::json::parse(readFile(file()));
  EXPECT_EQ(json.size(), 100u);
  UserDefaults again(file());
  EXPECT_EQ(again.integerForKey("key3_24"), 24);
}

TEST_F(UserDefaultsTest, StandardFileFollowsXdgConfigHomeAndCanBeRedirected) {
  {
    ScopedEnvironment xdg("XDG_CONFIG_HOME", folder_.path().string());
    EXPECT_EQ(UserDefaults::standardFile(), folder_.path() / "tovarine" / "defaults.json");
  }
  {
    ScopedEnvironment xdg("XDG_CONFIG_HOME", std::nullopt);
    ScopedEnvironment home("HOME", "/home/someone");
    EXPECT_EQ(UserDefaults::standardFile(), "/home/someone/.config/tovarine/defaults.json");
  }
  TempFolder redirected;
  writeFile(redirected.path() / "defaults.json", R"({"isAnimatedOffset": true})");
  UserDefaults::setStandardDirectory(redirected.path());
  EXPECT_TRUE(UserDefaults::standard().boolForKey("isAnimatedOffset"));
  UserDefaults::standard().setBool(false, "isAnimatedOffset");
  EXPECT_FALSE(UserDefaults(redirected.path() / "defaults.json").boolForKey("isAnimatedOffset"));
  UserDefaults::setStandardDirectory(std::nullopt);
  EXPECT_EQ(UserDefaults::standard().file(), UserDefaults::standardFile());
}

// Twenty thousand damaged defaults files: every one opens, as its values or as the registered
// defaults, and none ends the process.
TEST_F(UserDefaultsTest, MutatedFilesAlwaysOpen) {
  const std::vector<std::string> seeds = {
      R"({"flag": true, "n": 3, "list": [1, [2, {"a": "b"}]], "s": "caf\u00e9"})",
      R"({"k": [[[[{"x": null}]]]], "f": -2.5e3})",
  };
  for (int round = 0; round < 20'000; ++round) {
    writeFile(file(), testsupport::mutatedText(seeds, "[]{}\":,\\u0", round));
    LogCapture quiet;
    UserDefaults defaults(file());
    defaults.boolForKey("flag");
    std::filesystem::remove(file());
  }
}

}  // namespace
}  // namespace platform
