#include "platform/display/window_placement.h"

#include <algorithm>

#include "platform/display/monitor_owners.h"
#include "platform/display/x11/x_connection.h"

namespace platform {

namespace {

// The owners property is small: a line per live monitor. More than this is not ours.
constexpr std::size_t kMaxOwnersBytes = 64 * 1024;

}  // namespace

std::optional<DisplayRect> windowPlacementArea(const std::vector<PlacementOutput>& outputs) {
  auto usable = [](const PlacementOutput& output) {
    return !output.virtualDisplay && output.area.size.width > 0 && output.area.size.height > 0;
  };
  auto primary = std::find_if(outputs.begin(), outputs.end(), [&](const PlacementOutput& output) {
    return output.primary && usable(output);
  });
  if (primary != outputs.end()) return primary->area;
  auto first = std::find_if(outputs.begin(), outputs.end(), usable);
  if (first != outputs.end()) return first->area;
  return std::nullopt;
}

std::optional<DisplayRect> windowPlacementArea(const std::string& xDisplay) {
  auto connection = x11::Connection::open(xDisplay);
  if (!connection) return std::nullopt;
  x11::Connection& x = **connection;
  auto monitors = x.monitors(true);
  if (!monitors) return std::nullopt;
  std::vector<MonitorOwnerRecord> ours;
  if (auto atom = x.internAtom(kMonitorOwnersProperty, true)) {
    ours = parseMonitorOwners(x.rootTextProperty(*atom, kMaxOwnersBytes).value_or(""));
  }
  std::vector<PlacementOutput> outputs;
  for (const auto& monitor : *monitors) {
    PlacementOutput output;
    output.area = {{double(monitor.x), double(monitor.y)},
                   {double(monitor.width), double(monitor.height)}};
    output.primary = monitor.primary;
    output.virtualDisplay = std::any_of(
        ours.begin(), ours.end(),
        [&](const MonitorOwnerRecord& record) { return record.monitor == monitor.name; });
    outputs.push_back(output);
  }
  return windowPlacementArea(outputs);
}

}  // namespace platform
