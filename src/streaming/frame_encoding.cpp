#include "streaming/frame_encoding.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>
#include <utility>

#include "platform/foundation/process_info.h"

namespace streaming {

FrameTarget frameTargetSize(const MagicPacket& packet) {
  return {static_cast<double>(packet.width().value_or(0)),
          static_cast<double>(packet.height().value_or(0)) - kDeviceReservedRows};
}

double frameQuality(double width, double height) {
  const double quality = 1.0 - 0.7 * std::min(height / 1080.0, width / 1920.0);
  return std::clamp(quality, 0.1, 1.0);
}

std::optional<platform::Image> imageFromSampleBuffer(
    double targetWidth, double targetHeight,
    const std::shared_ptr<platform::SampleBuffer>& sample) {
  if (!sample) return std::nullopt;
  const std::shared_ptr<platform::PixelBuffer>& pixels = sample->imageBuffer();
  if (!pixels || pixels->pixelFormat() != platform::PixelFormat::bgra32) return std::nullopt;
  constexpr auto kMaxSide = static_cast<std::uint32_t>(std::numeric_limits<int>::max());
  if (pixels->width() > kMaxSide || pixels->height() > kMaxSide) return std::nullopt;
  // The image keeps the pixel buffer, and with it the capture's shared-memory segment, alive
  // for as long as the frame is being drawn or encoded.
  std::optional<platform::Image> captured =
      platform::Image::wrap(pixels->baseAddress(), static_cast<int>(pixels->width()),
                            static_cast<int>(pixels->height()), pixels->bytesPerRow(), pixels);
  if (!captured) return std::nullopt;
  return captured->resized(targetWidth, targetHeight);
}

std::optional<EncodedFrame> encodeFrame(const std::shared_ptr<platform::SampleBuffer>& sample,
                                        const MagicPacket& packet) {
  const FrameTarget target = frameTargetSize(packet);
  std::optional<platform::Image> image = imageFromSampleBuffer(target.width, target.height, sample);
  if (!image) return std::nullopt;
  EncodedFrame frame;
  frame.drawnAt = platform::systemUptime();
  frame.width = image->width();
  frame.height = image->height();
  frame.quality = frameQuality(frame.width, frame.height);
  std::optional<platform::PooledBytes> jpeg = image->jpegData(frame.quality);
  if (!jpeg || jpeg->empty()) return std::nullopt;
  frame.jpeg = std::move(*jpeg);
  frame.encodedAt = platform::systemUptime();
  return frame;
}

std::string imageSizeLine(std::size_t bytes) {
  return fmt::format("size of image in KB: {:f} ", static_cast<double>(bytes) / 1000.0);
}

}  // namespace streaming
