#include "platform/time/locale.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace platform {
namespace {

// Sets environment variables for one test and puts the old values back.
class Environment {
 public:
  void set(const char* name, const char* value) {
    const char* old = std::getenv(name);
    saved_.push_back({name, old ? std::optional<std::string>(old) : std::nullopt});
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~Environment() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second) {
        setenv(it->first.c_str(), it->second->c_str(), 1);
      } else {
        unsetenv(it->first.c_str());
      }
    }
    Locale::resetCurrent();
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(Locale, KeepsTheIdentifierAsGiven) {
  EXPECT_EQ(Locale("en-US").identifier(), "en-US");
  EXPECT_EQ(Locale("zh_Hans_CN").identifier(), "zh_Hans_CN");
  EXPECT_EQ(Locale("en_US_POSIX"), Locale("en_US_POSIX"));
  EXPECT_FALSE(Locale("en_US") == Locale("en-US"));
  EXPECT_EQ(Locale("ja_JP@calendar=japanese").calendarKeyword(), "japanese");
  EXPECT_EQ(Locale("ja_JP").calendarKeyword(), "");
}

TEST(Locale, ReadsTheCurrentLocaleFromTheEnvironment) {
  Environment env;
  env.set("LC_ALL", nullptr);
  env.set("LC_TIME", nullptr);
  env.set("LANG", "de_DE.UTF-8");
  EXPECT_EQ(Locale::identifierFromEnvironment(), "de_DE");
  env.set("LC_TIME", "fr_CA.UTF-8@euro");
  EXPECT_EQ(Locale::identifierFromEnvironment(), "fr_CA");
  env.set("LC_ALL", "C");
  EXPECT_EQ(Locale::identifierFromEnvironment(), "en_US_POSIX");
  env.set("LC_ALL", "POSIX");
  EXPECT_EQ(Locale::identifierFromEnvironment(), "en_US_POSIX");
  env.set("LC_ALL", nullptr);
  env.set("LC_TIME", nullptr);
  env.set("LANG", nullptr);
  EXPECT_EQ(Locale::identifierFromEnvironment(), "en_US_POSIX");

  env.set("LANG", "sv_SE.UTF-8");
  Locale::resetCurrent();
  EXPECT_EQ(Locale::current().identifier(), "sv_SE");
}

TEST(Locale, CurrentFollowsTheOverrideAndAutoupdatingFollowsCurrent) {
  auto autoupdating = Locale::autoupdatingCurrent();
  Locale::setCurrent(Locale("it_IT"));
  auto snapshot = Locale::current();
  EXPECT_EQ(autoupdating.identifier(), "it_IT");
  Locale::setCurrent(Locale("pt_BR"));
  EXPECT_EQ(snapshot.identifier(), "it_IT");
  EXPECT_EQ(autoupdating.identifier(), "pt_BR");
  Locale::setCurrent(std::nullopt);
  EXPECT_TRUE(autoupdating.isAutoupdating());
  EXPECT_EQ(autoupdating, Locale::autoupdatingCurrent());
  EXPECT_FALSE(autoupdating == Locale(autoupdating.identifier()));
}

}  // namespace
}  // namespace platform
