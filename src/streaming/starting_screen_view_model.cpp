#include "streaming/starting_screen_view_model.h"

#include <system_error>
#include <utility>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/log.h"
#include "platform/foundation/process_info.h"
#include "streaming/frame_encoding.h"
#include "streaming/notification_names.h"

namespace streaming {

namespace {

// Every frame goes as one screen image with this tag.
constexpr std::uint32_t kScreenImageTag = 0;

}  // namespace

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
  if (auto frame = gate_.admit(sample, std::move(packet), platform::systemUptime())) {
    startFrameTask(std::move(*frame));
  }
}

void StartingScreenViewModel::startFrameTask(FrameGate::Frame frame) {
  platform::DispatchQueue::global(platform::QoS::userInteractive)
      ->async([frame = std::move(frame), weak = weak_from_this()] { sendFrame(frame, weak); });
}

void StartingScreenViewModel::frameFinished() {
  if (auto next = gate_.finish()) startFrameTask(std::move(*next));
}

void StartingScreenViewModel::sendFrame(const FrameGate::Frame& frame,
                                        const std::weak_ptr<StartingScreenViewModel>& coordinator) {
  FrameReport report;
  report.sequence = frame.sequence;
  report.capturedAt = frame.sample->presentationTimeStamp();
  report.receivedAt = frame.receivedAt;
  report.startedAt = platform::systemUptime();
  std::optional<EncodedFrame> encoded = encodeFrame(frame.sample, *frame.packet);
  if (!encoded) {
    if (auto self = coordinator.lock()) {
      ++self->unencodable_;
      self->frameFinished();
    }
    return;
  }
  platform::print(imageSizeLine(encoded->jpeg.size()));
  report.drawnAt = encoded->drawnAt;
  report.encodedAt = encoded->encodedAt;
  report.width = encoded->width;
  report.height = encoded->height;
  report.bytes = encoded->jpeg.size();

  auto self = coordinator.lock();
  if (!self) return;
  std::shared_ptr<platform::TLChannel> channel = self->peerConnector_->connectedChannel();
  if (!channel) {
    ++self->unsent_;
    self->frameFinished();
    return;
  }
  platform::TLData payload(encoded->jpeg.data(), encoded->jpeg.data() + encoded->jpeg.size());
  encoded.reset();  // its buffer goes back to the pool before the send
  const bool queued = self->gate_.sendInOrder(frame.sequence, [&] {
    report.queuedAt = platform::systemUptime();
    channel->sendFrame(static_cast<std::uint32_t>(Tetherable::FrameType::screenImage),
                       kScreenImageTag, std::move(payload),
                       [coordinator, report](std::error_code error) mutable {
                         if (auto line = frameSendFailureLine(error)) platform::print(*line);
                         auto self = coordinator.lock();
                         if (!self) return;
                         if (error) {
                           ++self->unsent_;
                         } else {
                           report.sentAt = platform::systemUptime();
                           self->frameSent(report);
                         }
                         self->frameFinished();
                       });
  });
  if (!queued) self->frameFinished();
}

void StartingScreenViewModel::frameSent(const FrameReport& report) {
  ++sent_;
  bytesSent_ += report.bytes;
  std::function<void(const FrameReport&)> handler;
  {
    std::lock_guard lock(reportMutex_);
    handler = reportHandler_;
  }
  if (handler) handler(report);
}

FrameStatistics StartingScreenViewModel::frameStatistics() const {
  FrameStatistics statistics;
  statistics.captured = gate_.admittedCount();
  statistics.dropped = gate_.droppedCount();
  statistics.stale = gate_.staleCount();
  statistics.unencodable = unencodable_.load();
  statistics.unsent = unsent_.load();
  statistics.sent = sent_.load();
  statistics.bytesSent = bytesSent_.load();
  return statistics;
}

void StartingScreenViewModel::setFrameReportHandler(
    std::function<void(const FrameReport&)> handler) {
  std::lock_guard lock(reportMutex_);
  reportHandler_ = std::move(handler);
}

}  // namespace streaming
