#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/display/virtual_display.h"

namespace streaming {

// One of this computer's active displays, as the display service description lists them.
struct Resolution {
  std::int32_t width = 0;   // pixels of the current mode
  std::int32_t height = 0;  // pixels of the current mode
  std::int32_t ppi = 0;     // pixels per inch, truncated; 0 when the physical size is unknown
  bool hiDPI = false;       // the mode has fewer points than pixels
  std::string description;  // "Built-in Display" or "Display #" and the position in the list
  bool operator==(const Resolution&) const = default;
};

// Keeps one virtual display alive under the key the virtual-screen manager stores it by.
struct VirtualDisplay {
  std::int64_t number = 0;
  std::shared_ptr<platform::VirtualDisplay> display;
};

// The descriptor of a device's display: its name, a standard colour description, its pixel
// size as the maximum and its physical size from the pixel density. A density of 0 or less
// leaves the physical size unknown (zero) rather than dividing by it.
platform::VirtualDisplayDescriptor virtualDisplayDescriptor(std::int32_t width, std::int32_t height,
                                                            std::int32_t ppi,
                                                            const std::string& name);

// One 60 Hz mode of the device's size, halved (rounding down) when hiDPI.
platform::VirtualDisplaySettings virtualDisplaySettings(std::int32_t width, std::int32_t height,
                                                        bool hiDPI);

// Creates a virtual display; it stays on the system while the result is held. Null when the
// size is not positive or the platform refuses the settings, and then no display remains;
// the reason is then written to `failureReason` when one is given.
std::shared_ptr<platform::VirtualDisplay> makeVirtualDisplay(std::int32_t width,
                                                             std::int32_t height, std::int32_t ppi,
                                                             bool hiDPI, const std::string& name,
                                                             std::string* failureReason = nullptr);

}  // namespace streaming
