#include <gtest/gtest.h>

#include <QImage>
#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <string>

#include "app/support/app_test_support.h"
#include "app/support/application_run_fixture.h"
#include "app/support/synthetic_input.h"

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
constexpr QRgb kDisabledGrey = 0x8E8E93;

// The smallest rectangle holding every pixel of exactly `color` (empty when there is none).
QRect boundsOf(const QImage& image, QRgb color) {
  QRect bounds;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if ((image.pixel(x, y) & 0xFFFFFF) == (color & 0xFFFFFF)) bounds |= QRect(x, y, 1, 1);
    }
  }
  return bounds;
}

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
  std::ifstream in(home_.path() / ".config/tovarine/defaults.json");
  const std::string saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(saved.find("isFirstInstallation"), std::string::npos) << saved;
}

// The screens as a user sees them on the common laptop and desktop screens: the splash while
// the check is under way, the first page of the tour, and the starting screen of a later run,
// each inside a window of the size the screen gives and with the application's colours.
class ApplicationOnScreen : public ApplicationRun, public testing::WithParamInterface<QSize> {
 protected:
  Screen screen() const override { return {GetParam(), test::PrivateXServer::Room::none}; }
  std::string tag() const {
    return std::to_string(GetParam().width()) + "x" + std::to_string(GetParam().height());
  }
};

TEST_P(ApplicationOnScreen, ShowsEachScreenWhole) {
  const QSize screenSize = GetParam();
  const QSize windowSize(static_cast<int>(std::lround(screenSize.width() / 1.5)),
                         static_cast<int>(std::lround(screenSize.height() / 1.2)));
  holdUpdateChecks();
  startApplication();
  const auto frame = waitForWindow();
  ASSERT_TRUE(frame.has_value()) << "no window appeared";
  EXPECT_EQ(frame->size(), windowSize);
  frame_ = *frame;
  // The splash: the logo's violet tile in the middle of a black window.
  auto isSplash = [&](const QImage& image) {
    const QImage window = image.copy(frame_);
    return QColor(window.pixel(4, 4)) == QColor(Qt::black) &&
           test::countPixels(window, 0x5B68DF, 60, window.rect()) > 200;
  };
  EXPECT_TRUE(isSplash(waitForScreen(isSplash, "e2e-splash-" + tag())));
  answerUpdateChecks();
  // The tour's welcome page: its Continue capsule whole inside the window, clear of the
  // bottom and right edges.
  auto showsContinue = [&](const QImage& image) {
    return test::hasRunOfColor(image.copy(frame_), kAccent, 100);
  };
  const QImage welcome = waitForScreen(showsContinue, "e2e-welcome-" + tag()).copy(frame_);
  ASSERT_TRUE(showsContinue(welcome));
  const QRect bottomBand(0, welcome.height() - 8, welcome.width(), 8);
  const QRect rightBand(welcome.width() - 8, 0, 8, welcome.height());
  EXPECT_EQ(test::countPixels(welcome, kAccent, 2, bottomBand), 0);
  EXPECT_EQ(test::countPixels(welcome, kAccent, 2, rightBand), 0);

  // On to the terms page, the fullest of the tour: its boxes and texts stay above the row of
  // Back and Continue (grey until both boxes are ticked).
  const QRect continueOn = boundsOf(welcome, kAccent);
  ASSERT_FALSE(continueOn.isEmpty());
  test::SyntheticPointer pointer(x_->display());
  ASSERT_TRUE(pointer.usable());
  ASSERT_TRUE(pointer.click(frame_.topLeft() + continueOn.center()));
  auto showsGreyContinue = [&](const QImage& image) {
    return !boundsOf(image.copy(frame_), kDisabledGrey).isEmpty();
  };
  const QImage terms = waitForScreen(showsGreyContinue, "e2e-terms-" + tag()).copy(frame_);
  const QRect grey = boundsOf(terms, kDisabledGrey);
  ASSERT_FALSE(grey.isEmpty());
  const QRect band(0, grey.top(), terms.width(), terms.height() - grey.top());
  int whiteOutsideContinue = 0;
  for (int y = band.top(); y <= band.bottom(); ++y) {
    for (int x = band.left(); x <= band.right(); ++x) {
      const QRgb p = terms.pixel(x, y);
      whiteOutsideContinue += !grey.contains(x, y) && qRed(p) > 235 && qGreen(p) > 235;
    }
  }
  EXPECT_EQ(whiteOutsideContinue, 0) << "the terms page's content runs into its buttons";
}

