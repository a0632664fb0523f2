#include "streaming/screen_recorder.h"

#include <algorithm>
#include <cmath>
#include <variant>

#include <fmt/core.h>

#include "platform/display/display_queries.h"
#include "platform/display/shareable_content.h"

namespace streaming {

void ScreenRecorder::StreamOutput::didOutputSampleBuffer(
    platform::CaptureStream&, const std::shared_ptr<platform::SampleBuffer>& sampleBuffer,
    platform::StreamOutputType type) {
  if (!sessionStarted()) return;
  if (!sampleBuffer || !sampleBuffer->isValid()) return;
  const auto* attachments = sampleBuffer->sampleAttachmentsArray();
  if (attachments == nullptr || attachments->empty()) return;
  const auto& first = attachments->front();
  auto status = first.find(platform::kStreamFrameInfoStatus);
  if (status == first.end()) return;
  const auto* value = std::get_if<std::int64_t>(&status->second);
  if (value == nullptr || *value != std::int64_t(platform::FrameStatus::complete)) return;
  if (type != platform::StreamOutputType::screen) return;
  if (capturedBuffer_) capturedBuffer_(sampleBuffer);
}

FittedSize ScreenRecorder::fittedSize(std::int32_t scale, bool highQuality, double width,
                                      double height) {
  double w = width * scale;
  double h = height * scale;
  const double maxWidth = highQuality ? 7680 : 1920;
  const double maxHeight = highQuality ? 4320 : 1080;
  const double ratio = std::max(w / maxWidth, h / maxHeight);
  if (ratio > 1) {
    w /= ratio;
    h /= ratio;
  }
  const auto whole = [](double v) {
    if (!std::isfinite(v)) return std::int32_t{0};
    return static_cast<std::int32_t>(std::clamp(std::trunc(v), -2147483648.0, 2147483647.0));
  };
  return {whole(w), whole(h)};
}

platform::StreamConfiguration ScreenRecorder::streamConfiguration(
    std::int32_t scale, platform::DisplaySize sourceSize,
    std::optional<platform::DisplayRect> cropRect, bool highQuality) {
  const auto pixels = [scale](double points) -> std::uint32_t {
    const double whole = std::trunc(points);
    if (!(whole > 0) || !std::isfinite(whole)) return 0;
    return static_cast<std::uint32_t>(std::min(whole * scale, 4294967295.0));
  };
  platform::StreamConfiguration configuration;
  configuration.setCaptureResolution(platform::CaptureResolution::best);
  if (cropRect) configuration.setSourceRect(*cropRect);
  configuration.setWidth(pixels(sourceSize.width));
  configuration.setHeight(pixels(sourceSize.height));
  configuration.setPixelFormat(highQuality ? platform::PixelFormat::argb2101010
                                           : platform::PixelFormat::bgra32);
  configuration.setColorSpaceName(highQuality ? platform::ColorSpaceName::displayP3
                                              : platform::ColorSpaceName::sRGB);
  configuration.setQueueDepth(8);
  configuration.setMinimumFrameInterval({1, 60});
  return configuration;
}

ScreenRecorder ScreenRecorder::make(platform::DisplayID displayID,
                                    std::optional<platform::DisplayRect> cropRect, bool highQuality,
                                    CapturedBuffer capturedBuffer) {
  ScreenRecorder recorder;
  recorder.videoSampleBufferQueue =
      platform::DispatchQueue::serial("ScreenRecorder.VideoSampleBufferQueue");

  const platform::DisplaySize bounds = platform::displayBounds(displayID).size;
  std::int32_t scale = 1;
  if (auto mode = platform::copyDisplayMode(displayID); mode && mode->width > 0) {
    scale = static_cast<std::int32_t>(mode->pixelWidth / mode->width);
  }
  const platform::DisplaySize source = cropRect ? cropRect->size : bounds;
  recorder.streamOutput = std::make_shared<StreamOutput>(std::move(capturedBuffer));

  const platform::ShareableContent content = platform::ShareableContent::current();
  const auto& displays = content.displays();
  auto display = std::find_if(displays.begin(), displays.end(),
                              [&](const auto& d) { return d.displayID() == displayID; });
  if (display == displays.end()) {
    throw RecordingError(
        fmt::format("Can't find display with ID {} in sharable content", displayID));
  }
  platform::ContentFilter filter(*display);
  recorder.stream = platform::CaptureStream::make(
      filter, streamConfiguration(scale, source, cropRect, highQuality));
  recorder.stream->addStreamOutput(recorder.streamOutput, platform::StreamOutputType::screen,
                                   recorder.videoSampleBufferQueue);
  return recorder;
}

}  // namespace streaming
