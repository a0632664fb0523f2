#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/display/display_error.h"
#include "platform/display/display_types.h"
#include "platform/display/sample_buffer.h"
#include "platform/display/shareable_content.h"
#include "platform/foundation/error.h"

namespace platform {

// A time as a rational number of seconds.
struct MediaTime {
  std::int64_t value = 0;
  std::int32_t timescale = 0;
  double seconds() const { return timescale > 0 ? double(value) / timescale : 0.0; }
};

enum class CaptureResolution { automatic, best, nominal };
enum class ColorSpaceName { sRGB, displayP3 };

// How a capture stream captures.
class StreamConfiguration {
 public:
  void setCaptureResolution(CaptureResolution resolution) { captureResolution_ = resolution; }
  CaptureResolution captureResolution() const { return captureResolution_; }
  // Output size in pixels. On X the picture is not scaled: it must equal the captured
  // rectangle's pixel size.
  void setWidth(std::uint32_t width) { width_ = width; }
  std::uint32_t width() const { return width_; }
  void setHeight(std::uint32_t height) { height_ = height; }
  std::uint32_t height() const { return height_; }
  // A rectangle of the display, in its points; the whole display when absent.
  void setSourceRect(DisplayRect rect) { sourceRect_ = rect; }
  const std::optional<DisplayRect>& sourceRect() const { return sourceRect_; }
  void setPixelFormat(PixelFormat format) { pixelFormat_ = format; }
  PixelFormat pixelFormat() const { return pixelFormat_; }
  void setColorSpaceName(ColorSpaceName name) { colorSpaceName_ = name; }
  ColorSpaceName colorSpaceName() const { return colorSpaceName_; }
  // Frames that may be in flight at once (held by consumers); 1 to 16.
  void setQueueDepth(std::uint32_t depth) { queueDepth_ = depth; }
  std::uint32_t queueDepth() const { return queueDepth_; }
  // At most one frame per this interval.
  void setMinimumFrameInterval(MediaTime interval) { minimumFrameInterval_ = interval; }
  MediaTime minimumFrameInterval() const { return minimumFrameInterval_; }

 private:
  CaptureResolution captureResolution_ = CaptureResolution::automatic;
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  std::optional<DisplayRect> sourceRect_;
  PixelFormat pixelFormat_ = PixelFormat::bgra32;
  ColorSpaceName colorSpaceName_ = ColorSpaceName::sRGB;
  std::uint32_t queueDepth_ = 8;
  MediaTime minimumFrameInterval_{1, 60};
};

// Frames of a large display are large: the capture's pool of shared-memory buffers holds at
// most this many bytes (fewer buffers than the queue depth), but never fewer than two
// buffers, or one when the queue depth is one.
inline constexpr std::size_t kMaxCapturePoolBytes = std::size_t{128} << 20;
std::uint32_t capturePoolBufferCount(std::uint32_t width, std::uint32_t height,
                                     std::uint32_t queueDepth);

enum class StreamOutputType { screen = 0, audio = 1 };

class CaptureStream;

// Receives a stream's samples, on the queue it was added with.
class CaptureStreamOutput {
 public:
  virtual ~CaptureStreamOutput() = default;
  virtual void didOutputSampleBuffer(CaptureStream& stream,
                                     const std::shared_ptr<SampleBuffer>& sampleBuffer,
                                     StreamOutputType type) = 0;
};

// Hears when a stream ends by itself (its display or X server went away).
class CaptureStreamDelegate {
 public:
  virtual ~CaptureStreamDelegate() = default;
  virtual void didStopWithError(CaptureStream& stream, const ErrorPtr& error) = 0;
};

// Captures one display, on one thread per stream, through the backend of whatever shows it (see
// capture_backend.h): frames go into a pool of `queueDepth` shared buffers. The first frame is
// always complete; afterwards a frame is captured only when the display's content changed, and
// one idle sample marks the moment it stopped changing. Samples go to the outputs' queues; a
// released stream delivers nothing more.
class CaptureStream : public std::enable_shared_from_this<CaptureStream> {
 public:
  // Without a delegate, a stream that ends by itself logs why.
  static std::shared_ptr<CaptureStream> make(ContentFilter filter,
                                             StreamConfiguration configuration,
                                             std::weak_ptr<CaptureStreamDelegate> delegate = {});
  // Stops capturing.
  ~CaptureStream();
  CaptureStream(const CaptureStream&) = delete;
  CaptureStream& operator=(const CaptureStream&) = delete;

  // Throws DisplayError for an audio output (X captures no sound), a missing queue, or a
  // stream already capturing.
  void addStreamOutput(std::shared_ptr<CaptureStreamOutput> output, StreamOutputType type,
                       DispatchQueuePtr sampleHandlerQueue);

  // Starts the capture thread. The completion runs on a global queue with null on success or
  // the reason; no sample is captured before it has returned.
  void startCapture(std::function<void(ErrorPtr)> completion);

  const ContentFilter& filter() const;
  const StreamConfiguration& configuration() const;

  struct Engine;

 private:
  CaptureStream(ContentFilter filter, StreamConfiguration configuration,
                std::weak_ptr<CaptureStreamDelegate> delegate);
  std::shared_ptr<Engine> engine_;
};

}  // namespace platform
