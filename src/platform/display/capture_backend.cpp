#include "platform/display/capture_backend.h"

#include <vector>

#include <fmt/core.h>

#include "platform/display/display_error.h"
#include "platform/foundation/process_info.h"

namespace platform {

ErrorPtr checkCaptureConfiguration(const StreamConfiguration& configuration, bool canCrop) {
  if (configuration.pixelFormat() != PixelFormat::bgra32) {
    return displayError("Only 32-bit BGRA capture is supported");
  }
  if (configuration.queueDepth() < 1 || configuration.queueDepth() > 16) {
    return displayError("The queue depth must be between 1 and 16");
  }
  if (!canCrop && configuration.sourceRect()) {
    return displayError("Capturing part of a compositor's output is not supported");
  }
  return nullptr;
}

ErrorPtr checkCaptureSize(const StreamConfiguration& configuration, std::uint32_t width,
                          std::uint32_t height) {
  if (configuration.width() == width && configuration.height() == height) return nullptr;
  return displayError(fmt::format(
      "The stream asks for {}x{} pixels but the display shows {}x{}; scaling is not supported",
      configuration.width(), configuration.height(), width, height));
}

const timespec* pollTimeout(std::chrono::steady_clock::time_point wakeAt, timespec& storage) {
  if (wakeAt == FramePacer::never()) return nullptr;
  storage = timespec{};
  const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
      wakeAt - std::chrono::steady_clock::now());
  if (left.count() > 0) {
    storage.tv_sec = static_cast<time_t>(left.count() / 1'000'000'000);
    storage.tv_nsec = static_cast<long>(left.count() % 1'000'000'000);
  }
  return &storage;
}

std::optional<FramePacer::Clock::time_point> deliverIdleOrWakeTime(
    FramePacer& pacer, bool anyFrame, FramePacer::Clock::time_point now,
    const CaptureBackendContext& context) {
  const FramePacer::Decision decision = anyFrame ? pacer.decide(now) : FramePacer::Decision{};
  if (decision.step == FramePacer::Step::idle) {
    context.deliver(idleSample());
    pacer.idleReported();
    return std::nullopt;
  }
  return decision.step == FramePacer::Step::wait ? decision.wakeAt : FramePacer::never();
}

std::shared_ptr<SampleBuffer> idleSample() {
  std::vector<SampleAttachments> attachments{
      {{kStreamFrameInfoStatus, std::int64_t(FrameStatus::idle)}}};
  return std::make_shared<SampleBuffer>(nullptr, std::move(attachments), systemUptime());
}

std::shared_ptr<SampleBuffer> frameSample(std::shared_ptr<PixelBuffer> pixels,
                                          std::optional<PixelArea> changed) {
  SampleAttachments info{{kStreamFrameInfoStatus, std::int64_t(FrameStatus::complete)}};
  if (changed) {
    info.emplace(kStreamFrameInfoDirtyX, std::int64_t{changed->x});
    info.emplace(kStreamFrameInfoDirtyY, std::int64_t{changed->y});
    info.emplace(kStreamFrameInfoDirtyWidth, std::int64_t{changed->width});
    info.emplace(kStreamFrameInfoDirtyHeight, std::int64_t{changed->height});
  }
  std::vector<SampleAttachments> attachments{std::move(info)};
  return std::make_shared<SampleBuffer>(std::move(pixels), std::move(attachments), systemUptime());
}

}  // namespace platform
