#include "app/shell/desktop_opener.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "app/shell/qt_services.h"
#include "app/support/app_test_support.h"

namespace app {
namespace {

// A program standing in for the desktop's opener: it runs `body` (a shell script's lines).
std::filesystem::path opener(const test::TemporaryFolder& folder, const std::string& name,
                             const std::string& body) {
  const auto path = folder.write(name, "#!/bin/sh\n" + body + "\n");
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  return path;
}

}  // namespace

TEST(DesktopOpener, IsJudgedByWhatTheOpenerDidNotByWhetherItStarted) {
  test::qtApplication();
  test::TemporaryFolder folder;
  const auto marker = folder.path() / "handed";
  struct Row {
    const char* name;
    std::string program;
    double grace;
    bool opened;
  } rows[] = {
      {"the opener took it", opener(folder, "ok", "echo \"$1\" > " + marker.string()), 30, true},
      // What xdg-open does when nothing is registered for the type.
      {"no method available", opener(folder, "none", "echo 'no method available' >&2; exit 3"), 30,
       false},
      {"killed", opener(folder, "killed", "kill -9 $$"), 30, false},
      {"no opener installed", (folder.path() / "missing").string(), 30, false},
      // A handler that keeps the file open in the foreground: handed over once the grace ends.
      {"still running at the grace", opener(folder, "busy", "exec sleep 5"), 0.2, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    QtWorkspace workspace({row.program}, row.grace);
    std::optional<bool> answer;
    int answers = 0;
    workspace.open(folder.path() / "Tovarine.deb", [&](bool opened) {
      answer = opened;
      ++answers;
    });
    EXPECT_FALSE(answer.has_value()) << "answered before the opener ran";
    ASSERT_TRUE(test::runUntil([&] { return answer.has_value(); }, 20));
    EXPECT_EQ(*answer, row.opened);
    EXPECT_EQ(answers, 1);
  }
  // The first row's opener got the file.
  EXPECT_TRUE(std::filesystem::exists(marker));
}

TEST(DesktopOpener, AnAddressThatIsNoAddressIsNotHandedOn) {
  test::qtApplication();
  test::TemporaryFolder folder;
  const auto marker = folder.path() / "ran";
  QtWorkspace workspace({opener(folder, "ok", "touch " + marker.string()).string()}, 30);
  std::optional<bool> answer;
  workspace.openURL("not an address", [&](bool opened) { answer = opened; });
  ASSERT_TRUE(test::runUntil([&] { return answer.has_value(); }, 5));
  EXPECT_FALSE(*answer);
  EXPECT_FALSE(std::filesystem::exists(marker));
}

}  // namespace app
