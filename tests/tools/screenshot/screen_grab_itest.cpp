#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QImage>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/display/support/x_test_server.h"
#include "screenshot/screen_grab.h"

extern char** environ;

namespace screenshot {
namespace {

namespace fs = std::filesystem;
using testing_display::kBaseHeight;
using testing_display::kBaseWidth;
using testing_display::TestXServer;

constexpr std::uint32_t kRed = 0xE03010;
constexpr std::uint32_t kTeal = 0x10A0B0;

class ScreenGrab : public testing::Test {
 protected:
  void SetUp() override {
    if (!TestXServer::available()) GTEST_SKIP() << "no Xvfb";
    server_.start();
    // A known picture: black, a red block at the origin and a teal one in the far corner.
    server_.fillRoot(0, 0, kBaseWidth, kBaseHeight, 0x000000);
    server_.fillRoot(0, 0, 40, 30, kRed);
    server_.fillRoot(kBaseWidth - 50, kBaseHeight - 20, 50, 20, kTeal);
  }

  void expectKnownPicture(const QImage& image) {
    ASSERT_EQ(image.size(), QSize(kBaseWidth, kBaseHeight));
    EXPECT_EQ(image.pixel(0, 0) & 0xFFFFFF, kRed);
    EXPECT_EQ(image.pixel(39, 29) & 0xFFFFFF, kRed);
    EXPECT_EQ(image.pixel(40, 29) & 0xFFFFFF, 0u);
    EXPECT_EQ(image.pixel(39, 30) & 0xFFFFFF, 0u);
    EXPECT_EQ(image.pixel(kBaseWidth - 50, kBaseHeight - 20) & 0xFFFFFF, kTeal);
    EXPECT_EQ(image.pixel(kBaseWidth - 1, kBaseHeight - 1) & 0xFFFFFF, kTeal);
    EXPECT_EQ(image.pixel(kBaseWidth - 51, kBaseHeight - 1) & 0xFFFFFF, 0u);
    EXPECT_EQ(image.pixel(kBaseWidth / 2, kBaseHeight / 2) & 0xFFFFFF, 0u);
  }

  TestXServer server_;
};

// The server starts far larger than its screen is now: only today's screen is taken, in its
// own colours, in every strip down to the last row.
TEST_F(ScreenGrab, TakesTheScreenAtItsPresentSizeWithItsColours) {
  auto image = grabScreen(server_.displayName());
  ASSERT_TRUE(image) << image.error();
  expectKnownPicture(*image);
}

TEST_F(ScreenGrab, AnEnlargedScreenIsTakenWhole) {
  platform::x11::Connection::ScreenSize size;
  size.width = 2 * kBaseWidth;
  size.height = 5000 / 2;
  size.widthInMillimeters = size.width * 254 / 960;
  size.heightInMillimeters = size.height * 254 / 960;
  ASSERT_TRUE(server_.x().setScreenSize(size));
  // Resizing clears the screen.
  server_.fillRoot(0, 0, 40, 30, kRed);
  server_.fillRoot(static_cast<std::int16_t>(2 * kBaseWidth - 1), 2499, 1, 1, kTeal);
  auto image = grabScreen(server_.displayName());
  ASSERT_TRUE(image) << image.error();
  ASSERT_EQ(image->size(), QSize(2 * kBaseWidth, 2500));
  EXPECT_EQ(image->pixel(2 * kBaseWidth - 1, 2499) & 0xFFFFFF, kTeal);
  EXPECT_EQ(image->pixel(0, 0) & 0xFFFFFF, kRed);
}

TEST_F(ScreenGrab, TheCommandWritesAPNGAndReportsFailures) {
  const fs::path self = fs::read_symlink("/proc/self/exe");
  const fs::path program =
      self.parent_path().parent_path() / "tools/screenshot/tovarine-screenshot";
  if (!fs::exists(program)) GTEST_SKIP() << "the command is not built: " << program;
  const fs::path folder =
      fs::temp_directory_path() / ("screenshot-itest-" + std::to_string(getpid()));
  fs::create_directories(folder);
  auto run = [&](std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), program.string());
    std::vector<char*> argv;
    for (auto& a : arguments)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };

  const fs::path out = folder / "screen.png";
  EXPECT_EQ(run({"--display", server_.displayName(), "--out", out.string()}), 0);
  QImage written(QString::fromStdString(out.string()), "PNG");
  expectKnownPicture(written);

  // No server there, a folder that does not exist, and no output named.
  EXPECT_EQ(run({"--display", ":65000", "--out", (folder / "none.png").string()}), 1);
  EXPECT_FALSE(fs::exists(folder / "none.png"));
  EXPECT_EQ(run({"--display", server_.displayName(), "--out", (folder / "no/such.png").string()}),
            1);
  EXPECT_EQ(run({"--display", server_.displayName()}), 2);
  fs::remove_all(folder);
}

TEST(ScreenGrabFailure, AnAbsentServerOrEmptyNameIsAnError) {
  auto absent = grabScreen(":65001");
  ASSERT_FALSE(absent);
  EXPECT_NE(absent.error().find(":65001"), std::string::npos) << absent.error();
  EXPECT_FALSE(grabScreen(""));
}

}  // namespace
}  // namespace screenshot
