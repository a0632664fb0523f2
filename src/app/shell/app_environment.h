#pragma once

#include <memory>

#include "app/service/api_service_manager.h"
#include "app/starting/device_status_source.h"

namespace app {

// The parts of the application that other subsystems provide, gathered in one place so that
// the entry point, the screens and the tests agree on them.
struct AppEnvironment {
  // Makes the streaming coordinator behind the starting screen.
  DeviceStatusSourceFactory makeDeviceStatusSource;
  // Makes the installer downloader over the service layer's transfer session.
  APIServiceManager::InstallerDownloaderFactory makeInstallerDownloader;
  std::shared_ptr<ScreenCapturePermission> screenCapturePermission;

  // What the application runs with; filled with the defaults on first use.
  static AppEnvironment& current();
};

// A device state with no streaming engine behind it: no device, ever.
class DetachedDeviceStatusSource final : public DeviceStatusSource {
 public:
  streaming::DeviceStatus deviceStatus() const override {
    return streaming::DeviceStatus::Detached;
  }
  platform::Cancellable observeDeviceStatus(std::function<void(streaming::DeviceStatus)>) override {
    return {};
  }
};

}  // namespace app
