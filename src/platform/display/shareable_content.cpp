#include "platform/display/shareable_content.h"

#include <limits>

#include "platform/display/display_error.h"
#include "platform/display/display_queries.h"

namespace platform {

ShareableContent ShareableContent::current() {
  auto ids = getActiveDisplayList(std::numeric_limits<std::uint32_t>::max());
  if (!ids) throw DisplayError("The X server cannot be reached");
  std::vector<ShareableDisplay> displays;
  for (DisplayID id : *ids) {
    const DisplayRect frame = displayBounds(id);
    if (frame.size.width <= 0 || frame.size.height <= 0) continue;  // went away meanwhile
    displays.emplace_back(id, frame);
  }
  return ShareableContent(std::move(displays));
}

}  // namespace platform
