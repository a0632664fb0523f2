#include "streaming/screen_capture.h"

#include <exception>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/display/screen_capture_access.h"
#include "platform/foundation/log.h"

namespace streaming {

namespace {

void reportRecordingError(const std::string& text) {
  platform::print("Error during recording: " + text);
}

}  // namespace

std::shared_ptr<ScreenCapture> ScreenCapture::make() {
  return std::shared_ptr<ScreenCapture>(new ScreenCapture());
}

void ScreenCapture::setCapturedBuffer(CapturedBuffer capturedBuffer) {
  std::lock_guard lock(mutex_);
  capturedBuffer_ = std::move(capturedBuffer);
}

std::optional<ScreenRecorder> ScreenCapture::screenRecorder() const {
  std::lock_guard lock(mutex_);
  return screenRecorder_;
}

void ScreenCapture::startCapture(std::uint32_t displayID) {
  platform::DispatchQueue::global()->async([weak = weak_from_this(), displayID] {
    try {
      if (!platform::preflightScreenCaptureAccess()) {
        throw RecordingError("No screen capture permission");
      }
      auto self = weak.lock();
      if (!self) return;
      CapturedBuffer capturedBuffer;
      {
        std::lock_guard lock(self->mutex_);
        capturedBuffer = self->capturedBuffer_;
      }
      if (!capturedBuffer) return;

      ScreenRecorder recorder =
          ScreenRecorder::make(displayID, std::nullopt, false, std::move(capturedBuffer));
      std::optional<ScreenRecorder> replaced;
      {
        std::lock_guard lock(self->mutex_);
        replaced = std::exchange(self->screenRecorder_, recorder);
      }
      // The previous recorder's stream ends here, outside the lock.
      replaced.reset();

      recorder.stream->startCapture([output = recorder.streamOutput](platform::ErrorPtr error) {
        if (error) {
          reportRecordingError(error->localizedDescription());
          return;
        }
        output->setSessionStarted();
      });
    } catch (const platform::Error& error) {
      reportRecordingError(error.localizedDescription());
    } catch (const std::exception& error) {
      reportRecordingError(error.what());
    }
  });
}

}  // namespace streaming
