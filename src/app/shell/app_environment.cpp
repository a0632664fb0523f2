#include "app/shell/app_environment.h"

#include "app/service/installer_downloader.h"
#include "app/shell/qt_window_control.h"
#include "streaming/starting_screen_view_model.h"

namespace app {

AppEnvironment& AppEnvironment::current() {
  static AppEnvironment environment{
      // Each starting screen brings up its own streaming engine and ends it when it goes.
      []() -> DeviceStatusSourcePtr {
        streaming::StartingScreenViewModel::Options options;
        options.windowControl = std::make_shared<QtWindowControl>();
        return std::make_shared<PublishedDeviceStatusSource<streaming::StartingScreenViewModel>>(
            streaming::StartingScreenViewModel::make(std::move(options)));
      },
      makeHalyardInstallerDownloader,
      std::make_shared<DisplayScreenCapturePermission>(),
  };
  return environment;
}

}  // namespace app
