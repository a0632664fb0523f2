#include "platform/display/display_environment.h"

#include <cstdlib>
#include <mutex>
#include <string_view>

namespace platform {

namespace {

std::mutex& environmentMutex() {
  static std::mutex mutex;
  return mutex;
}

std::optional<DisplayEnvironment>& installedEnvironment() {
  static std::optional<DisplayEnvironment> environment;
  return environment;
}

DisplayEnvironment environmentFromProcess() {
  DisplayEnvironment environment;
  if (const char* display = std::getenv("DISPLAY")) environment.xDisplay = display;
  const char* backend = std::getenv("TOVARINE_DISPLAY_BACKEND");
  const bool forceXvfb = backend != nullptr && std::string_view(backend) == "xvfb";
  environment.backend = (!environment.xDisplay.empty() && !forceXvfb)
                            ? VirtualDisplayBackendKind::randrMonitor
                            : VirtualDisplayBackendKind::xvfbPerDisplay;
  return environment;
}

}  // namespace

DisplayEnvironment currentDisplayEnvironment() {
  std::lock_guard lock(environmentMutex());
  if (installedEnvironment()) return *installedEnvironment();
  return environmentFromProcess();
}

void setDisplayEnvironment(std::optional<DisplayEnvironment> environment) {
  std::lock_guard lock(environmentMutex());
  installedEnvironment() = std::move(environment);
}

}  // namespace platform
