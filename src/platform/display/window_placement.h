#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/display/display_types.h"

namespace platform {

// An output as the X server lists it, for choosing where the application's window opens.
struct PlacementOutput {
  DisplayRect area;
  bool primary = false;
  // One of this program's virtual displays (a tablet's), live or left by a process that died.
  bool virtualDisplay = false;
};

// Where the application's own window belongs: on the primary output, else on the first output
// that is not one of our virtual displays. A tablet's display comes and goes with the tablet,
// and a window placed there is lost with it. Nothing when every output is ours.
std::optional<DisplayRect> windowPlacementArea(const std::vector<PlacementOutput>& outputs);

// The same for the X server `xDisplay`, from its active monitors; nothing when it cannot be
// asked (no RandR 1.5).
std::optional<DisplayRect> windowPlacementArea(const std::string& xDisplay);

}  // namespace platform