TEST_P(ApplicationOnScreen, ALaterRunShowsTheWholeStartingScreen) {
  home_.write(".config/tovarine/defaults.json", R"({"isFirstInstallation": true})");
  startApplication();
  const auto frame = waitForWindow();
  ASSERT_TRUE(frame.has_value()) << "no window appeared";
  frame_ = *frame;
  // The starting screen: its dark blue backdrop, and white text clear of the window's edges.
  auto isStartingScreen = [&](const QImage& image) {
    const QImage window = image.copy(frame_);
    const QRgb corner = window.pixel(4, 4);
    return qBlue(corner) > 40 && qBlue(corner) > qRed(corner) &&
           test::countPixels(window, qRgb(255, 255, 255), 10, window.rect()) > 500;
  };
  const QImage shot = waitForScreen(isStartingScreen, "e2e-starting-" + tag()).copy(frame_);
  ASSERT_TRUE(isStartingScreen(shot));
  EXPECT_EQ(test::countPixels(shot, qRgb(255, 255, 255), 10, QRect(0, 0, shot.width(), 8)), 0);
  EXPECT_EQ(test::countPixels(shot, qRgb(255, 255, 255), 10,
                              QRect(0, shot.height() - 8, shot.width(), 8)),
            0);
}

// A server that offers a newer optional version: the update alert opens over the splash.
class ApplicationOfferingAnUpdate : public ApplicationOnScreen {
 protected:
  static constexpr const char* kAlertTitle = "A new version is ready";

  void SetUp() override {
    server_.Get("/offer/wp-content/uploads/tovarine/TovarineVersioning.json",
                [](const httplib::Request&, httplib::Response& response) {
                  response.set_content(
                      R"({"name":"Tovarine","releaseVersion":9.0,"buildVersion":9,)"
                      R"("isMandatory":false})",
                      "application/json");
                });
    ApplicationOnScreen::SetUp();
  }
  Environment applicationEnvironment() const override {
    Environment environment = ApplicationOnScreen::applicationEnvironment();
    environment.set["TOVARINE_UPDATE_URL"] = "http://127.0.0.1:" + std::to_string(port_) + "/offer";
    return environment;
  }
};

TEST_P(ApplicationOfferingAnUpdate, ShowsADarkAlertOverTheSplash) {
  startApplication();
  ASSERT_TRUE(waitForWindow().has_value()) << "no window appeared";
  std::optional<QRect> alert;
  ASSERT_TRUE(waitFor([&] { return (alert = probe_->windowFrame(kAlertTitle)).has_value(); }))
      << "no update alert appeared";
  ASSERT_TRUE(QRect(QPoint(0, 0), GetParam()).contains(*alert));
  // Mostly the dark surface, not a light grey box.
  const QRgb surface = qRgb(0x1c, 0x1c, 0x1e);
  auto isDark = [&](const QImage& image) {
    const QImage box = image.copy(*alert);
    return test::countPixels(box, surface, 2, box.rect()) > box.width() * box.height() / 2;
  };
  const QImage shot = waitForScreen(isDark, "e2e-update-alert-" + tag());
  EXPECT_TRUE(isDark(shot));
  const QImage box = shot.copy(*alert);
  for (const QPoint corner : {QPoint(2, 2), QPoint(box.width() - 3, box.height() - 3)}) {
    EXPECT_EQ(box.pixel(corner) & 0xFFFFFF, surface & 0xFFFFFF);
  }
  EXPECT_GE(alert->width(), 480) << "the message would wrap onto many lines";
}

INSTANTIATE_TEST_SUITE_P(CommonScreens, ApplicationOfferingAnUpdate,
                         testing::Values(QSize(1280, 720), QSize(1920, 1080)),
                         [](const testing::TestParamInfo<QSize>& info) {
                           return std::to_string(info.param.width()) + "x" +
                                  std::to_string(info.param.height());
                         });

INSTANTIATE_TEST_SUITE_P(CommonScreens, ApplicationOnScreen,
                         testing::Values(QSize(1280, 720), QSize(1920, 1080)),
                         [](const testing::TestParamInfo<QSize>& info) {
                           return std::to_string(info.param.width()) + "x" +
                                  std::to_string(info.param.height());
                         });

}  // namespace app
