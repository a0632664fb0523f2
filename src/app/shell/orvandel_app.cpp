#include "app/shell/orvandel_app.h"

#include <QApplication>
#include <QScreen>
#include <QVBoxLayout>
#include <cmath>

#include "app/bundle/localization.h"
#include "app/shell/application_identity.h"
#include "app/shell/qt_main_queue_driver.h"
#include "app/shell/qt_services.h"
#include "app/shell/qt_window_control.h"
#include "app/shell/single_instance.h"
#include "app/shell/window_geometry.h"
#include "app/starting/starting_screen_view.h"
#include "app/style/qt_style.h"
#include "app/tutorial/tutorial_screen.h"
#include "platform/display/virtual_display.h"
#include "widgets/localized_string_key.h"

namespace app {

namespace {

// A window manager places a new window itself; on a server without one (a bare X server) the
// window would sit in the top left corner, so it asks for the middle of the main screen: the
// user's own output, never a tablet's (see `mainScreen`).
void centreOnMainScreen(QWidget& window) {
  const QScreen* screen = mainScreen();
  if (!screen) return;
  QRect frame(QPoint(0, 0), window.size());
  frame.moveCenter(screen->availableGeometry().center());
  window.move(frame.topLeft());
}

}  // namespace

void endOnTerminationRequest() {
  platform::releaseAllVirtualDisplays();
  // Not quit(): that first asks every window to close and gives up when one refuses, as an
  // alert that waits for its answer does, leaving the application running behind it.
  QCoreApplication::exit(0);
}

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
  // Displays left behind by a copy that died go before the desktop is read: the window must
  // neither open on one nor take its size from it.
  platform::reclaimAbandonedVirtualDisplays();
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tovarine"));
  QApplication::setApplicationDisplayName(
      QString::fromStdString(displayName().value_or("Tovarine")));
  // A later start brings this copy's window forward and ends; it never dials the tablet.
  SingleInstance instance(SingleInstance::defaultSocketPath());
  switch (instance.claim([] { QtWindowControl().restore(); })) {
    case SingleInstance::Role::first:
      break;
    case SingleInstance::Role::handedOver:
      return 0;
    case SingleInstance::Role::unanswered:
      return 1;
  }
  applyApplicationIdentity();
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
