#include "streaming/starting_screen_view_model.h"

#include <utility>

#include "platform/dispatch/dispatch_queue.h"
#include "streaming/notification_names.h"

namespace streaming {

std::shared_ptr<StartingScreenViewModel> StartingScreenViewModel::make() {
  return make(Options{});
}

std::shared_ptr<StartingScreenViewModel> StartingScreenViewModel::make(Options options) {
  std::shared_ptr<StartingScreenViewModel> coordinator(
      new StartingScreenViewModel(std::move(options)));
  coordinator->start();
  return coordinator;
}

StartingScreenViewModel::StartingScreenViewModel(Options options)
    : options_(std::move(options)), windowControl_(options_.windowControl) {}

StartingScreenViewModel::~StartingScreenViewModel() = default;

void StartingScreenViewModel::start() {
  peerConnector_ = Tetherable::make(options_.port, options_.retryDelay, options_.hub);
  frameRoad_ = FrameRoad::make([connector = std::weak_ptr<Tetherable>(peerConnector_)] {
    auto peer = connector.lock();
    return peer ? peer->connectedChannel() : nullptr;
  });
  virtualScreen_ = VirtualScreen::make();
  screenCapture_ = ScreenCapture::make();

  std::weak_ptr<StartingScreenViewModel> weak = weak_from_this();
  screenCapture_->setCapturedBuffer([weak](const std::shared_ptr<platform::SampleBuffer>& sample) {
    if (auto self = weak.lock()) self->handleCapturedBuffer(sample);
  });
  // Held weakly: the manager lives inside the coordinator, and a strong hold would keep the
  // whole engine running after the starting screen let go of it.
  virtualScreen_->setScreenId([weak](std::uint32_t displayID) {
    if (auto self = weak.lock()) self->screenCapture_->startCapture(displayID);
  });
  registerObservers();
}

void StartingScreenViewModel::registerObservers() {
  auto center = platform::NotificationCenter::defaultCenter();
  std::weak_ptr<StartingScreenViewModel> weak = weak_from_this();
  const auto forward = [weak](void (StartingScreenViewModel::*handler)()) {
    return [weak, handler](const platform::Notification&) {
      if (auto self = weak.lock()) (self.get()->*handler)();
    };
  };
  attachedObserver_ =
      center->addObserver(deviceUsbAttached(), forward(&StartingScreenViewModel::onDeviceAttached));
  detachedObserver_ =
      center->addObserver(deviceUsbDetached(), forward(&StartingScreenViewModel::onDeviceDetached));
  streamingObserver_ = center->addObserver(deviceUsbStreaming(),
                                           forward(&StartingScreenViewModel::onDeviceStreaming));
  disconnectedObserver_ = center->addObserver(
      deviceDisconnected(), forward(&StartingScreenViewModel::onDeviceDisconnected));
  magicPacketObserver_ =
      center->addObserver(streamingMagicPacket(), [weak](const platform::Notification& note) {
        if (auto self = weak.lock()) self->onMagicPacketReceived(note);
      });
  refusedObserver_ =
      center->addObserver(deviceDisplayRefused(), [weak](const platform::Notification& note) {
        auto reason = note.objectAs<const std::string>();
        if (!reason) return;
        platform::DispatchQueue::main()->async([weak, reason] {
          if (auto self = weak.lock()) self->displayFailure = *reason;
        });
      });
}

void StartingScreenViewModel::changeState(DeviceStatus status,
                                          void (WindowControl::*windowAction)(),
                                          bool unlessDetached) {
  std::weak_ptr<StartingScreenViewModel> weak = weak_from_this();
  platform::DispatchQueue::main()->async([weak, status, windowAction, unlessDetached] {
    auto self = weak.lock();
    if (!self) return;
    if (self->displayFailure.get()) self->displayFailure = std::nullopt;
    if (unlessDetached && self->deviceStatus.get() == DeviceStatus::Detached) return;
    self->deviceStatus = status;
    if (self->windowControl_) (self->windowControl_.get()->*windowAction)();
  });
}

void StartingScreenViewModel::onDeviceAttached() {
  changeState(DeviceStatus::Attached, &WindowControl::restore);
}

void StartingScreenViewModel::onDeviceDetached() {
  changeState(DeviceStatus::Detached, &WindowControl::restore);
}

void StartingScreenViewModel::onDeviceStreaming() {
  changeState(DeviceStatus::Connected, &WindowControl::minimize);
}

void StartingScreenViewModel::onDeviceDisconnected() {
  // Unplugging a device ends its channel too, and that end may be reported after the unplugging:
  // it must not make an unplugged device look attached again.
  changeState(DeviceStatus::Attached, &WindowControl::restore, true);
}

void StartingScreenViewModel::onMagicPacketReceived(const platform::Notification& notification) {
  if (auto packet = notification.objectAs<const MagicPacket>()) {
    magicPacket_.store(std::move(packet));
  }
}

void StartingScreenViewModel::handleCapturedBuffer(
    const std::shared_ptr<platform::SampleBuffer>& sample) {
  std::shared_ptr<const MagicPacket> packet = magicPacket_.load();
  if (!packet) return;  // no device described yet
  frameRoad_->capture(sample, std::move(packet));
}

void StartingScreenViewModel::sendFrame(const FrameGate::Frame& frame,
                                        const std::weak_ptr<StartingScreenViewModel>& coordinator) {
  std::weak_ptr<FrameRoad> road;
  if (auto self = coordinator.lock()) road = self->frameRoad_;
  FrameRoad::run(frame, road);
}

FrameStatistics StartingScreenViewModel::frameStatistics() const {
  return frameRoad_->statistics();
}

void StartingScreenViewModel::setFrameReportHandler(
    std::function<void(const FrameReport&)> handler) {
  frameRoad_->setReportHandler(std::move(handler));
}

}  // namespace streaming
