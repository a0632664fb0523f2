#pragma once

#include <cstdint>
#include <memory>

#include "platform/display/virtual_display.h"

namespace streaming {

// One display of the virtual-screen manager's table: the display, kept alive, and the key it is
// stored under.
struct VirtualDisplayEntry {
  std::int64_t number = 0;
  std::shared_ptr<platform::VirtualDisplay> display;
};

}  // namespace streaming
