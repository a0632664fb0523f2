#include <cstdlib>

#include "app/shell/orvandel_app.h"
#include "platform/dispatch/termination_signals.h"
#include "platform/display/display_guardian.h"
#include "platform/display/virtual_display.h"

int main(int argc, char** argv) {
  // First, while this is the only thread: whatever ends this process, no display outlives it.
  platform::startDisplayGuardian();
  // On a Wayland desktop the window is a Wayland window (Xwayland only when the plugin is
  // missing), unless the user chose otherwise.
  if (std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) {
    setenv("QT_QPA_PLATFORM", "wayland;xcb", 0);
  }
  // Asked to end (SIGTERM, SIGINT, SIGHUP), the application ends as when its window closes,
  // and its virtual displays leave the screen first.
  platform::onTerminationSignal([](int) { app::endOnTerminationRequest(); });
  const int result = app::OrvandelApp::main(argc, argv);
  platform::releaseAllVirtualDisplays();
  return result;
}
