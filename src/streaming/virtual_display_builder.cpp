#include "streaming/virtual_display_builder.h"

#include "platform/dispatch/dispatch_queue.h"

namespace streaming {

platform::VirtualDisplayDescriptor virtualDisplayDescriptor(std::int32_t width, std::int32_t height,
                                                            std::int32_t ppi,
                                                            const std::string& name) {
  platform::VirtualDisplayDescriptor descriptor;
  descriptor.setQueue(platform::DispatchQueue::global(platform::QoS::userInteractive));
  descriptor.setName(name);
  descriptor.setWhitePoint({0.3125, 0.3291});
  descriptor.setBluePrimary({0.1494, 0.0557});
  descriptor.setGreenPrimary({0.2559, 0.6983});
  descriptor.setRedPrimary({0.6797, 0.3203});
  descriptor.setMaxPixelsHigh(height > 0 ? static_cast<std::uint32_t>(height) : 0);
  descriptor.setMaxPixelsWide(width > 0 ? static_cast<std::uint32_t>(width) : 0);
  if (ppi > 0) {
    descriptor.setSizeInMillimeters({width * 25.4 / ppi, height * 25.4 / ppi});
  }
  descriptor.setSerialNum(1);
  descriptor.setProductID(1);
  descriptor.setVendorID(1);
  return descriptor;
}

platform::VirtualDisplaySettings virtualDisplaySettings(std::int32_t width, std::int32_t height,
                                                        bool hiDPI) {
  platform::VirtualDisplaySettings settings;
  settings.setHiDPI(hiDPI);
  const std::int32_t modeWidth = settings.hiDPI() ? width / 2 : width;
  const std::int32_t modeHeight = settings.hiDPI() ? height / 2 : height;
  settings.setModes({platform::VirtualDisplayMode(
      modeWidth > 0 ? static_cast<std::uint32_t>(modeWidth) : 0,
      modeHeight > 0 ? static_cast<std::uint32_t>(modeHeight) : 0, 60.0)});
  return settings;
}

std::expected<std::shared_ptr<platform::VirtualDisplay>, platform::DisplayError> makeVirtualDisplay(
    std::int32_t width, std::int32_t height, std::int32_t ppi, bool hiDPI,
    const std::string& name) {
  if (width <= 0 || height <= 0) {
    return std::unexpected(platform::DisplayError("The size is not positive"));
  }
  auto display = std::make_shared<platform::VirtualDisplay>(
      virtualDisplayDescriptor(width, height, ppi, name));
  if (!display->applySettings(virtualDisplaySettings(width, height, hiDPI))) {
    return std::unexpected(platform::DisplayError(display->failureReason()));
  }
  return display;
}

}  // namespace streaming
