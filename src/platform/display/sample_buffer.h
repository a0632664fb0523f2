#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace platform {

// Pixel formats as four-character codes.
enum class PixelFormat : std::uint32_t {
  // 8 bits each of blue, green, red and a fourth byte, in memory order. X screens have no
  // alpha: the fourth byte carries none and is not guaranteed to be 255.
  bgra32 = 0x42475241,  // 'BGRA'
  // 10-bit packed ARGB (not produced on X).
  argb2101010 = 0x6C313072,  // 'l10r'
};

// The pixels of one captured frame. They stay valid (and their shared-memory buffer stays
// out of the capture's pool) while the buffer lives.
class PixelBuffer {
 public:
  PixelBuffer(std::uint32_t width, std::uint32_t height, std::size_t bytesPerRow,
              PixelFormat format, const std::uint8_t* baseAddress,
              std::shared_ptr<const void> storage)
      : width_(width),
        height_(height),
        bytesPerRow_(bytesPerRow),
        format_(format),
        baseAddress_(baseAddress),
        storage_(std::move(storage)) {}

  std::uint32_t width() const { return width_; }
  std::uint32_t height() const { return height_; }
  std::size_t bytesPerRow() const { return bytesPerRow_; }
  PixelFormat pixelFormat() const { return format_; }
  const std::uint8_t* baseAddress() const { return baseAddress_; }

 private:
  std::uint32_t width_;
  std::uint32_t height_;
  std::size_t bytesPerRow_;
  PixelFormat format_;
  const std::uint8_t* baseAddress_;
  std::shared_ptr<const void> storage_;
};

// What a captured frame is.
enum class FrameStatus : std::int64_t {
  complete = 0,  // new content
  idle = 1,      // nothing changed since the last frame; no pixels
  blank = 2,
  suspended = 3,
  started = 4,
  stopped = 5,
};

using SampleAttachmentValue = std::variant<std::int64_t, double>;
using SampleAttachments = std::map<std::string, SampleAttachmentValue>;
// Key of the frame status (an integer of `FrameStatus`) in a sample's first attachments.
inline constexpr const char* kStreamFrameInfoStatus = "status";

// One sample of a capture stream.
class SampleBuffer {
 public:
  SampleBuffer(std::shared_ptr<PixelBuffer> imageBuffer,
               std::optional<std::vector<SampleAttachments>> attachments,
               double presentationTimeStamp, bool valid = true)
      : imageBuffer_(std::move(imageBuffer)),
        attachments_(std::move(attachments)),
        presentationTimeStamp_(presentationTimeStamp),
        valid_(valid) {}

  bool isValid() const { return valid_; }
  // Null for samples without pixels (idle frames).
  const std::shared_ptr<PixelBuffer>& imageBuffer() const { return imageBuffer_; }
  // The attachments array, or null when the sample has none (asking never creates one).
  const std::vector<SampleAttachments>* sampleAttachmentsArray() const {
    return attachments_ ? &*attachments_ : nullptr;
  }
  // Seconds of `systemUptime()` at capture.
  double presentationTimeStamp() const { return presentationTimeStamp_; }

 private:
  std::shared_ptr<PixelBuffer> imageBuffer_;
  std::optional<std::vector<SampleAttachments>> attachments_;
  double presentationTimeStamp_;
  bool valid_;
};

}  // namespace platform
