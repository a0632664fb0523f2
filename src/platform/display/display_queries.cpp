#include "platform/display/display_queries.h"

#include <algorithm>

#include "platform/display/display_backends.h"
#include "platform/display/display_environment.h"
#include "platform/display/display_registry.h"

namespace platform {

namespace {

struct DisplaySnapshot {
  DisplayID id = kNullDisplayID;
  DisplayLocation location;
  std::uint32_t pointWidth = 0, pointHeight = 0;
  double widthInMillimeters = 0, heightInMillimeters = 0;
  std::string name;
  bool builtin = false;
};

enum class Detail { geometry, names };

DisplaySnapshot fromRecord(const OwnDisplayRecord& record) {
  DisplaySnapshot snapshot;
  snapshot.id = record.id;
  snapshot.location.xDisplay = record.xDisplay;
  snapshot.location.pixelWidth = record.pixelWidth;
  snapshot.location.pixelHeight = record.pixelHeight;
  snapshot.pointWidth = record.pointWidth;
  snapshot.pointHeight = record.pointHeight;
  snapshot.widthInMillimeters = record.widthInMillimeters;
  snapshot.heightInMillimeters = record.heightInMillimeters;
  snapshot.name = record.name;
  return snapshot;
}

std::optional<std::vector<DisplaySnapshot>> snapshotDisplays(Detail detail) {
  const DisplayEnvironment environment = currentDisplayEnvironment();
  std::vector<DisplaySnapshot> result;
  bool reachedMain = false;
  if (!environment.xDisplay.empty()) {
    if (auto monitors = displayServer().monitors(environment.xDisplay, detail == Detail::names)) {
      reachedMain = true;
      for (const auto& monitor : *monitors) {
        if (monitor.width == 0 || monitor.height == 0) continue;
        DisplaySnapshot snapshot;
        snapshot.id = monitor.id;
        snapshot.location = {environment.xDisplay, monitor.x,      monitor.y,
                             monitor.width,        monitor.height, true};
        snapshot.pointWidth = monitor.width;
        snapshot.pointHeight = monitor.height;
        snapshot.widthInMillimeters = monitor.widthInMillimeters;
        snapshot.heightInMillimeters = monitor.heightInMillimeters;
        // A hiDPI virtual display of ours has fewer points than pixels.
        if (auto own = DisplayRegistry::shared().find(monitor.id, environment.xDisplay);
            own && own->pixelWidth == monitor.width && own->pixelHeight == monitor.height) {
          snapshot.pointWidth = own->pointWidth;
          snapshot.pointHeight = own->pointHeight;
        }
        snapshot.name = monitor.name;
        snapshot.builtin = monitor.builtin;
        result.push_back(std::move(snapshot));
      }
    }
  }
  if (!reachedMain && environment.backend == VirtualDisplayBackendKind::randrMonitor) {
    return std::nullopt;
  }
  for (const auto& record : DisplayRegistry::shared().wholeScreenDisplays()) {
    result.push_back(fromRecord(record));
  }
  return result;
}

std::optional<DisplaySnapshot> snapshotOf(DisplayID display, Detail detail) {
  if (display == kNullDisplayID) return std::nullopt;
  auto all = snapshotDisplays(detail);
  if (!all) return std::nullopt;
  auto found = std::find_if(all->begin(), all->end(),
                            [&](const DisplaySnapshot& s) { return s.id == display; });
  if (found == all->end()) return std::nullopt;
  return *found;
}

}  // namespace

std::optional<std::vector<DisplayID>> getActiveDisplayList(std::uint32_t maxDisplays) {
  auto all = snapshotDisplays(Detail::geometry);
  if (!all) return std::nullopt;
  std::vector<DisplayID> ids;
  for (const auto& snapshot : *all) {
    if (ids.size() >= maxDisplays) break;
    ids.push_back(snapshot.id);
  }
  return ids;
}

std::optional<DisplayMode> copyDisplayMode(DisplayID display) {
  auto snapshot = snapshotOf(display, Detail::geometry);
  if (!snapshot) return std::nullopt;
  return DisplayMode{snapshot->pointWidth, snapshot->pointHeight, snapshot->location.pixelWidth,
                     snapshot->location.pixelHeight};
}

DisplaySize displayScreenSize(DisplayID display) {
  auto snapshot = snapshotOf(display, Detail::geometry);
  if (!snapshot) return {};
  return {snapshot->widthInMillimeters, snapshot->heightInMillimeters};
}

bool displayIsBuiltin(DisplayID display) {
  auto snapshot = snapshotOf(display, Detail::names);
  return snapshot && snapshot->builtin;
}

DisplayRect displayBounds(DisplayID display) {
  auto snapshot = snapshotOf(display, Detail::geometry);
  if (!snapshot) return {};
  const double scale =
      snapshot->pointWidth ? double(snapshot->location.pixelWidth) / snapshot->pointWidth : 1.0;
  return {{snapshot->location.x / scale, snapshot->location.y / scale},
          {double(snapshot->pointWidth), double(snapshot->pointHeight)}};
}

std::optional<std::string> displayName(DisplayID display) {
  auto snapshot = snapshotOf(display, Detail::names);
  if (!snapshot) return std::nullopt;
  return snapshot->name;
}

std::optional<DisplayLocation> locateDisplay(DisplayID display) {
  auto snapshot = snapshotOf(display, Detail::geometry);
  if (!snapshot) return std::nullopt;
  return snapshot->location;
}

}  // namespace platform
