#pragma once

namespace streaming {

// The device session state the starting screen shows. std::hash covers enumerations, so
// it can key unordered containers as it is.
enum class DeviceStatus {
  Detached,   // no companion device is plugged in
  Attached,   // a device is plugged in, nothing is streamed
  Connected,  // a virtual display exists for the device and its capture was started
};

}  // namespace streaming
