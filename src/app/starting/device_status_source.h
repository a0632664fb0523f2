#pragma once

#include <functional>
#include <memory>

#include "platform/foundation/observable.h"
#include "streaming/device_status.h"

namespace app {

// The part of the streaming coordinator the starting screen reads: the device's state, changed
// on the main queue. Owning the source keeps the streaming engine running.
class DeviceStatusSource {
 public:
  virtual ~DeviceStatusSource() = default;
  virtual streaming::DeviceStatus deviceStatus() const = 0;
  // Calls `handler` with every new state until the returned token goes away.
  [[nodiscard]] virtual platform::Cancellable observeDeviceStatus(
      std::function<void(streaming::DeviceStatus)> handler) = 0;
};

using DeviceStatusSourcePtr = std::shared_ptr<DeviceStatusSource>;
using DeviceStatusSourceFactory = std::function<DeviceStatusSourcePtr()>;

// A source over any observable coordinator with a published `deviceStatus`, which it keeps
// alive.
template <class Coordinator>
class PublishedDeviceStatusSource final : public DeviceStatusSource {
 public:
  explicit PublishedDeviceStatusSource(std::shared_ptr<Coordinator> coordinator)
      : coordinator_(std::move(coordinator)) {}
  streaming::DeviceStatus deviceStatus() const override { return coordinator_->deviceStatus.get(); }
  platform::Cancellable observeDeviceStatus(
      std::function<void(streaming::DeviceStatus)> handler) override {
    bool first = true;
    // The sink reports the current value at once; only changes are wanted here.
    return coordinator_->deviceStatus.sink(
        [handler = std::move(handler), first](const streaming::DeviceStatus& status) mutable {
          if (std::exchange(first, false)) return;
          handler(status);
        });
  }
  const std::shared_ptr<Coordinator>& coordinator() const { return coordinator_; }

 private:
  std::shared_ptr<Coordinator> coordinator_;
};

// The screen-recording permission of the desktop.
class ScreenCapturePermission {
 public:
  virtual ~ScreenCapturePermission() = default;
  virtual bool preflight() = 0;
  virtual bool request() = 0;
};

// Asks the display layer.
class DisplayScreenCapturePermission final : public ScreenCapturePermission {
 public:
  bool preflight() override;
  bool request() override;
};

}  // namespace app
