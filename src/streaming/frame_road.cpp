#include "streaming/frame_road.h"

#include <system_error>
#include <utility>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/log.h"
#include "platform/foundation/process_info.h"
#include "streaming/tetherable.h"

namespace streaming {

namespace {

// Every frame goes as one screen image with this tag.
constexpr std::uint32_t kScreenImageTag = 0;

}  // namespace

std::shared_ptr<FrameRoad> FrameRoad::make(ChannelSource channel) {
  return std::shared_ptr<FrameRoad>(new FrameRoad(std::move(channel)));
}

FrameRoad::FrameRoad(ChannelSource channel) : channel_(std::move(channel)) {}

void FrameRoad::capture(const std::shared_ptr<platform::SampleBuffer>& sample,
                        std::shared_ptr<const MagicPacket> packet) {
  if (auto frame = gate_.admit(sample, std::move(packet), platform::systemUptime())) {
    startTask(std::move(*frame));
  }
}

void FrameRoad::startTask(FrameGate::Frame frame) {
  platform::DispatchQueue::global(platform::QoS::userInteractive)
      ->async([frame = std::move(frame), weak = weak_from_this()] { run(frame, weak); });
}

void FrameRoad::finished() {
  if (auto next = gate_.finish()) startTask(std::move(*next));
}

void FrameRoad::run(const FrameGate::Frame& frame, const std::weak_ptr<FrameRoad>& road) {
  FrameReport report;
  report.sequence = frame.sequence;
  report.capturedAt = frame.sample->presentationTimeStamp();
  report.receivedAt = frame.receivedAt;
  report.startedAt = platform::systemUptime();
  std::optional<EncodedFrame> encoded = encode(frame, report);
  if (!encoded) {
    if (auto self = road.lock()) {
      ++self->unencodable_;
      self->finished();
    }
    return;
  }
  if (auto self = road.lock()) self->send(frame, encoded, report);
}

std::optional<EncodedFrame> FrameRoad::encode(const FrameGate::Frame& frame, FrameReport& report) {
  std::optional<EncodedFrame> encoded = encodeFrame(frame.sample, *frame.packet);
  if (!encoded) return std::nullopt;
  platform::print(imageSizeLine(encoded->jpeg.size()));
  report.drawnAt = encoded->drawnAt;
  report.encodedAt = encoded->encodedAt;
  report.width = encoded->width;
  report.height = encoded->height;
  report.bytes = encoded->jpeg.size();
  return encoded;
}

void FrameRoad::send(const FrameGate::Frame& frame, std::optional<EncodedFrame>& encoded,
                     FrameReport report) {
  std::shared_ptr<platform::TLChannel> channel = channel_ ? channel_() : nullptr;
  if (!channel) {
    ++unsent_;
    finished();
    return;
  }
  platform::TLData payload(encoded->jpeg.data(), encoded->jpeg.data() + encoded->jpeg.size());
  encoded.reset();  // its buffer goes back to the pool before the send
  const bool queued = gate_.sendInOrder(frame.sequence, [&] {
    report.queuedAt = platform::systemUptime();
    channel->sendFrame(static_cast<std::uint32_t>(Tetherable::FrameType::screenImage),
                       kScreenImageTag, std::move(payload),
                       [road = weak_from_this(), report](std::error_code error) mutable {
                         if (auto line = frameSendFailureLine(error)) platform::print(*line);
                         auto self = road.lock();
                         if (!self) return;
                         if (error) {
                           ++self->unsent_;
                         } else {
                           report.sentAt = platform::systemUptime();
                           self->sent(report);
                         }
                         self->finished();
                       });
  });
  if (!queued) finished();
}

void FrameRoad::sent(const FrameReport& report) {
  ++sent_;
  bytesSent_ += report.bytes;
  std::function<void(const FrameReport&)> handler;
  {
    std::lock_guard lock(reportMutex_);
    handler = reportHandler_;
  }
  if (handler) handler(report);
}

FrameStatistics FrameRoad::statistics() const {
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

void FrameRoad::setReportHandler(std::function<void(const FrameReport&)> handler) {
  std::lock_guard lock(reportMutex_);
  reportHandler_ = std::move(handler);
}

}  // namespace streaming
