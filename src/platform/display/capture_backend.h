#pragma once

#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/display/capture_stream.h"
#include "platform/display/frame_pacer.h"
#include "platform/display/sample_buffer.h"
#include "platform/foundation/error.h"

namespace platform {

// Keys of the changed rectangle of a frame, in its pixels, in a sample's first attachments,
// where the backend knows what changed.
inline constexpr const char* kStreamFrameInfoDirtyX = "dirtyX";
inline constexpr const char* kStreamFrameInfoDirtyY = "dirtyY";
inline constexpr const char* kStreamFrameInfoDirtyWidth = "dirtyWidth";
inline constexpr const char* kStreamFrameInfoDirtyHeight = "dirtyHeight";

// A rectangle of a frame or of a screen, in pixels.
struct PixelArea {
  std::int32_t x = 0, y = 0;
  std::uint32_t width = 0, height = 0;
  bool operator==(const PixelArea&) const = default;
};

// What a capture thread hands a capture backend: its configuration, the descriptor that wakes
// it (to stop, or because a buffer came back) and where samples go.
struct CaptureBackendContext {
  StreamConfiguration configuration;
  int wakeFd = -1;
  std::function<void()> drainWake;
  std::function<void()> signalWake;
  const std::atomic<bool>* stopRequested = nullptr;
  std::function<void(const std::shared_ptr<SampleBuffer>&)> deliver;
};

// One running capture of one display, by whatever shows it (an X server, a compositor); lives
// on the capture thread of a `CaptureStream`.
class CaptureBackend {
 public:
  virtual ~CaptureBackend() = default;
  virtual ErrorPtr setUp() = 0;
  // Returns null when asked to stop, else why capturing ended.
  virtual ErrorPtr loop() = 0;
};

// Why no backend can capture with `configuration`: only BGRA, 1 to 16 frames in flight, and a
// part of the display only where the backend `canCrop`. Null when it can.
ErrorPtr checkCaptureConfiguration(const StreamConfiguration& configuration, bool canCrop);
// Why `configuration` does not fit a picture of `width`×`height` pixels: nothing is scaled.
ErrorPtr checkCaptureSize(const StreamConfiguration& configuration, std::uint32_t width,
                          std::uint32_t height);

// The time-out of a wait until `wakeAt` for ppoll, written into `storage`: null (no end) for
// `FramePacer::never()`, zero once the time has passed. It is kept to the nanosecond: rounding
// it up to whole milliseconds would put every frame late in its slot.
const timespec* pollTimeout(std::chrono::steady_clock::time_point wakeAt, timespec& storage);

// The pacing of a capture whose frames come when the compositor has them: nothing is due before
// the first frame; afterwards the idle sample is delivered once due (then nullopt: look again
// at once), else the answer is the latest time to wake.
std::optional<FramePacer::Clock::time_point> deliverIdleOrWakeTime(
    FramePacer& pacer, bool anyFrame, FramePacer::Clock::time_point now,
    const CaptureBackendContext& context);

// The sample that marks the moment the display stopped changing.
std::shared_ptr<SampleBuffer> idleSample();
// A complete frame of `pixels`, with the rectangle that changed where the backend knows it.
std::shared_ptr<SampleBuffer> frameSample(std::shared_ptr<PixelBuffer> pixels,
                                          std::optional<PixelArea> changed = std::nullopt);

}  // namespace platform
