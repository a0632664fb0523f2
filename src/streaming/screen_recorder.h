#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/display/capture_stream.h"
#include "platform/display/display_types.h"
#include "platform/display/sample_buffer.h"
#include "platform/foundation/error.h"

namespace streaming {

// A capture request that could not be carried out; its text is all it says.
class RecordingError : public platform::Error {
 public:
  explicit RecordingError(std::string debugDescription)
      : debugDescription_(std::move(debugDescription)) {}
  std::string localizedDescription() const override { return debugDescription_; }
  std::string debugDescription() const override { return debugDescription_; }

 private:
  std::string debugDescription_;
};

// A pixel size, as `ScreenRecorder::fittedSize` gives it.
struct FittedSize {
  std::int32_t width = 0;
  std::int32_t height = 0;
  bool operator==(const FittedSize&) const = default;
};

// The capture of one display: a capture stream delivering on its own serial queue
// "ScreenRecorder.VideoSampleBufferQueue", through a StreamOutput that passes on complete
// frames only, once the stream has started.
struct ScreenRecorder {
  using CapturedBuffer = std::function<void(const std::shared_ptr<platform::SampleBuffer>&)>;

  class StreamOutput : public platform::CaptureStreamOutput {
   public:
    explicit StreamOutput(CapturedBuffer capturedBuffer)
        : capturedBuffer_(std::move(capturedBuffer)) {}

    // Samples pass from now on; turned on once the stream has started.
    void setSessionStarted() { sessionStarted_.store(true, std::memory_order_release); }
    bool sessionStarted() const { return sessionStarted_.load(std::memory_order_acquire); }

    // Hands complete screen frames to the closure; drops every other sample.
    void didOutputSampleBuffer(platform::CaptureStream& stream,
                               const std::shared_ptr<platform::SampleBuffer>& sampleBuffer,
                               platform::StreamOutputType type) override;

   private:
    std::atomic<bool> sessionStarted_{false};
    CapturedBuffer capturedBuffer_;
  };

  platform::DispatchQueuePtr videoSampleBufferQueue;
  std::shared_ptr<StreamOutput> streamOutput;
  std::shared_ptr<platform::CaptureStream> stream;

  // Prepares the capture of `displayID` (not started). Blocks while it asks the display
  // servers, so it runs off the main queue. Throws RecordingError, or the platform's error.
  static ScreenRecorder make(platform::DisplayID displayID,
                             std::optional<platform::DisplayRect> cropRect, bool highQuality,
                             CapturedBuffer capturedBuffer);

  // The source in pixels, scaled down to fit 1920 by 1080 (7680 by 4320 when high quality),
  // truncated: the size a video of it would be written at. No video is written (frames leave as
  // JPEG images of the device's size), so only its tests call it.
  static FittedSize fittedSize(std::int32_t scale, bool highQuality, double width, double height);
  // The stream configuration for a source of `sourceSize` points at `scale` pixels per point.
  static platform::StreamConfiguration streamConfiguration(
      std::int32_t scale, platform::DisplaySize sourceSize,
      std::optional<platform::DisplayRect> cropRect, bool highQuality);
};

}  // namespace streaming
