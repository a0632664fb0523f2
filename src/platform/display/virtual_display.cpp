#include "platform/display/virtual_display.h"

#include <cmath>
#include <cstdint>

#include "platform/display/display_environment.h"
#include "platform/display/virtual_display_backend.h"

namespace platform {

namespace {
// X coordinates are 16-bit signed.
constexpr std::uint64_t kLargestSide = 32767;
}  // namespace

VirtualDisplay::VirtualDisplay(VirtualDisplayDescriptor descriptor)
    : descriptor_(std::move(descriptor)) {}

VirtualDisplay::~VirtualDisplay() = default;

bool VirtualDisplay::applySettings(const VirtualDisplaySettings& settings) {
  failureReason_.clear();
  auto refuse = [this](std::string reason) {
    failureReason_ = std::move(reason);
    return false;
  };
  if (settings.modes().empty()) return refuse("No mode was given");
  const VirtualDisplayMode& mode = settings.modes().front();
  if (mode.width() == 0 || mode.height() == 0 || !std::isfinite(mode.refreshRate()) ||
      mode.refreshRate() <= 0) {
    return refuse("The mode is empty or has no refresh rate");
  }
  const std::uint64_t scale = settings.hiDPI() ? 2 : 1;
  const std::uint64_t pixelWidth = std::uint64_t{mode.width()} * scale;
  const std::uint64_t pixelHeight = std::uint64_t{mode.height()} * scale;
  if (pixelWidth > kLargestSide || pixelHeight > kLargestSide) {
    return refuse("The mode is larger than an X screen can be");
  }
  if ((descriptor_.maxPixelsWide() != 0 && pixelWidth > descriptor_.maxPixelsWide()) ||
      (descriptor_.maxPixelsHigh() != 0 && pixelHeight > descriptor_.maxPixelsHigh())) {
    return refuse("The mode is larger than the display's maximum");
  }

  if (handle_) {
    if (handle_->pixelWidth() == pixelWidth && handle_->pixelHeight() == pixelHeight) return true;
    return refuse("The display exists in another size");
  }

  VirtualDisplayRequest request;
  request.name = descriptor_.name();
  request.pixelWidth = static_cast<std::uint32_t>(pixelWidth);
  request.pixelHeight = static_cast<std::uint32_t>(pixelHeight);
  request.pointWidth = mode.width();
  request.pointHeight = mode.height();
  const DisplaySize millimeters = descriptor_.sizeInMillimeters();
  if (std::isfinite(millimeters.width) && std::isfinite(millimeters.height) &&
      millimeters.width > 0 && millimeters.height > 0) {
    request.sizeInMillimeters = millimeters;
  }

  const DisplayEnvironment environment = currentDisplayEnvironment();
  auto made = environment.backend == VirtualDisplayBackendKind::randrMonitor
                  ? makeRandrMonitorDisplay(environment.xDisplay, request)
                  : makeXvfbDisplay(environment.xvfbProgram, request);
  if (!made) return refuse(std::move(made.error()));
  handle_ = std::move(*made);
  return true;
}

DisplayID VirtualDisplay::displayID() const {
  return handle_ ? handle_->id() : kNullDisplayID;
}

}  // namespace platform
