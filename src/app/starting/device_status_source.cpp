#include "app/starting/device_status_source.h"

#include "platform/display/screen_capture_access.h"

namespace app {

bool DisplayScreenCapturePermission::preflight() {
  return platform::preflightScreenCaptureAccess();
}

bool DisplayScreenCapturePermission::request() {
  return platform::requestScreenCaptureAccess();
}

}  // namespace app
