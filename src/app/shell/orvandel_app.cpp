#include "app/shell/orvandel_app.h"

#include <QApplication>
#include <QScreen>
#include <QVBoxLayout>
#include <cmath>

#include "app/bundle/localization.h"
#include "app/shell/qt_main_queue_driver.h"
#include "app/shell/qt_services.h"
#include "app/shell/window_geometry.h"
#include "app/starting/starting_screen_view.h"
#include "app/style/qt_style.h"
#include "app/tutorial/tutorial_screen.h"
#include "widgets/localized_string_key.h"

namespace app {

namespace {

// A window manager places a new window itself; on a server without one (a bare X server) the
// window would sit in the top left corner, so it asks for the middle of the main screen.
void centreOnMainScreen(QWidget& window) {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  QRect frame(QPoint(0, 0), window.size());
  frame.moveCenter(screen->availableGeometry().center());
  window.move(frame.topLeft());
}

}  // namespace

ScreenFactory makeScreenFactory(const AppEnvironment& environment) {
  ScreenFactory screens;
  screens.makeStartingScreen = [environment](QWidget* parent) -> QWidget* {
    return new StartingScreenView(environment.makeDeviceStatusSource,
                                  std::make_shared<UserDefaultsPreferences>(),
                                  environment.screenCapturePermission, parent);
  };
  screens.makeTutorial =
      makeTutorialScreenFactory(screens.makeStartingScreen, environment.screenCapturePermission);
  return screens;
}

SplashScreenViewModelPtr makeSplashScreenViewModel(const AppEnvironment& environment,
                                                   QWidget* window) {
  auto service = APIServiceManager::make(environment.makeInstallerDownloader);
  return SplashScreenViewModel::make(std::make_shared<UpdatorNetwork>(std::move(service)),
                                     makeQtSplashServices(window));
}

MainWindow::MainWindow(const AppEnvironment& environment, QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("mainWindow"));
  setWindowTitle(QString::fromStdString(displayName().value_or("Tovarine")));
  applyDarkScheme(this);
  const WindowSize size = currentWindowSize();
  setFixedSize(static_cast<int>(std::lround(size.width)),
               static_cast<int>(std::lround(size.height)));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  splash_ = new SplashScreen(
      [&environment, this] { return makeSplashScreenViewModel(environment, this); },
      std::make_shared<UserDefaultsPreferences>(), makeScreenFactory(environment), this);
  layout->addWidget(splash_);
}

int OrvandelApp::main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tovarine"));
  QApplication::setApplicationDisplayName(
      QString::fromStdString(displayName().value_or("Tovarine")));
  QtMainQueueDriver::install();
  widgets::setLocalizedStringLookup([](std::string_view key) { return uiText(std::string(key)); });
  applyApplicationStyle();

  AppDelegate delegate;
  QApplication::setQuitOnLastWindowClosed(
      delegate.applicationShouldTerminateAfterLastWindowClosed());
  delegate.applicationDidFinishLaunching();

  int result = 0;
  {
    MainWindow window(AppEnvironment::current());
    centreOnMainScreen(window);
    window.show();
    result = QApplication::exec();
  }
  QtMainQueueDriver::uninstall();
  return result;
}

}  // namespace app
