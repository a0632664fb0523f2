#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/main_queue.h"
#include "platform/display/capture_backend.h"
#include "platform/display/capture_stream.h"
#include "platform/display/display_error.h"
#include "platform/display/sample_buffer.h"

namespace testing_display {

// One pixel as 0xRRGGBB, from a BGRX buffer.
inline std::uint32_t pixelAt(const platform::PixelBuffer& buffer, std::uint32_t x,
                             std::uint32_t y) {
  const std::uint8_t* p = buffer.baseAddress() + y * buffer.bytesPerRow() + x * 4;
  return std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0];
}

inline platform::FrameStatus statusOf(const platform::SampleBuffer& sample) {
  const auto* attachments = sample.sampleAttachmentsArray();
  if (!attachments || attachments->empty()) return platform::FrameStatus::stopped;
  auto found = attachments->front().find(platform::kStreamFrameInfoStatus);
  return platform::FrameStatus(std::get<std::int64_t>(found->second));
}

struct Area {
  std::int64_t x = 0, y = 0, width = 0, height = 0;
  bool contains(const Area& other) const {
    return other.x >= x && other.y >= y && other.x + other.width <= x + width &&
           other.y + other.height <= y + height;
  }
};

// The changed rectangle a frame carries, if it carries one.
inline std::optional<Area> damageOf(const platform::SampleBuffer& sample) {
  const auto* attachments = sample.sampleAttachmentsArray();
  if (!attachments || attachments->empty()) return std::nullopt;
  const auto& first = attachments->front();
  const auto value = [&](const char* key) -> std::optional<std::int64_t> {
    auto it = first.find(key);
    if (it == first.end()) return std::nullopt;
    return std::get<std::int64_t>(it->second);
  };
  auto x = value(platform::kStreamFrameInfoDirtyX), y = value(platform::kStreamFrameInfoDirtyY),
       w = value(platform::kStreamFrameInfoDirtyWidth),
       h = value(platform::kStreamFrameInfoDirtyHeight);
  if (!x || !y || !w || !h) return std::nullopt;
  return Area{*x, *y, *w, *h};
}

// Keeps the complete frames it is given, newest last, and counts the idle ones.
class FrameCollector : public platform::CaptureStreamOutput,
                       public platform::CaptureStreamDelegate {
 public:
  void didOutputSampleBuffer(platform::CaptureStream&,
                             const std::shared_ptr<platform::SampleBuffer>& sample,
                             platform::StreamOutputType) override {
    std::lock_guard lock(mutex_);
    if (statusOf(*sample) == platform::FrameStatus::complete) {
      complete_.push_back(sample);
      // Holding every frame would run the capture out of buffers.
      if (complete_.size() > 2) complete_.erase(complete_.begin());
      ++completeCount_;
    } else if (statusOf(*sample) == platform::FrameStatus::idle) {
      ++idleCount_;
    }
  }
  void didStopWithError(platform::CaptureStream&, const platform::ErrorPtr& error) override {
    std::lock_guard lock(mutex_);
    error_ = error;
  }

  std::shared_ptr<platform::SampleBuffer> newest() const {
    std::lock_guard lock(mutex_);
    return complete_.empty() ? nullptr : complete_.back();
  }
  std::size_t completeCount() const {
    std::lock_guard lock(mutex_);
    return completeCount_;
  }
  std::size_t idleCount() const {
    std::lock_guard lock(mutex_);
    return idleCount_;
  }
  platform::ErrorPtr error() const {
    std::lock_guard lock(mutex_);
    return error_;
  }

  // Waits for the newest complete frame to be, pixel for pixel, `expected` (0xRRGGBB by place);
  // answers how the newest frame differed at the end, or nothing once one matched.
  std::string waitForPicture(
      const std::function<std::uint32_t(std::uint32_t, std::uint32_t)>& expected,
      double seconds = 10) {
    std::string difference = "no frame arrived";
    platform::runMainUntil(
        [&] {
          auto frame = newest();
          if (!frame || !frame->imageBuffer()) return false;
          const platform::PixelBuffer& image = *frame->imageBuffer();
          std::size_t wrong = 0;
          difference.clear();
          for (std::uint32_t y = 0; y < image.height(); ++y) {
            for (std::uint32_t x = 0; x < image.width(); ++x) {
              const std::uint32_t got = pixelAt(image, x, y), want = expected(x, y);
              if (got == want) continue;
              if (wrong++ == 0) {
                difference = fmt::format("at {},{}: {:06x} where {:06x} was drawn", x, y, got, want);
              }
            }
          }
          if (wrong > 0) difference += fmt::format(" ({} pixels differ)", wrong);
          return wrong == 0;
        },
        seconds);
    return difference;
  }

  // Waits for a complete frame whose pixel (x, y) is `rgb`; answers it.
  std::shared_ptr<platform::SampleBuffer> waitForPixel(std::uint32_t x, std::uint32_t y,
                                                       std::uint32_t rgb, double seconds = 10) {
    std::shared_ptr<platform::SampleBuffer> found;
    platform::runMainUntil(
        [&] {
          auto frame = newest();
          if (frame && frame->imageBuffer() && pixelAt(*frame->imageBuffer(), x, y) == rgb) {
            found = frame;
          }
          return found != nullptr;
        },
        seconds);
    return found;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<platform::SampleBuffer>> complete_;
  std::size_t completeCount_ = 0, idleCount_ = 0;
  platform::ErrorPtr error_;
};

// Starts a whole-display stream of `width`×`height` into the collector; returns the start's
// error.
inline platform::ErrorPtr startStream(std::shared_ptr<platform::CaptureStream>& stream,
                                      platform::DisplayID id, std::uint32_t width,
                                      std::uint32_t height,
                                      const std::shared_ptr<FrameCollector>& collector) {
  platform::StreamConfiguration configuration;
  configuration.setWidth(width);
  configuration.setHeight(height);
  configuration.setQueueDepth(4);
  configuration.setMinimumFrameInterval({1, 60});
  stream = platform::CaptureStream::make(platform::ContentFilter(platform::ShareableDisplay(
                                             id, {{0, 0}, {double(width), double(height)}})),
                                         std::move(configuration), collector);
  stream->addStreamOutput(collector, platform::StreamOutputType::screen,
                          platform::DispatchQueue::serial("test.samples"));
  auto done = std::make_shared<std::atomic<bool>>(false);
  auto result = std::make_shared<platform::ErrorPtr>();
  auto guard = std::make_shared<std::mutex>();
  stream->startCapture([done, result, guard](platform::ErrorPtr error) {
    std::lock_guard lock(*guard);
    *result = error;
    *done = true;
  });
  platform::runMainUntil([&] { return done->load(); }, 10);
  std::lock_guard lock(*guard);
  return *done ? *result : platform::makeError(platform::DisplayError("The stream did not start"));
}

}  // namespace testing_display
