#include "platform/display/virtual_display.h"

#include <cmath>
#include <cstdint>
#include <mutex>
#include <set>
#include <vector>

#include "platform/display/display_backends.h"
#include "platform/display/display_environment.h"

namespace platform {

namespace {
// X coordinates are 16-bit signed.
constexpr std::uint64_t kLargestSide = 32767;

// Every display of the process, so that an ending process can release them all whoever holds
// them. Never destroyed: displays may be released during static destruction.
struct LiveDisplays {
  std::mutex mutex;
  std::set<VirtualDisplay*> displays;
  bool ending = false;
};
LiveDisplays& live() {
  static auto* displays = new LiveDisplays;
  return *displays;
}
}  // namespace

VirtualDisplay::VirtualDisplay(VirtualDisplayDescriptor descriptor)
    : descriptor_(std::move(descriptor)) {
  std::lock_guard lock(live().mutex);
  live().displays.insert(this);
}

VirtualDisplay::~VirtualDisplay() {
  std::unique_ptr<VirtualDisplayHandle> handle;
  {
    std::lock_guard lock(live().mutex);
    live().displays.erase(this);
    handle = std::move(handle_);
  }
}

void releaseAllVirtualDisplays() {
  std::vector<std::unique_ptr<VirtualDisplayHandle>> handles;
  {
    std::lock_guard lock(live().mutex);
    live().ending = true;
    for (VirtualDisplay* display : live().displays) {
      if (display->handle_) handles.push_back(std::move(display->handle_));
    }
  }
  // Outside the lock: removing a display talks to its X server.
  handles.clear();
}

void reclaimAbandonedVirtualDisplays() {
  const DisplayEnvironment environment = currentDisplayEnvironment();
  if (const VirtualDisplayBackend* backend = virtualDisplayBackend(environment.backend)) {
    backend->reclaimAbandoned(environment);
  }
}

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
  const VirtualDisplayBackend* backend = virtualDisplayBackend(environment.backend);
  if (!backend) return refuse(environment.unavailableReason);
  auto made = backend->makeDisplay(environment, request);
  if (!made) return refuse(std::move(made.error()));
  std::unique_ptr<VirtualDisplayHandle> handle = std::move(*made);
  {
    std::lock_guard lock(live().mutex);
    if (!live().ending) {
      handle_ = std::move(handle);
      return true;
    }
  }
  // Made while the process releases its displays: it must not stay behind.
  handle.reset();
  return refuse("The process is ending");
}

DisplayID VirtualDisplay::displayID() const {
  std::lock_guard lock(live().mutex);
  return handle_ ? handle_->id() : kNullDisplayID;
}

}  // namespace platform
