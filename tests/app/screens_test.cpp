#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>

#include "app/alert/alert_creator.h"
#include "app/shell/orvandel_app.h"
#include "app/splash/splash_screen.h"
#include "app/starting/starting_screen_view.h"
#include "app/style/qt_style.h"
#include "app/support/app_test_support.h"
#include "platform/foundation/process_info.h"
#include "widgets/activity-indicators/busy_indicator_view_widget.h"

namespace app {
namespace {

using streaming::DeviceStatus;
using test::FakeCoordinator;
using test::FakePermission;
using test::FakeServices;
using test::FakeUpdator;

constexpr QRgb kAccent = 0x5B68DF;

// Freezes the clock the busy figures read, so every frame is drawn at its start.
class FrozenUptime {
 public:
  FrozenUptime() {
    platform::setUptimeSource([] { return 1000.0; });
  }
  ~FrozenUptime() { platform::setUptimeSource(nullptr); }
};

class Screens : public testing::Test {
 protected:
  Screens() { test::qtApplication(); }

  QImage shot(QWidget& widget, const std::string& name) {
    QImage image = test::render(widget);
    test::saveScreenshot(image, name);
    return image;
  }

  // The pixels of a busy indicator: white dots on the ring, nothing in its middle.
  void expectDotsOnTheRing(QWidget& root, const QImage& image) {
    auto* indicator = root.findChild<widgets::BusyIndicatorView*>("busyIndicator");
    ASSERT_NE(indicator, nullptr);
    ASSERT_TRUE(indicator->isVisible());
    const QRect box(indicator->mapTo(&root, QPoint(0, 0)), indicator->size());
    const QPoint centre = box.center();
    // The dot on the right of the ring sits one radius less half a dot from the centre.
    const QPoint rightDot(box.right() - box.width() / 10, centre.y());
    EXPECT_GT(test::countPixels(image, qRgb(255, 255, 255), 30,
                                QRect(rightDot - QPoint(3, 3), QSize(7, 7))),
              30);
    EXPECT_EQ(test::countPixels(image, qRgb(255, 255, 255), 30,
                                QRect(centre - QPoint(5, 5), QSize(11, 11))),
              0);
  }

