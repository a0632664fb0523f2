#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

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
  // Why no display could be made for the connected tablet, while that holds.
  virtual std::optional<std::string> displayFailure() const { return std::nullopt; }
  // Calls `handler` with every change of it until the returned token goes away.
  [[nodiscard]] virtual platform::Cancellable observeDisplayFailure(std::function<void()> handler) {
    (void)handler;
    return {};
  }
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
  // A coordinator without `displayFailure` never reports one.
  std::optional<std::string> displayFailure() const override {
    if constexpr (requires { coordinator_->displayFailure.get(); }) {
      return coordinator_->displayFailure.get();
    } else {
      return std::nullopt;
    }
  }
  platform::Cancellable observeDisplayFailure(std::function<void()> handler) override {
    if constexpr (requires { coordinator_->displayFailure.get(); }) {
      bool first = true;
      return coordinator_->displayFailure.sink(
          [handler = std::move(handler), first](const std::optional<std::string>&) mutable {
            if (std::exchange(first, false)) return;
            handler();
          });
    } else {
      (void)handler;
      return {};
    }
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
