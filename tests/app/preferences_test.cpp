#include "app/preferences/preferences.h"

#include <gtest/gtest.h>

#include "app/support/app_test_support.h"

namespace app {

using test::ScopedUserDefaults;

TEST(Preferences, AFreshInstallationReadsFalse) {
  ScopedUserDefaults defaults;
  UserDefaultsPreferences preferences;
  EXPECT_EQ(preferences.isNotFirstTime(), false);
  EXPECT_FALSE(platform::UserDefaults::standard().objectForKey("isFirstInstallation"));
}

TEST(Preferences, AWrittenValueIsSharedAndSurvivesARestart) {
  ScopedUserDefaults defaults;
  UserDefaultsPreferences first;
  first.setIsNotFirstTime(true);
  UserDefaultsPreferences second;
  EXPECT_EQ(second.isNotFirstTime(), true);

  // A new process reads the file again.
  platform::UserDefaults::standard().reload();
  EXPECT_EQ(UserDefaultsPreferences().isNotFirstTime(), true);
  platform::UserDefaults other(platform::UserDefaults::standard().file());
  EXPECT_EQ(UserDefaultsPreferences(other).isNotFirstTime(), true);
}

TEST(Preferences, StoredUnderTheFirstInstallationKeyAsABoolean) {
  ScopedUserDefaults defaults;
  UserDefaultsPreferences().setIsNotFirstTime(true);
  auto stored = platform::UserDefaults::standard().objectForKey("isFirstInstallation");
  ASSERT_TRUE(stored.has_value());
  ASSERT_TRUE(std::holds_alternative<bool>(*stored));
  EXPECT_TRUE(std::get<bool>(*stored));
}

TEST(Preferences, AValueOfAnotherTypeReadsAsTheDefault) {
  ScopedUserDefaults defaults;
  platform::UserDefaults::standard().setString("yes", "isFirstInstallation");
  EXPECT_EQ(UserDefaultsPreferences().isNotFirstTime(), false);
}

TEST(Preferences, WritingNothingRemovesTheEntry) {
  ScopedUserDefaults defaults;
  UserDefaultsPreferences preferences;
  preferences.setIsNotFirstTime(true);
  preferences.setIsNotFirstTime(std::nullopt);
  EXPECT_FALSE(platform::UserDefaults::standard().objectForKey("isFirstInstallation"));
  EXPECT_EQ(preferences.isNotFirstTime(), false);
}

}  // namespace app
