#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>

#include "platform/display/display_error.h"
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

// The descriptor of a device's display: its name, a standard colour description, its pixel
// size as the maximum and its physical size from the pixel density. A density of 0 or less
// leaves the physical size unknown (zero) rather than dividing by it.
platform::VirtualDisplayDescriptor virtualDisplayDescriptor(std::int32_t width, std::int32_t height,
                                                            std::int32_t ppi,
                                                            const std::string& name);

// One 60 Hz mode of the device's size, halved (rounding down) when hiDPI.
platform::VirtualDisplaySettings virtualDisplaySettings(std::int32_t width, std::int32_t height,
                                                        bool hiDPI);

// Creates a virtual display; it stays on the system while the result is held. An error, and no
// display left behind, when the size is not positive or the platform refuses the settings.
std::expected<std::shared_ptr<platform::VirtualDisplay>, platform::DisplayError> makeVirtualDisplay(
    std::int32_t width, std::int32_t height, std::int32_t ppi, bool hiDPI, const std::string& name);

}  // namespace streaming
