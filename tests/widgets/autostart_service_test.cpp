#include "widgets/login-item/autostart_service.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/foundation/log.h"
#include "widgets/login-item/desktop_entry.h"
#include "widgets/login-item/login_item.h"
#include "widgets/support/temp_folder.h"

namespace widgets {
namespace {

namespace fs = std::filesystem;
using Status = LoginItemService::Status;
using widgets_test::readFile;
using widgets_test::ScopedEnvironment;
using widgets_test::TempFolder;
using widgets_test::writeFile;

fs::path makeProgram(const fs::path& path) {
  writeFile(path, "#!/bin/sh\n");
  ::chmod(path.c_str(), 0755);
  return path;
}

// The Exec line of an entry file, read back the way a desktop reads it.
std::vector<std::string> execArguments(const fs::path& entry) {
  auto keys = desktop_entry::parseMainGroup(readFile(entry));
  if (!keys || !keys->contains("Exec")) return {};
  return desktop_entry::splitExecLine(desktop_entry::unescapeStringValue(keys->at("Exec")));
}

class AutostartTest : public testing::Test {
 protected:
  fs::path entry() const { return folder_.path() / "config" / "autostart" / "tovarine.desktop"; }
  AutostartService serviceFor(const fs::path& program) const {
    return AutostartService(entry(), program);
  }
  TempFolder folder_;
  ScopedEnvironment xdg_{"XDG_CONFIG_HOME", (folder_.path() / "config").string()};
};

TEST_F(AutostartTest, TheEntryLivesInTheAutostartFolderOfTheConfigHome) {
  EXPECT_EQ(AutostartService::autostartEntryFile(), entry());
  ScopedEnvironment unset("XDG_CONFIG_HOME", std::nullopt);
  ScopedEnvironment home("HOME", "/home/someone");
  EXPECT_EQ(AutostartService::autostartEntryFile(),
            "/home/someone/.config/autostart/tovarine.desktop");
}

TEST_F(AutostartTest, RegisteringWritesAnEntryThatStartsThisProgramWithTheMarker) {
  auto service = AutostartService::forCurrentProcess();
  ASSERT_TRUE(service.executable().is_absolute());
  EXPECT_EQ(service.status(), Status::notRegistered);
  ASSERT_TRUE(service.registerService().has_value());

  auto keys = desktop_entry::parseMainGroup(readFile(entry()));
  ASSERT_TRUE(keys.has_value());
  EXPECT_EQ(keys->at("Type"), "Application");
  EXPECT_EQ(keys->at("Name"), "Tovarine");
  EXPECT_EQ(execArguments(entry()),
            (std::vector<std::string>{"env", "TOVARINE_LAUNCHED_AS_LOGIN_ITEM=1",
                                      service.executable().string()}));
  struct stat info {};
  ASSERT_EQ(::stat(entry().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
  EXPECT_EQ(service.status(), Status::enabled);
  // Nothing but the entry is left in the folder.
  EXPECT_EQ(std::distance(fs::directory_iterator(entry().parent_path()), fs::directory_iterator()),
            1);
}

TEST_F(AutostartTest, AwkwardPathsSurviveTheRoundTrip) {
  fs::path folder = folder_.path() / "my apps $HOME \"quoted\" `tick` 50% \\ back";
  fs::create_directories(folder);
  auto program = makeProgram(folder / "tovarine's\tbuild");
  auto service = serviceFor(program);
  ASSERT_TRUE(service.registerService().has_value());
  auto arguments = execArguments(entry());
  ASSERT_EQ(arguments.size(), 3u);
  EXPECT_EQ(arguments[2], program.string());
  EXPECT_EQ(service.status(), Status::enabled);
}

TEST_F(AutostartTest, AnInstalledProgramIsNamedAsOnPathWithTheMenuEntrysIcon) {
  const fs::path bin = folder_.path() / "usr" / "bin";
  const fs::path other = folder_.path() / "other";
  const fs::path build = folder_.path() / "build";
  fs::create_directories(bin);
  fs::create_directories(other);
  fs::create_directories(build);
  const auto installed = makeProgram(bin / "tovarine");
  makeProgram(other / "tovarine");
  const auto built = makeProgram(build / "tovarine");
  fs::create_symlink(installed, build / "linked");
  struct Row {
    const char* name;
    std::string path;  // the PATH variable
    fs::path running;  // the running program
    std::string expected;
  } rows[] = {
      {"installed, on PATH", "/nonexistent:" + bin.string(), installed, "tovarine"},
      {"reached through a link", bin.string(), build / "linked", "tovarine"},
      {"another tovarine first on PATH", other.string() + ":" + bin.string(), installed,
       installed.string()},
      {"a build tree's", bin.string(), built, built.string()},
      {"nothing on PATH", other.string() + "x", installed, installed.string()},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ScopedEnvironment path("PATH", row.path);
    // An entry left by an older version, naming a build folder that is gone.
    writeFile(entry(), "[Desktop Entry]\nType=Application\nExec=/gone/tovarine\nHidden=true\n");
    auto service = serviceFor(row.running);
    ASSERT_TRUE(service.unregisterService().has_value());
    ASSERT_TRUE(service.registerService().has_value());
    auto keys = desktop_entry::parseMainGroup(readFile(entry()));
    ASSERT_TRUE(keys.has_value());
    EXPECT_EQ(execArguments(entry()),
              (std::vector<std::string>{"env", "TOVARINE_LAUNCHED_AS_LOGIN_ITEM=1", row.expected}));
    EXPECT_EQ(keys->at("Icon"), "org.tovarine.Tovarine");
    EXPECT_EQ(keys->at("Name"), "Tovarine");
    EXPECT_EQ(service.status(), Status::enabled);
  }
}

TEST_F(AutostartTest, QuotingFollowsTheDesktopEntryRules) {
  EXPECT_EQ(desktop_entry::quoteExecArgument("/opt/a b"), "\"/opt/a b\"");
  EXPECT_EQ(desktop_entry::quoteExecArgument("a\"b`c$d"), "\"a\\\"b\\`c\\$d\"");
  EXPECT_EQ(desktop_entry::quoteExecArgument("100%"), "\"100%%\"");
  // A literal backslash takes four in the file: one escape for quoting, then one per
  // backslash for the string value.
  auto quoted = desktop_entry::quoteExecArgument("a\\b");
  ASSERT_TRUE(quoted.has_value());
  EXPECT_EQ(desktop_entry::escapeStringValue(*quoted), "\"a\\\\\\\\b\"");
  EXPECT_FALSE(desktop_entry::quoteExecArgument(std::string("a\x01", 2)).has_value());
  EXPECT_FALSE(desktop_entry::quoteExecArgument("\xff").has_value());
  EXPECT_EQ(desktop_entry::splitExecLine("prog %U --x \"%%f\" a%%b"),
            (std::vector<std::string>{"prog", "--x", "%f", "a%b"}));
}

TEST_F(AutostartTest, APathNoEntryCanHoldIsRefusedWithoutWritingAnything) {
  auto service = serviceFor(folder_.path() / std::string("bad\x1b"
                                                         "name",
                                                         8));
  auto result = service.registerService();
  ASSERT_FALSE(result.has_value());
  EXPECT_NE(result.error()->localizedDescription().find("cannot be written"), std::string::npos);
  EXPECT_FALSE(fs::exists(entry()));
  EXPECT_FALSE(serviceFor("").registerService().has_value());
}

TEST_F(AutostartTest, StatusFollowsTheEntryAsTheDesktopLeftIt) {
  auto program = makeProgram(folder_.path() / "tovarine");
  auto service = serviceFor(program);
  ASSERT_TRUE(service.registerService().has_value());
  std::string written = readFile(entry());

  writeFile(entry(), written + "Hidden=true\n");
  EXPECT_EQ(service.status(), Status::requiresApproval);

  std::string off = written;
  off.replace(off.find("X-GNOME-Autostart-enabled=true"), 30, "X-GNOME-Autostart-enabled=false");
  writeFile(entry(), off);
  EXPECT_EQ(service.status(), Status::requiresApproval);

  // Keys of other groups do not count.
  writeFile(entry(), written + "[Desktop Action other]\nHidden=true\n");
  EXPECT_EQ(service.status(), Status::enabled);

  fs::remove(program);
  writeFile(entry(), written);
  EXPECT_EQ(service.status(), Status::notFound);

  writeFile(entry(), "[Desktop Entry]\nType=Application\nExec=sh -c true\n");
  EXPECT_EQ(service.status(), Status::enabled);
  writeFile(entry(), "[Desktop Entry]\nType=Application\nExec=no-such-program-here\n");
  EXPECT_EQ(service.status(), Status::notFound);
  writeFile(entry(), "garbage without groups\n");
  EXPECT_EQ(service.status(), Status::notFound);
}

TEST_F(AutostartTest, UnregisteringRemovesTheEntryAndIsHarmlessWithoutOne) {
  auto service = serviceFor(makeProgram(folder_.path() / "tovarine"));
  ASSERT_TRUE(service.registerService().has_value());
  ASSERT_TRUE(service.unregisterService().has_value());
  EXPECT_FALSE(fs::exists(entry()));
  EXPECT_EQ(service.status(), Status::notRegistered);
  EXPECT_TRUE(service.unregisterService().has_value());
}

TEST_F(AutostartTest, RegisteringOverADisabledEntryEnablesItAgain) {
  auto service = serviceFor(makeProgram(folder_.path() / "tovarine"));
  writeFile(entry(), "[Desktop Entry]\nType=Application\nExec=/old/place\nHidden=true\n");
  ASSERT_TRUE(service.registerService().has_value());
  EXPECT_EQ(service.status(), Status::enabled);
}

TEST_F(AutostartTest, TheLoginItemDrivesTheRealEntry) {
  LoginItem::setEnabled(true);
  EXPECT_TRUE(fs::exists(entry()));
  EXPECT_TRUE(LoginItem::isEnabled());
  LoginItem::setEnabled(true);
  EXPECT_TRUE(LoginItem::isEnabled());
  LoginItem::setEnabled(false);
  EXPECT_FALSE(fs::exists(entry()));
  EXPECT_FALSE(LoginItem::isEnabled());
}

TEST_F(AutostartTest, AnUnwritableAutostartFolderIsLoggedAsAFailureToEnable) {
  // A file where the folder should be: no process, however privileged, can write there.
  writeFile(entry().parent_path(), "in the way");
  platform::LogCapture capture;
  LoginItem::setEnabled(true);
  EXPECT_TRUE(capture.contains("Failed to enable launch at login: The folder "));
  EXPECT_FALSE(LoginItem::isEnabled());
}

TEST_F(AutostartTest, AFailedReplaceLeavesNoTemporaryFileBehind) {
  auto service = serviceFor(makeProgram(folder_.path() / "tovarine"));
  fs::create_directories(entry() / "occupied");
  auto result = service.registerService();
  ASSERT_FALSE(result.has_value());
  EXPECT_NE(result.error()->localizedDescription().find("could not be saved"), std::string::npos);
  EXPECT_EQ(std::distance(fs::directory_iterator(entry().parent_path()), fs::directory_iterator()),
            1);
  EXPECT_EQ(service.status(), Status::notFound);
}

}  // namespace
}  // namespace widgets
