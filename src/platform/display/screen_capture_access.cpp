#include "platform/display/screen_capture_access.h"

#include "platform/display/display_backends.h"
#include "platform/display/display_environment.h"

namespace platform {

bool preflightScreenCaptureAccess() {
  const DisplayEnvironment environment = currentDisplayEnvironment();
  const VirtualDisplayBackend* backend = virtualDisplayBackend(environment.backend);
  return backend && backend->available(environment);
}

bool requestScreenCaptureAccess() {
  return preflightScreenCaptureAccess();
}

}  // namespace platform
