#pragma once

#include <QWidget>
#include <memory>

#include "app/preferences/preferences.h"
#include "app/shell/app_environment.h"
#include "app/shell/screen_factory.h"
#include "app/splash/splash_screen.h"

class QApplication;

namespace app {

// The application's delegate: nothing to do at launch; closing the last window quits.
class AppDelegate {
 public:
  void applicationDidFinishLaunching() {}
  bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }
};

// The one window: fixed at two thirds of the main screen's width by five sixths of its
// height, dark, showing the splash screen.
class MainWindow : public QWidget {
 public:
  MainWindow(const AppEnvironment& environment, QWidget* parent = nullptr);
  SplashScreen* splashScreen() const { return splash_; }

 private:
  SplashScreen* splash_ = nullptr;
};

// The screens that follow the splash, made from the environment.
ScreenFactory makeScreenFactory(const AppEnvironment& environment);

// The splash screen's view model for a window, with the desktop's services.
SplashScreenViewModelPtr makeSplashScreenViewModel(const AppEnvironment& environment,
                                                   QWidget* window);

// Ends the application on a termination request (a signal), from wherever it is, a dialog
// included: its virtual displays leave the screen first, then every event loop ends.
void endOnTerminationRequest();

// The application: Qt set up with the main queue on its event loop, the delegate and the
// window. `run` returns the event loop's exit code.
class OrvandelApp {
 public:
  static int main(int argc, char** argv);
};

}  // namespace app
