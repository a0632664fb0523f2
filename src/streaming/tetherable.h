#pragma once

#include <any>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>

#include "platform/coding/value.h"
#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/observable.h"
#include "platform/tether/tl_channel.h"
#include "platform/tether/tl_usb_hub.h"

namespace streaming {

// The one framed channel between this computer and the companion device. It follows the USB
// hub's attached devices and connects to the device's port, keeps trying the same port on the
// loopback address (where the companion simulator listens), pings the peer every retry delay
// and turns the device's frames into the engine's notifications. Creating it starts all of
// that; it runs until it is destroyed.
//
// Every field that changes lives under one mutex that is never held while posting or calling a
// channel.
class Tetherable : public platform::TLChannelDelegate,
                   public std::enable_shared_from_this<Tetherable> {
 public:
  enum class FrameType : std::uint32_t {
    deviceInfo = 100,
    screenImage = 101,
    ping = 102,
    pong = 103,
    magicPacket = 105,
  };

  enum class KeyValueChange { willChange, didChange };

  static constexpr std::uint16_t kDefaultPort = 2345;
  static constexpr double kDefaultRetryDelay = 1.0;
  // Pings older than this are given up on, so a peer that never answers costs nothing.
  static constexpr double kPingExpiry = 10.0;
  // The largest screen description or device-info payload that is decoded at all.
  static constexpr std::size_t kMaxDescriptionBytes = 64 * 1024;

  // `hub` defaults to the shared hub.
  static std::shared_ptr<Tetherable> make(std::uint16_t port = kDefaultPort,
                                          double retryDelay = kDefaultRetryDelay,
                                          std::shared_ptr<platform::TLUSBHub> hub = nullptr);
  ~Tetherable() override;
  Tetherable(const Tetherable&) = delete;
  Tetherable& operator=(const Tetherable&) = delete;

  // Sends one ping on the connected channel, then keeps pinging every retry delay.
  void ping();
  // Run one connection attempt on the main queue, by way of "Tether.notConnectedQueue".
  void enqueueConnectToLocalIPv4Port();
  void enqueueConnectToUSBDevice();

  // The channel frames are sent on, when there is one.
  std::shared_ptr<platform::TLChannel> connectedChannel() const;
  std::optional<std::int64_t> connectedDeviceID() const;
  std::optional<std::int64_t> connectingToDeviceID() const;
  std::optional<platform::Value::Dictionary> connectedDeviceProperties() const;
  std::size_t outstandingPingCount() const;
  std::uint16_t port() const { return port_; }
  // Observation of `connectedDeviceID` ("connectedDeviceID"): each change is announced
  // before and after it happens.
  platform::Signal<KeyValueChange>& connectedDeviceIDChanges() { return connectedDeviceIDChanges_; }

  // TLChannelDelegate
  bool shouldAcceptFrame(const std::shared_ptr<platform::TLChannel>& channel, std::uint32_t type,
                         std::uint32_t tag, std::uint32_t payloadSize) override;
  void didReceiveFrame(const std::shared_ptr<platform::TLChannel>& channel, std::uint32_t type,
                       std::uint32_t tag, const platform::TLData* payload) override;
  void didEnd(const std::shared_ptr<platform::TLChannel>& channel, std::error_code error) override;

 private:
  Tetherable(std::uint16_t port, double retryDelay, std::shared_ptr<platform::TLUSBHub> hub);

  void start();
  void startListeningForDevices();
  void handleDeviceAttached(const platform::Notification& notification);
  void handleDeviceDetached(const platform::Notification& notification);
  void enqueueOnNotConnectedQueue(void (Tetherable::*attempt)());
  void afterRetryDelay(void (Tetherable::*call)());
  void connectToUSBDevice();
  // The end of a USB connection attempt on `channel`, made for `deviceID`.
  void didConnectToUSBDevice(const std::shared_ptr<platform::TLChannel>& channel,
                             std::int64_t deviceID, std::error_code error);
  // Tries the device again after the retry delay, while it is still the one attached and
  // nothing has connected it meanwhile: after a failed attempt, and after every end of its
  // channel (the app on a device that stays plugged in may start again).
  void retryUSBDevice(std::int64_t deviceID);
  void connectToLocalIPv4Port();
  bool acceptsFrameType(const std::shared_ptr<platform::TLChannel>& channel, std::uint32_t type);
  void handleFrame(std::uint32_t type, std::uint32_t tag, const platform::TLData* payload);
  void handlePong(std::uint32_t tag);
  void handleChannelEnd(const std::shared_ptr<platform::TLChannel>& channel, std::error_code error);
  void endReplacedChannel(const std::shared_ptr<platform::TLChannel>& channel);
  void announceDisconnect(const platform::TLChannel& channel, std::error_code error);
  void setConnectedDeviceID(std::optional<std::int64_t> id,
                            std::optional<std::int64_t> onlyIfEqualTo = std::nullopt);

  const std::uint16_t port_;
  const double retryDelay_;
  const std::shared_ptr<platform::TLUSBHub> hub_;
  // Attaches, detaches and connection attempts pass through it in the order they came.
  const platform::DispatchQueuePtr notConnectedQueue_;

  mutable std::mutex mutex_;
  std::optional<std::int64_t> connectingToDeviceID_;
  std::optional<std::int64_t> connectedDeviceID_;
  std::optional<platform::Value::Dictionary> connectedDeviceProperties_;
  std::shared_ptr<platform::TLChannel> connectedChannel_;
  // Outstanding pings: the system uptime each tag was sent at.
  std::map<std::uint32_t, double> pings_;

  platform::Signal<KeyValueChange> connectedDeviceIDChanges_;
  platform::ObserverToken attachObserver_;
  platform::ObserverToken detachObserver_;
};

}  // namespace streaming
