#include "app/splash/installer_save_options.h"

#include <gtest/gtest.h>

#include "app/support/app_test_support.h"

namespace app {
namespace {

TEST(InstallerSaveOptions, FollowTheServersFileName) {
  struct Case {
    const char* address;
    const char* name;
    std::vector<std::string> types;
    bool otherTypes;
  };
  const Case cases[] = {
      {"https://u.test/files/Tovarine.deb", "Tovarine", {"deb"}, false},
      {"https://u.test/Tovarine-x86_64.AppImage", "Tovarine-x86_64", {"AppImage"}, false},
      {"https://u.test/tovarine_1.2_amd64.deb?token=a.b#x", "tovarine_1.2_amd64", {"deb"}, false},
      {"https://u.test/wp-content/uploads/tovarine/Tovarine.dmg", "Tovarine", {"dmg"}, false},
      {"https://u.test/download/installer", "installer", {}, true},
      {"https://u.test/download/", "Tovarine", {}, true},
      {"https://u.test/.hidden", ".hidden", {}, true},
      {"https://u.test/trailing.", "trailing.", {}, true},
  };
  for (const Case& c : cases) {
    const auto options = installerSaveOptions(c.address, "/home/u/Downloads");
    EXPECT_EQ(options.nameFieldStringValue, c.name) << c.address;
    EXPECT_EQ(options.allowedFileTypes, c.types) << c.address;
    EXPECT_EQ(options.allowsOtherFileTypes, c.otherTypes) << c.address;
    EXPECT_EQ(options.directory, "/home/u/Downloads") << c.address;
  }
}

TEST(InstallerSaveOptions, OpenInTheDownloadsFolderElseHome) {
  test::TemporaryFolder home;
  home.write("Downloads/.keep", "");
  home.write("Scaricati/.keep", "");
  home.write("elsewhere/dl/.keep", "");
  const auto h = home.path();
  struct Case {
    std::optional<std::string> userDirs;  // none: no user-dirs file
    std::filesystem::path expected;
  };
  const Case cases[] = {
      {std::nullopt, h / "Downloads"},
      {"XDG_DOWNLOAD_DIR=\"$HOME/Scaricati\"\n", h / "Scaricati"},
      {"# comment\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\n  XDG_DOWNLOAD_DIR=\"$HOME/Scaricati\"  \n",
       h / "Scaricati"},
      {"XDG_DOWNLOAD_DIR=\"" + (h / "elsewhere/dl").string() + "\"\n", h / "elsewhere/dl"},
      // The desktop's way of saying "no such folder": the home folder itself.
      {"XDG_DOWNLOAD_DIR=\"$HOME/\"\n", h},
      // A named folder that does not exist falls back to home, not to ~/Downloads.
      {"XDG_DOWNLOAD_DIR=\"$HOME/Missing\"\n", h},
      {"XDG_DOWNLOAD_DIR=\"relative/path\"\n", h / "Downloads"},
  };
  for (const Case& c : cases) {
    test::TemporaryFolder config;
    if (c.userDirs) config.write("user-dirs.dirs", *c.userDirs);
    EXPECT_EQ(downloadsFolder(h, config.path()), c.expected) << c.userDirs.value_or("none");
  }
  test::TemporaryFolder bare;
  test::TemporaryFolder config;
  EXPECT_EQ(downloadsFolder(bare.path(), config.path()), bare.path());
}

}  // namespace
}  // namespace app
