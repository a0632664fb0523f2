#include <QCoreApplication>

#include "app/shell/orvandel_app.h"
#include "platform/display/virtual_display.h"
#include "platform/foundation/termination_signals.h"

int main(int argc, char** argv) {
  // Asked to end (SIGTERM, SIGINT, SIGHUP), the application ends as when its window closes,
  // and its virtual displays leave the screen first.
  platform::onTerminationSignal([](int) {
    platform::releaseAllVirtualDisplays();
    QCoreApplication::quit();
  });
  const int result = app::OrvandelApp::main(argc, argv);
  platform::releaseAllVirtualDisplays();
  return result;
}
