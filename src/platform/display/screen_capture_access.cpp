#include "platform/display/screen_capture_access.h"

#include "platform/display/display_environment.h"
#include "platform/display/virtual_display_backend.h"
#include "platform/display/wlroots/wlroots_ipc.h"
#include "platform/display/x11/x_connection.h"
#include "platform/display/xvfb/xvfb_server.h"

namespace platform {

bool preflightScreenCaptureAccess() {
  const DisplayEnvironment environment = currentDisplayEnvironment();
  switch (environment.backend) {
    case VirtualDisplayBackendKind::wlrootsOutput: {
      auto ipc = wlroots::IpcClient::connect(environment.compositorSocket);
      return ipc && (*ipc)->version().has_value();
    }
    case VirtualDisplayBackendKind::gnomeVirtualMonitor:
      return mutterScreenCastAvailable();
    case VirtualDisplayBackendKind::unavailable:
      return false;
    default:
      break;
  }
  if (environment.backend == VirtualDisplayBackendKind::xvfbPerDisplay) {
    return XvfbServer::isAvailable(environment.xvfbProgram);
  }
  return x11::Connection::open(environment.xDisplay).has_value();
}

bool requestScreenCaptureAccess() {
  return preflightScreenCaptureAccess();
}

}  // namespace platform
