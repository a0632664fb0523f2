#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "platform/display/sample_buffer.h"
#include "platform/graphics/buffer_pool.h"
#include "platform/graphics/image.h"
#include "streaming/magic_packet.h"

namespace streaming {

// The device keeps the bottom rows of its screen for itself; frames are made that much lower.
inline constexpr double kDeviceReservedRows = 20;

// The size the frames of a device are made for: its width by its height less the reserved
// rows. An absent dimension counts as 0 (which then yields no frame).
struct FrameTarget {
  double width = 0;
  double height = 0;
};
FrameTarget frameTargetSize(const MagicPacket& packet);

// The JPEG quality of an image of this size: 1 - 0.7 * min(height / 1080, width / 1920), held
// within [0.1, 1]. Both ratios are taken against a landscape 1920 by 1080 whatever the
// orientation of the device, so tall devices are not penalised twice.
double frameQuality(double width, double height);

// A captured frame as the image a device of the target size is sent: the capture's own pixels
// (read in place, kept alive by the image) when the target is at least 800 by 600, else a black
// canvas of the target size with the capture scaled to its height and centred. Nothing for a
// sample without pixels, in a format other than 8-bit BGRX, or a target below 1 by 1.
std::optional<platform::Image> imageFromSampleBuffer(
    double targetWidth, double targetHeight, const std::shared_ptr<platform::SampleBuffer>& sample);

// One frame ready for the device, with the moments (system uptime) its stages ended.
struct EncodedFrame {
  platform::PooledBytes jpeg;
  int width = 0;
  int height = 0;
  double quality = 0;
  double drawnAt = 0;
  double encodedAt = 0;
};

// The whole conversion of one captured frame for one device description. Nothing when any step
// yields nothing; such a frame is dropped without a word.
std::optional<EncodedFrame> encodeFrame(const std::shared_ptr<platform::SampleBuffer>& sample,
                                        const MagicPacket& packet);

// The console line printed for every encoded frame ("size of image in KB: %f ", 1 KB = 1000
// bytes).
std::string imageSizeLine(std::size_t bytes);

}  // namespace streaming
