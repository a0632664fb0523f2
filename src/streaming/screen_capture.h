#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "streaming/screen_recorder.h"

namespace streaming {

// Starts the capture of a new virtual display and hands every complete frame to
// `capturedBuffer` (on the recorder's sample queue). Each request replaces the recorder;
// the replaced one's stream ends with it.
class ScreenCapture : public std::enable_shared_from_this<ScreenCapture> {
 public:
  using CapturedBuffer = ScreenRecorder::CapturedBuffer;

  static std::shared_ptr<ScreenCapture> make();

  void setCapturedBuffer(CapturedBuffer capturedBuffer);
  std::optional<ScreenRecorder> screenRecorder() const;

  // Returns at once; the capture starts in a task of its own. Failures are printed as
  // "Error during recording: " and the reason.
  void startCapture(std::uint32_t displayID);

 private:
  ScreenCapture() = default;

  mutable std::mutex mutex_;
  CapturedBuffer capturedBuffer_;
  std::optional<ScreenRecorder> screenRecorder_;
};

}  // namespace streaming
