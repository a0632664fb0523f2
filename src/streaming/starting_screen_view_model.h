#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/display/sample_buffer.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/observable.h"
#include "platform/tether/tl_usb_hub.h"
#include "streaming/device_status.h"
#include "streaming/frame_report.h"
#include "streaming/frame_road.h"
#include "streaming/magic_packet.h"
#include "streaming/screen_capture.h"
#include "streaming/tetherable.h"
#include "streaming/virtual_screen.h"

namespace streaming {

// The application's main window, as the streaming engine needs it: out of the way while the
// device shows the desktop, back when streaming ends. The application supplies one over its
// window; both calls come on the main queue and do nothing when there is no window.
class WindowControl {
 public:
  virtual ~WindowControl() = default;
  virtual void minimize() = 0;
  // Acts on the main window even while it is minimised (a minimised window is never the
  // focused one, so "the focused window" would never come back).
  virtual void restore() = 0;
};

// The streaming coordinator behind the starting screen. Creating it brings the engine to life:
// the USB channel, the virtual-screen manager and the capture starter, wired together, and the
// observers of the engine's notifications. It publishes the device session state (changed on
// the main queue only) and hands every captured frame of the device's display to its frame road,
// which encodes and sends it on the current channel.
// Destroying it stops the whole engine: its displays go, its capture ends and its channel
// closes.
class StartingScreenViewModel : public platform::ObservableObject,
                                public std::enable_shared_from_this<StartingScreenViewModel> {
 public:
  struct Options {
    std::shared_ptr<WindowControl> windowControl;
    // Where the companion device (or the simulator on loopback) is reached.
    std::uint16_t port = Tetherable::kDefaultPort;
    double retryDelay = Tetherable::kDefaultRetryDelay;
    // The shared hub when null.
    std::shared_ptr<platform::TLUSBHub> hub;
  };

  static std::shared_ptr<StartingScreenViewModel> make();
  static std::shared_ptr<StartingScreenViewModel> make(Options options);
  ~StartingScreenViewModel() override;
  StartingScreenViewModel(const StartingScreenViewModel&) = delete;
  StartingScreenViewModel& operator=(const StartingScreenViewModel&) = delete;

  // The session state the starting screen shows; Detached at first.
  platform::Published<DeviceStatus> deviceStatus{*this, DeviceStatus::Detached};
  // Why no display could be made for the connected tablet's description; cleared by the next
  // change of state (changed on the main queue only).
  platform::Published<std::optional<std::string>> displayFailure{*this, std::nullopt};

  const std::shared_ptr<Tetherable>& peerConnector() const { return peerConnector_; }
  const std::shared_ptr<VirtualScreen>& virtualScreen() const { return virtualScreen_; }
  const std::shared_ptr<ScreenCapture>& screenCapture() const { return screenCapture_; }
  const std::shared_ptr<WindowControl>& windowControl() const { return windowControl_; }
  // The latest device description; kept once set.
  std::shared_ptr<const MagicPacket> magicPacket() const { return magicPacket_.load(); }

  // Notification handlers. The four state handlers move to the main queue themselves; the
  // description handler runs where the description is announced.
  void onDeviceAttached();
  void onDeviceDetached();
  void onDeviceStreaming();
  void onDeviceDisconnected();
  void onMagicPacketReceived(const platform::Notification& notification);

  // The capture's closure: starts the encoding and sending of one captured frame, unless no
  // device description is held yet or the frame has to wait for a free slot.
  void handleCapturedBuffer(const std::shared_ptr<platform::SampleBuffer>& sample);

  // Encodes one frame for the device it was captured for and sends it as a screen image on the
  // coordinator's current channel. Runs in the frame's own task; holds the coordinator only
  // while it finds its road, and the road only while it sends.
  static void sendFrame(const FrameGate::Frame& frame,
                        const std::weak_ptr<StartingScreenViewModel>& coordinator);

  FrameStatistics frameStatistics() const;
  // Called (on the channel's thread) for every frame written to the channel.
  void setFrameReportHandler(std::function<void(const FrameReport&)> handler);

 private:
  explicit StartingScreenViewModel(Options options);
  void start();
  void registerObservers();
  // On the main queue: the new state, then the window. With `unlessDetached`, a Detached state
  // stays as it is.
  void changeState(DeviceStatus status, void (WindowControl::*windowAction)(),
                   bool unlessDetached = false);

  const Options options_;
  std::shared_ptr<WindowControl> windowControl_;
  std::shared_ptr<Tetherable> peerConnector_;
  std::shared_ptr<VirtualScreen> virtualScreen_;
  std::shared_ptr<ScreenCapture> screenCapture_;
  std::atomic<std::shared_ptr<const MagicPacket>> magicPacket_;

  // Made with the connector: frames find its current channel through a weak hold of it,
  // so a frame on its way keeps no engine alive.
  std::shared_ptr<FrameRoad> frameRoad_;

  // Last, so they go first: no notification reaches a coordinator being torn down.
  platform::ObserverToken attachedObserver_;
  platform::ObserverToken detachedObserver_;
  platform::ObserverToken streamingObserver_;
  platform::ObserverToken disconnectedObserver_;
  platform::ObserverToken magicPacketObserver_;
  platform::ObserverToken refusedObserver_;
};

}  // namespace streaming
