#include "app/splash/installer_save_options.h"

#include <gtest/gtest.h>

#include <map>

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

TEST(InstallerSaveOptions, AfterAFullFolderThePanelOpensWhereTheInstallerFits) {
  test::TemporaryFolder home;
  home.write("Downloads/.keep", "");
  home.write("Downloads/inner/.keep", "");
  const auto h = home.path();
  struct Row {
    const char* name;
    std::vector<std::filesystem::path> candidates;
    std::filesystem::path full;
    std::map<std::filesystem::path, std::uint64_t> free;
    std::filesystem::path expected;
  } rows[] = {
      {"downloads full: home has room",
       {h / "Downloads", h},
       h / "Downloads",
       {{h / "Downloads", 0}, {h, 500}},
       h},
      {"home full: downloads (another disk) has room",
       {h / "Downloads", h},
       h,
       {{h / "Downloads", 500}, {h, 0}},
       h / "Downloads"},
      {"a folder inside the full one, on another disk",
       {h / "Downloads/inner", h},
       h / "Downloads",
       {{h / "Downloads/inner", 500}, {h, 10}},
       h / "Downloads/inner"},
      {"the full folder itself is not offered again",
       {h / "Downloads", h},
       h / "Downloads",
       {{h / "Downloads", 500}, {h, 10}},
       h},
      {"nowhere has room: home", {h / "Downloads", h}, h / "other", {}, h},
      {"a missing folder is skipped",
       {h / "Missing", h},
       h / "Downloads",
       {{h / "Missing", 500}},
       h},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto free = [&](const std::filesystem::path& path) -> std::optional<std::uint64_t> {
      auto it = row.free.find(path);
      if (it == row.free.end()) return std::nullopt;
      return it->second;
    };
    EXPECT_EQ(folderWithRoom(100, row.candidates, row.full, h, free), row.expected);
  }
}

}  // namespace
}  // namespace app
