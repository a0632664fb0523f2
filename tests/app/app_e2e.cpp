#include <gtest/gtest.h>

#include <QImage>
#include <chrono>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "app/support/app_test_support.h"
#include "app/support/application_run_fixture.h"

namespace app {
namespace {

class ApplicationRun : public test::ApplicationRunFixture {
 protected:
  // Polls the screen until `predicate` holds for a screenshot; answers the last one.
  QImage waitForScreen(const std::function<bool(const QImage&)>& predicate,
                       const std::string& name) {
    QImage shot;
    waitFor(
        [&] {
          shot = probe_->screenshot();
          return !shot.isNull() && predicate(shot);
        },
        std::chrono::seconds(60));
    test::saveScreenshot(shot, name);
    return shot;
  }
};

constexpr QRgb kAccent = 0x5B68DF;

}  // namespace

TEST_F(ApplicationRun, AFirstRunChecksForUpdatesAndMovesOnToTheTour) {
  startApplication();
  const auto frame = waitForWindow();
  ASSERT_TRUE(frame.has_value()) << "no window appeared";
  EXPECT_EQ(frame->size(), QSize(1280, 900));
  const QImage shot =
      waitForScreen([](const QImage& image) { return test::hasRunOfColor(image, kAccent, 100); },
                    "e2e-first-run");
  EXPECT_TRUE(test::hasRunOfColor(shot, kAccent, 100)) << "the tour's Continue button is missing";
  EXPECT_EQ(checks_.load(), 1);
  EXPECT_TRUE(app_->running());
  // The tour is showing, not finished: the first run must not be recorded as over yet, or the
  // next start would skip the tour.
  std::ifstream in(home_.path() / ".config/tovarine/defaults.json");
  const std::string saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto defaults = nlohmann::json::parse(saved.empty() ? "{}" : saved, nullptr, false);
  ASSERT_FALSE(defaults.is_discarded()) << saved;
  EXPECT_NE(defaults.value("isFirstInstallation", false), true) << saved;
}

TEST_F(ApplicationRun, ALaterRunGoesStraightToTheStartingScreen) {
  home_.write(".config/tovarine/defaults.json", R"({"isFirstInstallation": true})");
  startApplication();
  const auto frame = waitForWindow();
  ASSERT_TRUE(frame.has_value()) << "no window appeared";
  EXPECT_EQ(frame->size(), QSize(1280, 900));
  // The starting screen's backdrop is a dark blue, where the splash is black.
  auto isStartingScreen = [](const QImage& image) {
    const QRgb corner = image.pixel(image.width() / 2 - 600, image.height() / 2 - 420);
    return qBlue(corner) > 40 && qBlue(corner) > qRed(corner);
  };
  const QImage shot = waitForScreen(isStartingScreen, "e2e-later-run");
  EXPECT_TRUE(isStartingScreen(shot));
  EXPECT_FALSE(test::hasRunOfColor(shot, kAccent, 100));  // no permission prompt on X
  EXPECT_EQ(checks_.load(), 1);
}

}  // namespace app