  test::ScopedBuildBundle bundle_;
  test::ScopedUserDefaults defaults_;
  FrozenUptime uptime_;
  FakeServices fakes_;
  std::shared_ptr<FakeUpdator> updator_ = std::make_shared<FakeUpdator>();
};

ScreenFactory markerScreens() {
  ScreenFactory screens;
  screens.makeTutorial = [](QWidget* parent) {
    auto* w = new QWidget(parent);
    w->setObjectName("tutorial");
    return w;
  };
  screens.makeStartingScreen = [](QWidget* parent) {
    auto* w = new QWidget(parent);
    w->setObjectName("starting");
    return w;
  };
  return screens;
}

}  // namespace

TEST_F(Screens, SplashWhileChecking) {
  SplashScreen splash([&] { return SplashScreenViewModel::make(updator_, fakes_.services()); },
                      std::make_shared<UserDefaultsPreferences>(), markerScreens());
  splash.resize(800, 600);
  splash.show();
  const QImage image = shot(splash, "splash-checking");
  EXPECT_EQ(QColor(image.pixel(5, 5)), QColor(Qt::black));
  auto* title = splash.findChild<QLabel*>("title");
  ASSERT_NE(title, nullptr);
  EXPECT_EQ(title->text(), "Tovarine");
  EXPECT_FALSE(splash.progressPart()->isVisible());
  expectDotsOnTheRing(splash, image);
}

TEST_F(Screens, SplashShowsTheProgressBarFromTheFirstReport) {
  SplashScreen splash([&] { return SplashScreenViewModel::make(updator_, fakes_.services()); },
                      std::make_shared<UserDefaultsPreferences>(), markerScreens());
  splash.resize(800, 600);
  splash.show();
  splash.viewModel()->progress = 40.0;
  test::processQtEvents();
  EXPECT_TRUE(splash.progressPart()->isVisible());
  const QImage image = shot(splash, "splash-downloading");
  const QRect bar(splash.progressPart()->mapTo(&splash, QPoint(0, 0)),
                  splash.progressPart()->size());
  // The filled part of the bar is white, and only about the first 40 % of it.
  EXPECT_GT(test::countPixels(image, qRgb(255, 255, 255), 10,
                              QRect(bar.left(), bar.top(), bar.width() * 3 / 10, bar.height())),
            0);
  EXPECT_EQ(test::countPixels(image, qRgb(255, 255, 255), 10,
                              QRect(bar.left() + bar.width() * 6 / 10, bar.bottom() - 8,
                                    bar.width() * 3 / 10, 8)),
            0);
}

TEST_F(Screens, TheUpdateAlertOffersCancelOnlyForOptionalUpdates) {
  for (bool mandatory : {true, false}) {
    SplashScreen splash([&] { return SplashScreenViewModel::make(updator_, fakes_.services()); },
                        std::make_shared<UserDefaultsPreferences>(), markerScreens());
    splash.show();
    updator_->versioningCompletions.back()(test::updateOffer(mandatory));
    test::processQtEvents();
    QMessageBox* alert = splash.alertCreator()->currentAlert();
    ASSERT_NE(alert, nullptr);
    EXPECT_TRUE(alert->isVisible());
    EXPECT_EQ(alert->text().toStdString(),
              mandatory ? "Update required" : "A new version is ready");
    EXPECT_EQ(alert->buttons().size(), mandatory ? 1 : 2);
    shot(*alert, mandatory ? "alert-mandatory" : "alert-optional");
    if (mandatory) {
      alert->findChild<QPushButton*>("OK")->click();
      test::processQtEvents();
      EXPECT_EQ(splash.viewModel()->versioning.get(), nullptr);
      EXPECT_EQ(updator_->downloadCompletions.size(), 1u);
      EXPECT_EQ(splash.alertCreator()->currentAlert(), nullptr);
    } else {
      alert->findChild<QPushButton*>("Cancel")->click();
      test::processQtEvents();
      EXPECT_TRUE(splash.viewModel()->presentTutorial.get());
      ASSERT_NE(splash.nextScreen(), nullptr);
      EXPECT_EQ(splash.nextScreen()->objectName(), "tutorial");
    }
  }
}

TEST_F(Screens, AFailedMandatoryDownloadSaysSoOnTheSplashAndTriesAgain) {
  SplashScreen splash([&] { return SplashScreenViewModel::make(updator_, fakes_.services()); },
                      std::make_shared<UserDefaultsPreferences>(), markerScreens());
  splash.resize(911, 640);
  splash.show();
  updator_->versioningCompletions.back()(test::updateOffer(true));
  test::processQtEvents();
  splash.alertCreator()->currentAlert()->findChild<QPushButton*>("OK")->click();
  test::processQtEvents();
  splash.viewModel()->progress = 60.0;
  updator_->downloadCompletions.back()(
      std::unexpected(halyard::HalyardError::explicitlyCancelled()));
  test::processQtEvents();
  auto* indicator = splash.findChild<widgets::BusyIndicatorView*>("busyIndicator");
  EXPECT_TRUE(splash.failurePart()->isVisible());
  EXPECT_FALSE(splash.progressPart()->isVisible()) << "stuck at its last percentage";
  EXPECT_FALSE(indicator->isVisible());
  EXPECT_EQ(splash.nextScreen(), nullptr);
  shot(splash, "splash-download-failed");

  splash.retryButton()->click();
  test::processQtEvents();
  EXPECT_EQ(updator_->downloadCompletions.size(), 2u);
  EXPECT_FALSE(splash.failurePart()->isVisible());
  EXPECT_TRUE(indicator->isVisible());
}

TEST_F(Screens, RoutingFollowsTheFirstRunFlag) {
  for (bool firstRunOver : {false, true}) {
    auto preferences = std::make_shared<UserDefaultsPreferences>();
    preferences->setIsNotFirstTime(firstRunOver);
    SplashScreen splash([&] { return SplashScreenViewModel::make(updator_, fakes_.services()); },
                        preferences, markerScreens());
    splash.show();
    EXPECT_EQ(splash.nextScreen(), nullptr);
    updator_->versioningCompletions.back()(VersioningPtr());
    ASSERT_TRUE(test::runUntil([&] { return splash.nextScreen() != nullptr; }));
    EXPECT_EQ(splash.nextScreen()->objectName(), firstRunOver ? "starting" : "tutorial");
    EXPECT_TRUE(splash.nextScreen()->isVisible());
  }
}

TEST_F(Screens, StartingScreenRowsFollowPermissionAndDevice) {
  auto coordinator = std::make_shared<FakeCoordinator>();
  auto permission = std::make_shared<FakePermission>();
  permission->granted = false;
  StartingScreenView screen(
      [&] { return std::make_shared<PublishedDeviceStatusSource<FakeCoordinator>>(coordinator); },
      std::make_shared<UserDefaultsPreferences>(), permission);
  screen.resize(1280, 900);
  screen.show();
  EXPECT_EQ(screen.currentRow(), StartingRow::noPermission);
  QImage image = shot(screen, "starting-no-permission");
  EXPECT_TRUE(test::hasRunOfColor(image, kAccent, 100)) << "no accent capsule";
  EXPECT_NE(screen.findChild<QLabel*>("PERMISSION_MAC_DESCRIPTION"), nullptr);

  // A device attaching changes nothing while the permission is missing.
  coordinator->deviceStatus = DeviceStatus::Attached;
  EXPECT_EQ(screen.currentRow(), StartingRow::noPermission);

  permission->granted = true;
  coordinator->deviceStatus = DeviceStatus::Detached;
  EXPECT_EQ(screen.currentRow(), StartingRow::detached);
  image = shot(screen, "starting-detached");
  EXPECT_FALSE(test::hasRunOfColor(image, kAccent, 100));
  EXPECT_NE(screen.findChild<ImageView*>("usb"), nullptr);

  coordinator->deviceStatus = DeviceStatus::Attached;
  EXPECT_EQ(screen.currentRow(), StartingRow::attached);
  image = shot(screen, "starting-attached");
  expectDotsOnTheRing(screen, image);
  auto* indicator = screen.findChild<widgets::BusyIndicatorView*>("busyIndicator");
  EXPECT_EQ(indicator->size(), QSize(100, 100));

  coordinator->deviceStatus = DeviceStatus::Connected;
  EXPECT_EQ(screen.currentRow(), StartingRow::connected);
  image = shot(screen, "starting-connected");
  auto* connected = screen.findChild<QLabel*>("Dispositivo collegato");
  ASSERT_NE(connected, nullptr);
  EXPECT_EQ(connected->text(), "Tablet connected");

  // A display that could not be made is said, with why, until the state next changes.
  coordinator->deviceStatus = DeviceStatus::Detached;
  coordinator->displayFailure =
      std::string("The screen of :71 cannot grow to 2944x1080 (at most 1920x1080)");
  EXPECT_EQ(screen.currentRow(), StartingRow::displayRefused);
  image = shot(screen, "starting-display-refused");
  auto* refused = screen.findChild<QLabel*>("START_DISPLAY_REFUSED");
  ASSERT_NE(refused, nullptr);
  EXPECT_EQ(refused->text(),
            "Tablet connected, but its display could not be made: the screen of :71 cannot grow "
            "to 2944x1080 (at most 1920x1080)");
  coordinator->displayFailure = std::nullopt;
  EXPECT_EQ(screen.currentRow(), StartingRow::detached);
}

TEST_F(Screens, StartingScreenRecordsTheEndOfTheFirstRunWhenItAppears) {
  auto preferences = std::make_shared<UserDefaultsPreferences>();
  ASSERT_EQ(preferences->isNotFirstTime(), false);
  StartingScreenView screen([] { return std::make_shared<DetachedDeviceStatusSource>(); },
                            preferences, std::make_shared<FakePermission>());
  EXPECT_EQ(preferences->isNotFirstTime(), false);  // made, not yet shown
  screen.show();
  test::processQtEvents();
  EXPECT_EQ(UserDefaultsPreferences().isNotFirstTime(), true);
}

TEST_F(Screens, ThePermissionButtonAsksOnlyWhenStillNeeded) {
  auto permission = std::make_shared<FakePermission>();
  permission->granted = false;
  permission->grantOnRequest = true;
  StartingScreenView screen([] { return std::make_shared<DetachedDeviceStatusSource>(); },
                            std::make_shared<UserDefaultsPreferences>(), permission);
  screen.show();
  auto* button = screen.findChild<CapsuleButton*>("PERMISSION_MAC_BUTTON");
  ASSERT_NE(button, nullptr);
  button->click();
  EXPECT_EQ(permission->requests, 1);
  // The grant shows at once.
  EXPECT_EQ(screen.currentRow(), StartingRow::detached);

  // Granted in the settings before the screen was rebuilt: the button only checks.
  permission->granted = false;
  screen.rebuild();
  button = screen.findChild<CapsuleButton*>("PERMISSION_MAC_BUTTON");
  ASSERT_NE(button, nullptr);
  permission->granted = true;
  permission->requests = 0;
  button->click();
  EXPECT_EQ(permission->requests, 0);
  EXPECT_EQ(screen.currentRow(), StartingRow::detached);
}

TEST_F(Screens, APermissionGrantedElsewhereShowsWhenTheApplicationBecomesActive) {
  auto permission = std::make_shared<FakePermission>();
  permission->granted = false;
  StartingScreenView screen([] { return std::make_shared<DetachedDeviceStatusSource>(); },
                            std::make_shared<UserDefaultsPreferences>(), permission);
  screen.show();
  ASSERT_EQ(screen.currentRow(), StartingRow::noPermission);
  permission->granted = true;
  emit qGuiApp->applicationStateChanged(Qt::ApplicationInactive);
  EXPECT_EQ(screen.currentRow(), StartingRow::noPermission);
  emit qGuiApp->applicationStateChanged(Qt::ApplicationActive);
  EXPECT_EQ(screen.currentRow(), StartingRow::detached);
}

TEST_F(Screens, TheWindowIsFixedToTheScreenRule) {
  AppEnvironment environment{[] { return std::make_shared<DetachedDeviceStatusSource>(); }, nullptr,
                             std::make_shared<FakePermission>()};
  MainWindow window(environment);
  // Two thirds of the main screen's width by five sixths of its height, from the screen the
  // test platform reports, not from the rule's own code.
  const QScreen* screen = QGuiApplication::primaryScreen();
  ASSERT_NE(screen, nullptr);
  const QRect desktop = screen->geometry();
  EXPECT_EQ(window.width(), static_cast<int>(std::lround(desktop.width() * 2 / 3.0)));
  EXPECT_EQ(window.height(), static_cast<int>(std::lround(desktop.height() * 5 / 6.0)));
  EXPECT_EQ(window.minimumSize(), window.maximumSize());
  window.show();
  // No update server is configured in the build: no check is made and the window moves on.
  ASSERT_TRUE(test::runUntil([&] { return window.splashScreen()->nextScreen() != nullptr; }));
  EXPECT_EQ(window.splashScreen()->nextScreen()->objectName(), "tutorialScreen");
  shot(window, "window-first-run");
}

}  // namespace app
