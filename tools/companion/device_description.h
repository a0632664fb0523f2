#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/tether/tl_wire_format.h"

namespace streaming::companion {

// The screen description (frame type 105) as a binary property list:
// {"name", "screenSize": {"Width", "Height"}, "ppi"}.
platform::TLData encodeScreenDescription(const std::string& name, std::int32_t width,
                                         std::int32_t height, std::int32_t ppi);

// The device information (frame type 100) as a JSON object.
platform::TLData encodeDeviceInfo(const std::string& name, std::int32_t width, std::int32_t height,
                                  std::int32_t ppi);

struct ImageSize {
  int width = 0;
  int height = 0;
  bool operator==(const ImageSize&) const = default;
};

// The size of the images the application sends a device of this screen: the capture itself
// when the screen is at least 800 by 620, else a canvas of the width by the height less 20.
ImageSize expectedImageSize(std::int32_t width, std::int32_t height);

// The size in a JPEG header, or nothing when the bytes are no decodable JPEG.
std::optional<ImageSize> jpegImageSize(std::span<const std::uint8_t> jpeg);

}  // namespace streaming::companion
