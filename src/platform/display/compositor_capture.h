#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/display/capture_stream.h"
#include "platform/display/display_types.h"
#include "platform/display/sample_buffer.h"
#include "platform/foundation/error.h"

namespace platform {

// Keys of the changed rectangle of a frame, in its pixels, in a sample's first attachments,
// where the compositor says what changed.
inline constexpr const char* kStreamFrameInfoDirtyX = "dirtyX";
inline constexpr const char* kStreamFrameInfoDirtyY = "dirtyY";
inline constexpr const char* kStreamFrameInfoDirtyWidth = "dirtyWidth";
inline constexpr const char* kStreamFrameInfoDirtyHeight = "dirtyHeight";

// What a capture thread hands a compositor capture: its configuration, the descriptor that
// wakes it (to stop, or because a buffer came back) and where samples go.
struct CompositorCaptureContext {
  StreamConfiguration configuration;
  int wakeFd = -1;
  std::function<void()> drainWake;
  std::function<void()> signalWake;
  const std::atomic<bool>* stopRequested = nullptr;
  std::function<void(const std::shared_ptr<SampleBuffer>&)> deliver;
};

// One running capture of a display a Wayland compositor shows; lives on the capture thread.
class CompositorCapture {
 public:
  virtual ~CompositorCapture() = default;
  virtual ErrorPtr setUp() = 0;
  // Returns null when asked to stop, else why capturing ended.
  virtual ErrorPtr loop() = 0;
};

// A virtual display of a compositor backend, as the capture finds it by its identifier.
class CompositorDisplaySource {
 public:
  virtual ~CompositorDisplaySource() = default;
  virtual std::unique_ptr<CompositorCapture> makeCapture(CompositorCaptureContext context) = 0;
};

// The compositor displays of this process, by identifier.
class CompositorDisplays {
 public:
  static CompositorDisplays& shared();
  void add(DisplayID id, std::shared_ptr<CompositorDisplaySource> source);
  void remove(DisplayID id);
  std::shared_ptr<CompositorDisplaySource> find(DisplayID id) const;

 private:
  mutable std::mutex mutex_;
  std::map<DisplayID, std::shared_ptr<CompositorDisplaySource>> sources_;
};

// The capture of `id` when a compositor backend made it; null for X displays.
std::unique_ptr<CompositorCapture> makeCompositorCapture(DisplayID id,
                                                         CompositorCaptureContext context);

}  // namespace platform
