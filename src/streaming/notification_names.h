#pragma once

#include <string>

// The names under which the parts of the streaming engine tell each other what happened,
// on the default notification centre. Each is built on first use and kept for the life of
// the process. Observers register without an object filter.
namespace streaming {

// A newly attached device was switched to. No object.
inline const std::string& deviceUsbAttached() {
  static const std::string name = "com.deviceUsb.attached";
  return name;
}

// The device being connected to was unplugged. No object.
inline const std::string& deviceUsbDetached() {
  static const std::string name = "com.deviceUsb.detached";
  return name;
}

// The device described its screen with a width and a height. Object: the MagicPacket, as
// std::shared_ptr<const MagicPacket>.
inline const std::string& deviceConnected() {
  static const std::string name = "com.device.connected";
  return name;
}

// A virtual display is about to be created for a description. Object: the MagicPacket, as
// std::shared_ptr<const MagicPacket>.
inline const std::string& streamingMagicPacket() {
  static const std::string name = "com.streaming.magicpacket";
  return name;
}

// Capture of the new virtual display was asked for. No object.
inline const std::string& deviceUsbStreaming() {
  static const std::string name = "com.deviceUsb.streaming";
  return name;
}

// No display could be made for the device's description. Object: why, in a line a user
// understands, as std::shared_ptr<const std::string>.
inline const std::string& deviceDisplayRefused() {
  static const std::string name = "com.device.displayRefused";
  return name;
}

// The connected channel ended. No object.
inline const std::string& deviceDisconnected() {
  static const std::string name = "com.device.disconnected";
  return name;
}

}  // namespace streaming
