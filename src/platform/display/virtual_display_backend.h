#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>

#include "platform/display/display_environment.h"
#include "platform/display/display_registry.h"
#include "platform/display/display_types.h"

namespace platform {

// A virtual display as the backends are asked for it.
struct VirtualDisplayRequest {
  std::string name;
  std::uint32_t pixelWidth = 0, pixelHeight = 0;
  std::uint32_t pointWidth = 0, pointHeight = 0;
  // Zero when the physical size is unknown.
  DisplaySize sizeInMillimeters;
};

// The sizes `request` asks for, as the registry keeps them for the display made.
inline void setRequestedSizes(OwnDisplayRecord& record, const VirtualDisplayRequest& request) {
  record.pixelWidth = request.pixelWidth;
  record.pixelHeight = request.pixelHeight;
  record.pointWidth = request.pointWidth;
  record.pointHeight = request.pointHeight;
  record.widthInMillimeters = request.sizeInMillimeters.width;
  record.heightInMillimeters = request.sizeInMillimeters.height;
}

// A display one of the backends made; destroying it removes the display.
class VirtualDisplayHandle {
 public:
  virtual ~VirtualDisplayHandle() = default;
  virtual DisplayID id() const = 0;
  virtual std::uint32_t pixelWidth() const = 0;
  virtual std::uint32_t pixelHeight() const = 0;
};

// One way of making virtual displays, as the generic layer asks it; the backend folders each
// implement one, and display_backends.h hands out the one an environment names.
class VirtualDisplayBackend {
 public:
  virtual ~VirtualDisplayBackend() = default;
  virtual std::expected<std::unique_ptr<VirtualDisplayHandle>, std::string> makeDisplay(
      const DisplayEnvironment& environment, const VirtualDisplayRequest& request) const = 0;
  // Takes back the displays a process that died left behind, and logs what it took. Most
  // backends' displays die with their process: nothing is left to take back.
  virtual void reclaimAbandoned(const DisplayEnvironment&) const {}
  // Whether displays can be made and captured in `environment`.
  virtual bool available(const DisplayEnvironment& environment) const = 0;
};

}  // namespace platform
