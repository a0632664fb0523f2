#include "platform/display/capture_backend.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace {

using platform::FramePacer;
using platform::PixelFormat;
using platform::StreamConfiguration;

StreamConfiguration configuration(PixelFormat format, std::uint32_t depth, bool cropped) {
  StreamConfiguration c;
  c.setPixelFormat(format);
  c.setQueueDepth(depth);
  if (cropped) c.setSourceRect({{0, 0}, {10, 10}});
  c.setWidth(640);
  c.setHeight(480);
  return c;
}

std::string describe(const platform::ErrorPtr& error) {
  return error ? error->localizedDescription() : "";
}

TEST(CaptureBackendTest, ConfigurationChecksSayWhatNoBackendCanDo) {
  struct Case {
    PixelFormat format;
    std::uint32_t depth;
    bool cropped, canCrop;
    std::string error;
  };
  const std::string format = "Only 32-bit BGRA capture is supported";
  const std::string depth = "The queue depth must be between 1 and 16";
  const std::string crop = "Capturing part of a compositor's output is not supported";
  const std::vector<Case> cases = {
      {PixelFormat::bgra32, 8, false, false, ""},
      {PixelFormat::bgra32, 1, true, true, ""},
      {PixelFormat::bgra32, 16, false, true, ""},
      {PixelFormat::bgra32, 0, false, true, depth},
      {PixelFormat::bgra32, 17, false, false, depth},
      {PixelFormat::bgra32, 8, true, false, crop},
      {PixelFormat::argb2101010, 8, false, true, format},
      {PixelFormat::argb2101010, 0, true, false, format},  // the format is said first
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "depth " << c.depth << " cropped " << c.cropped << " canCrop " << c.canCrop);
    EXPECT_EQ(describe(platform::checkCaptureConfiguration(
                  configuration(c.format, c.depth, c.cropped), c.canCrop)),
              c.error);
  }
}

TEST(CaptureBackendTest, SizeCheckRefusesAnyScaling) {
  const auto c = configuration(PixelFormat::bgra32, 8, false);
  EXPECT_EQ(describe(platform::checkCaptureSize(c, 640, 480)), "");
  EXPECT_EQ(describe(platform::checkCaptureSize(c, 640, 481)),
            "The stream asks for 640x480 pixels but the display shows 640x481; scaling is not "
            "supported");
  EXPECT_NE(describe(platform::checkCaptureSize(c, 320, 480)), "");
}

TEST(CaptureBackendTest, PollTimeOutKeepsNanosecondsAndNeverPassesZero) {
  timespec storage{-1, -1};
  EXPECT_EQ(platform::pollTimeout(FramePacer::never(), storage), nullptr);

  const timespec* past =
      platform::pollTimeout(std::chrono::steady_clock::now() - std::chrono::seconds(1), storage);
  ASSERT_EQ(past, &storage);
  EXPECT_EQ(past->tv_sec, 0);
  EXPECT_EQ(past->tv_nsec, 0);

  const auto ahead = std::chrono::seconds(3) + std::chrono::nanoseconds(500'000'001);
  const timespec* future = platform::pollTimeout(std::chrono::steady_clock::now() + ahead, storage);
  ASSERT_EQ(future, &storage);
  const auto left =
      std::chrono::seconds(future->tv_sec) + std::chrono::nanoseconds(future->tv_nsec);
  EXPECT_LE(left, ahead);
  EXPECT_GT(left, ahead - std::chrono::seconds(1));
  EXPECT_LT(future->tv_nsec, 1'000'000'000);
}

std::optional<std::int64_t> attachment(const platform::SampleBuffer& sample, const char* key) {
  const auto* all = sample.sampleAttachmentsArray();
  if (!all || all->empty()) return std::nullopt;
  auto it = all->front().find(key);
  if (it == all->front().end()) return std::nullopt;
  return std::get<std::int64_t>(it->second);
}

TEST(CaptureBackendTest, SamplesCarryTheirStatusAndTheChangedRectangleWhenKnown) {
  const auto idle = platform::idleSample();
  EXPECT_EQ(idle->imageBuffer(), nullptr);
  EXPECT_EQ(attachment(*idle, platform::kStreamFrameInfoStatus),
            std::int64_t(platform::FrameStatus::idle));

  std::vector<std::uint8_t> pixels(4 * 4 * 4);
  const auto buffer = [&] {
    return std::make_shared<platform::PixelBuffer>(4, 4, 16, PixelFormat::bgra32, pixels.data(),
                                                   nullptr);
  };
  const auto whole = platform::frameSample(buffer());
  EXPECT_EQ(attachment(*whole, platform::kStreamFrameInfoStatus),
            std::int64_t(platform::FrameStatus::complete));
  EXPECT_EQ(attachment(*whole, platform::kStreamFrameInfoDirtyX), std::nullopt);
  EXPECT_EQ(attachment(*whole, platform::kStreamFrameInfoDirtyHeight), std::nullopt);

  const auto part = platform::frameSample(buffer(), platform::PixelArea{1, 2, 3, 1});
  EXPECT_EQ(attachment(*part, platform::kStreamFrameInfoDirtyX), 1);
  EXPECT_EQ(attachment(*part, platform::kStreamFrameInfoDirtyY), 2);
  EXPECT_EQ(attachment(*part, platform::kStreamFrameInfoDirtyWidth), 3);
  EXPECT_EQ(attachment(*part, platform::kStreamFrameInfoDirtyHeight), 1);
}

TEST(CaptureBackendTest, NothingIsDueBeforeTheFirstFrameAndOneIdleSampleAfterIt) {
  int idles = 0;
  platform::CaptureBackendContext context;
  context.deliver = [&](const std::shared_ptr<platform::SampleBuffer>& sample) {
    if (attachment(*sample, platform::kStreamFrameInfoStatus) ==
        std::int64_t(platform::FrameStatus::idle))
      ++idles;
  };
  const auto interval = std::chrono::milliseconds(10);
  FramePacer pacer(interval);
  const FramePacer::Clock::time_point start{std::chrono::hours(1)};
  EXPECT_EQ(platform::deliverIdleOrWakeTime(pacer, false, start, context), FramePacer::never());

  pacer.changed();
  pacer.frameTaken(start);
  const auto wake = platform::deliverIdleOrWakeTime(pacer, true, start, context);
  ASSERT_TRUE(wake.has_value());
  EXPECT_GT(*wake, start);
  EXPECT_NE(*wake, FramePacer::never());
  EXPECT_EQ(idles, 0);

  const auto later = start + 3 * interval;
  EXPECT_EQ(platform::deliverIdleOrWakeTime(pacer, true, later, context), std::nullopt);
  EXPECT_EQ(idles, 1);
  EXPECT_EQ(platform::deliverIdleOrWakeTime(pacer, true, later, context), FramePacer::never());
  EXPECT_EQ(idles, 1);
}

}  // namespace
