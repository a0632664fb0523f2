#include "platform/display/display_environment.h"

#include <cstdlib>
#include <mutex>
#include <string_view>
#include <tuple>

#include <fmt/core.h>

#include "platform/display/display_backends.h"
#include "platform/foundation/log.h"

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

std::string variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string answeringIpcSocket() {
  for (const char* name : {"SWAYSOCK", "I3SOCK"}) {
    const std::string path = variable(name);
    if (path.empty()) continue;
    DisplayEnvironment asked;
    asked.compositorSocket = path;
    if (virtualDisplayBackend(VirtualDisplayBackendKind::wlrootsOutput)->available(asked)) {
      return path;
    }
  }
  return {};
}

// Probing talks to the compositor and the bus: done once per set of clues.
DisplayEnvironment environmentFromProcess() {
  BackendClues clues;
  clues.forced = variable("TOVARINE_DISPLAY_BACKEND");
  clues.xDisplay = variable("DISPLAY");
  clues.waylandDisplay = variable("WAYLAND_DISPLAY");
  clues.desktop = variable("XDG_CURRENT_DESKTOP");
  const bool wayland = !clues.waylandDisplay.empty();
  if (!wayland && clues.forced != "wlroots" && clues.forced != "gnome") {
    return chooseDisplayEnvironment(clues);
  }
  using Key = std::tuple<std::string, std::string, std::string, std::string, std::string>;
  static std::mutex probeMutex;
  static std::optional<std::pair<Key, DisplayEnvironment>> probed;
  const Key key{clues.forced, clues.xDisplay, clues.waylandDisplay, variable("SWAYSOCK"),
                variable("I3SOCK")};
  std::lock_guard lock(probeMutex);
  if (probed && probed->first == key) return probed->second;
  clues.answeringIpcSocket = answeringIpcSocket();
  if (clues.answeringIpcSocket.empty() && clues.forced != "wlroots") {
    clues.screenCastOnBus =
        virtualDisplayBackend(VirtualDisplayBackendKind::gnomeVirtualMonitor)->available({});
  }
  DisplayEnvironment environment = chooseDisplayEnvironment(clues);
  if (environment.backend == VirtualDisplayBackendKind::unavailable) {
    log(environment.unavailableReason);
  }
  probed.emplace(key, environment);
  return environment;
}

}  // namespace

DisplayEnvironment chooseDisplayEnvironment(const BackendClues& clues) {
  DisplayEnvironment environment;
  environment.xDisplay = clues.xDisplay;
  environment.waylandDisplay = clues.waylandDisplay;
  environment.compositorSocket = clues.answeringIpcSocket;
  const auto unavailable = [&](std::string reason) {
    environment.backend = VirtualDisplayBackendKind::unavailable;
    environment.unavailableReason = std::move(reason);
    return environment;
  };
  const std::string desktop = clues.desktop.empty() ? "this desktop" : clues.desktop;
  if (clues.forced == "xvfb") {
    environment.backend = VirtualDisplayBackendKind::xvfbPerDisplay;
    return environment;
  }
  if (clues.forced == "randr") {
    if (clues.xDisplay.empty())
      return unavailable("RandR displays need DISPLAY to name an X server");
    environment.backend = VirtualDisplayBackendKind::randrMonitor;
    return environment;
  }
  if (clues.forced == "wlroots") {
    if (clues.answeringIpcSocket.empty()) {
      return unavailable("No wlroots compositor answers on SWAYSOCK or I3SOCK");
    }
    environment.backend = VirtualDisplayBackendKind::wlrootsOutput;
    return environment;
  }
  if (clues.forced == "gnome") {
    if (!clues.screenCastOnBus) {
      return unavailable("GNOME's screen-cast interface is not on the session bus");
    }
    environment.backend = VirtualDisplayBackendKind::gnomeVirtualMonitor;
    return environment;
  }
  if (!clues.forced.empty()) {
    return unavailable(fmt::format(
        "TOVARINE_DISPLAY_BACKEND=\"{}\" is none of randr, xvfb, wlroots, gnome", clues.forced));
  }
  if (!clues.waylandDisplay.empty()) {
    // Xwayland cannot grow its screen: RandR monitors are no way out here.
    if (!clues.answeringIpcSocket.empty()) {
      environment.backend = VirtualDisplayBackendKind::wlrootsOutput;
    } else if (clues.screenCastOnBus) {
      environment.backend = VirtualDisplayBackendKind::gnomeVirtualMonitor;
    } else {
      return unavailable(fmt::format(
          "The Wayland desktop {} has no interface for virtual displays: no tablet display can be "
          "made",
          desktop));
    }
    return environment;
  }
  environment.backend = clues.xDisplay.empty() ? VirtualDisplayBackendKind::xvfbPerDisplay
                                               : VirtualDisplayBackendKind::randrMonitor;
  return environment;
}

DisplayEnvironment currentDisplayEnvironment() {
  {
    std::lock_guard lock(environmentMutex());
    if (installedEnvironment()) return *installedEnvironment();
  }
  return environmentFromProcess();
}

void setDisplayEnvironment(std::optional<DisplayEnvironment> environment) {
  std::lock_guard lock(environmentMutex());
  installedEnvironment() = std::move(environment);
}

}  // namespace platform
