// The installed application: `cmake --install` into a temporary prefix lays out the program,
// its resources, the menu entry, the icons and the software centre's metadata; the desktop's
// own checkers accept the entry and the metadata; and the installed program, with no resource
// folder named to it, finds its resources under the prefix, shows its starting screen and
// streams frames to the companion simulator.

#include <gtest/gtest.h>

#include <QImage>
#include <array>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/support/app_test_support.h"
#include "app/support/application_run_fixture.h"
#include "app/support/streaming_e2e_support.h"

namespace app {
namespace {

namespace fs = std::filesystem;
using test::Child;
using test::StartingLook;

const QSize kMainScreen(1920, 1080);
constexpr int kDevicePort = 2345;

struct Outcome {
  int status = -1;
  std::string output;
};

// Runs a command line (its words quoted for the shell) and collects what it printed.
Outcome run(const std::vector<std::string>& words) {
  std::string line;
  for (const auto& word : words) {
    std::string quoted = "'";
    for (char c : word)
      quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    line += quoted + "' ";
  }
  line += "2>&1";
  Outcome outcome;
  FILE* pipe = ::popen(line.c_str(), "r");
  if (!pipe) return outcome;
  std::array<char, 4096> buffer{};
  while (std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe)) {
    outcome.output.append(buffer.data(), n);
  }
  const int status = ::pclose(pipe);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

bool onPath(const std::string& program) {
  return run({"sh", "-c", "command -v " + program}).status == 0;
}

class InstalledApplication : public test::ApplicationRunFixture {
 protected:
  void SetUp() override {
    const Outcome installed =
        run({"cmake", "--install", TOVARINE_BUILD_DIR, "--prefix", prefix_.path().string()});
    ASSERT_EQ(installed.status, 0) << installed.output;
    ApplicationRunFixture::SetUp();
  }

  fs::path program() const override { return prefix_.path() / "bin" / "tovarine"; }
  // Room beside the main screen for the tablet's display.
  Screen screen() const override { return {kMainScreen, test::PrivateXServer::Room::toGrow}; }

  Environment applicationEnvironment() const override {
    Environment environment = ApplicationRunFixture::applicationEnvironment();
    environment.unset.push_back("TOVARINE_DISPLAY_BACKEND");
    return environment;
  }

  test::TemporaryFolder prefix_;
};

}  // namespace

TEST_F(InstalledApplication, LaysOutTheProgramItsResourcesMenuEntryIconsAndMetadata) {
  const fs::path share = prefix_.path() / "share";
  std::vector<fs::path> files = {
      prefix_.path() / "bin" / "tovarine",
      share / "tovarine" / "Info.json",
      share / "tovarine" / "en.lproj" / "Localizable.strings",
      share / "tovarine" / "it.lproj" / "Localizable.strings",
      share / "tovarine" / "en.lproj" / "PrivacyPolicy.html",
      share / "tovarine" / "images" / "Logo.svg",
      share / "applications" / "org.tovarine.Tovarine.desktop",
      share / "metainfo" / "org.tovarine.Tovarine.metainfo.xml",
      share / "icons" / "hicolor" / "scalable" / "apps" / "org.tovarine.Tovarine.svg",
  };
  for (int size : {16, 22, 24, 32, 48, 64, 128, 256, 512}) {
    const std::string folder = std::to_string(size) + "x" + std::to_string(size);
    files.push_back(share / "icons" / "hicolor" / folder / "apps" / "org.tovarine.Tovarine.png");
  }
  for (const auto& file : files) {
    EXPECT_TRUE(fs::is_regular_file(file)) << file;
    if (file.extension() == ".png") {
      const QImage icon(QString::fromStdString(file.string()));
      const int size = std::stoi(file.parent_path().parent_path().filename().string());
      EXPECT_EQ(icon.size(), QSize(size, size)) << file;
    }
  }
  EXPECT_EQ(fs::status(files.front()).permissions() & fs::perms::owner_exec, fs::perms::owner_exec);
  // Nothing of the build tree comes along: the program finds its resources through the prefix.
  EXPECT_FALSE(fs::exists(prefix_.path() / "bin" / "resources"));

  struct Check {
    const char* checker;
    std::vector<std::string> words;
  } checks[] = {
      {"desktop-file-validate",
       {"desktop-file-validate", (share / "applications" / "org.tovarine.Tovarine.desktop")}},
      {"appstreamcli",
       {"appstreamcli", "validate", "--no-net",
        (share / "metainfo" / "org.tovarine.Tovarine.metainfo.xml")}},
  };
  for (const auto& check : checks) {
    if (!onPath(check.checker)) {
      ADD_FAILURE() << check.checker << " is missing (scripts/setup.sh installs it)";
      continue;
    }
    const Outcome outcome = run(check.words);
    EXPECT_EQ(outcome.status, 0) << check.checker << ":\n" << outcome.output;
  }
}

TEST_F(InstalledApplication, RunsFromThePrefixShowsItsStartingScreenAndStreams) {
  if (!fs::exists(test::companionBinary())) GTEST_SKIP() << "no companion simulator";
  // Not the first run: straight to the starting screen.
  home_.write(".config/tovarine/defaults.json", R"({"isFirstInstallation": true})");
  startApplication();
  const auto frame = waitForWindow(kPatience);
  ASSERT_TRUE(frame.has_value()) << "no window appeared";
  frame_ = *frame;
  // The cable picture and the texts come from the resources: without them the screen would
  // show neither.
  QImage window;
  const bool waiting = waitFor([&] {
    window = windowPicture();
    return !window.isNull() &&
           test::startingLook(test::whiteInkBands(window, window.rect())) == StartingLook::noTablet;
  });
  test::saveScreenshot(probe_->screenshot(), "installed-1-no-tablet");
  ASSERT_TRUE(waiting) << test::describeBands(test::whiteInkBands(window, window.rect()));

  test::TemporaryFolder frames;
  Child companion(
      std::vector<std::string>{test::companionBinary().string(), "--port",
                               std::to_string(kDevicePort), "--width", "1024", "--height", "768",
                               "--save", frames.path().string(), "--quiet"},
      std::map<std::string, std::string>{{"ASAN_OPTIONS", "detect_leaks=0"}});
  ASSERT_TRUE(companion.started());
  const bool streamed = waitFor([&] {
    if (!companion.running()) return false;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(frames.path(), error)) {
      if (entry.path().extension() == ".jpg") return true;
    }
    return false;
  });
  test::saveScreenshot(probe_->screenshot(), "installed-2-streaming");
  EXPECT_TRUE(streamed) << (companion.running() ? "no frame reached the simulator"
                                                : "the simulator ended: is 127.0.0.1:2345 taken?");
  EXPECT_TRUE(app_->running());
}

}  // namespace app
