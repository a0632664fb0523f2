#include "platform/display/window_placement.h"

#include <algorithm>

#include "platform/display/display_backends.h"

namespace platform {

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
  auto outputs = displayServer().placementOutputs(xDisplay);
  if (!outputs) return std::nullopt;
  return windowPlacementArea(*outputs);
}

}  // namespace platform
