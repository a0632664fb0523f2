// The one place that knows every backend folder: the rest of the display layer reaches them
// through the interfaces this file hands out.
#include "platform/display/display_backends.h"

#include "platform/display/gnome/gnome_backend.h"
#include "platform/display/wlroots/wlroots_backend.h"
#include "platform/display/x11/x11_backend.h"
#include "platform/display/xvfb/xvfb_backend.h"

namespace platform {

const VirtualDisplayBackend* virtualDisplayBackend(VirtualDisplayBackendKind kind) {
  switch (kind) {
    case VirtualDisplayBackendKind::randrMonitor:
      return &randrMonitorBackend();
    case VirtualDisplayBackendKind::xvfbPerDisplay:
      return &xvfbPerDisplayBackend();
    case VirtualDisplayBackendKind::wlrootsOutput:
      return &wlrootsOutputBackend();
    case VirtualDisplayBackendKind::gnomeVirtualMonitor:
      return &gnomeVirtualMonitorBackend();
    case VirtualDisplayBackendKind::unavailable:
      break;
  }
  return nullptr;
}

const DisplayServer& displayServer() {
  return x11DisplayServer();
}

}  // namespace platform
