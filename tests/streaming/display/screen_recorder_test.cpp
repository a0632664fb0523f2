#include "streaming/screen_recorder.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using platform::FrameStatus;
using platform::SampleAttachments;
using streaming::FittedSize;
using streaming::ScreenRecorder;

TEST(ScreenRecorder, FitsTheWriterSizeIntoTheVideoLimit) {
  struct Case {
    std::int32_t scale;
    bool highQuality;
    double width, height;
    FittedSize fitted;
  };
  const Case cases[] = {
      {1, false, 1024, 768, {1024, 768}},    // fits as it is
      {1, false, 2560, 1440, {1920, 1080}},  // scaled down to 1080p
      {2, false, 1024, 768, {1440, 1080}},   // 2048 by 1536 pixels, bound by the height
      {1, false, 1080, 2340, {498, 1080}},   // portrait
      {1, true, 2560, 1440, {2560, 1440}},   // within 7680 by 4320
      {2, true, 5120, 2880, {7680, 4320}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ScreenRecorder::fittedSize(c.scale, c.highQuality, c.width, c.height), c.fitted)
        << c.width << "x" << c.height << " scale " << c.scale;
  }
}

TEST(ScreenRecorder, ConfiguresTheStreamForTheNativePixelSize) {
  auto standard = ScreenRecorder::streamConfiguration(1, {1024, 768}, std::nullopt, false);
  EXPECT_EQ(standard.captureResolution(), platform::CaptureResolution::best);
  EXPECT_EQ(standard.width(), 1024u);
  EXPECT_EQ(standard.height(), 768u);
  EXPECT_FALSE(standard.sourceRect());
  EXPECT_EQ(standard.pixelFormat(), platform::PixelFormat::bgra32);
  EXPECT_EQ(standard.colorSpaceName(), platform::ColorSpaceName::sRGB);
  EXPECT_EQ(standard.queueDepth(), 8u);
  EXPECT_EQ(standard.minimumFrameInterval().value, 1);
  EXPECT_EQ(standard.minimumFrameInterval().timescale, 60);

  // A device of 2560 by 1440 is captured at that size; only the writer is fitted.
  auto large = ScreenRecorder::streamConfiguration(1, {2560, 1440}, std::nullopt, false);
  EXPECT_EQ(large.width(), 2560u);
  EXPECT_EQ(large.height(), 1440u);

  // Whole points times the scale.
  auto scaled = ScreenRecorder::streamConfiguration(2, {512.7, 384.2}, std::nullopt, false);
  EXPECT_EQ(scaled.width(), 1024u);
  EXPECT_EQ(scaled.height(), 768u);

  const platform::DisplayRect crop{{10, 20}, {300, 200}};
  auto cropped = ScreenRecorder::streamConfiguration(1, crop.size, crop, true);
  EXPECT_EQ(cropped.sourceRect(), crop);
  EXPECT_EQ(cropped.width(), 300u);
  EXPECT_EQ(cropped.pixelFormat(), platform::PixelFormat::argb2101010);
  EXPECT_EQ(cropped.colorSpaceName(), platform::ColorSpaceName::displayP3);
}

std::shared_ptr<platform::SampleBuffer> sample(
    std::optional<std::vector<SampleAttachments>> attachments, bool valid = true) {
  return std::make_shared<platform::SampleBuffer>(nullptr, std::move(attachments), 0.0, valid);
}

SampleAttachments status(FrameStatus value) {
  return {{platform::kStreamFrameInfoStatus, std::int64_t(value)}};
}

TEST(ScreenRecorderStreamOutput, PassesOnlyCompleteScreenFramesOnceStarted) {
  std::vector<std::shared_ptr<platform::SampleBuffer>> passed;
  ScreenRecorder::StreamOutput output([&](const auto& buffer) { passed.push_back(buffer); });
  auto stream = platform::CaptureStream::make(
      platform::ContentFilter(platform::ShareableDisplay(1, {{0, 0}, {10, 10}})), {});
  const auto screen = platform::StreamOutputType::screen;

  auto complete = sample(std::vector{status(FrameStatus::complete)});
  output.didOutputSampleBuffer(*stream, complete, screen);
  EXPECT_TRUE(passed.empty()) << "a frame before the stream started passed";

  output.setSessionStarted();
  struct Case {
    const char* what;
    std::shared_ptr<platform::SampleBuffer> buffer;
    platform::StreamOutputType type;
  };
  const Case dropped[] = {
      {"idle", sample(std::vector{status(FrameStatus::idle)}), screen},
      {"started", sample(std::vector{status(FrameStatus::started)}), screen},
      {"invalid", sample(std::vector{status(FrameStatus::complete)}, false), screen},
      {"no attachments", sample(std::nullopt), screen},
      {"empty attachments", sample(std::vector<SampleAttachments>{}), screen},
      {"no status", sample(std::vector{SampleAttachments{{"other", std::int64_t{0}}}}), screen},
      {"status not an integer",
       sample(std::vector{SampleAttachments{{platform::kStreamFrameInfoStatus, 0.0}}}), screen},
      {"audio", sample(std::vector{status(FrameStatus::complete)}),
       platform::StreamOutputType::audio},
  };
  for (const auto& c : dropped) {
    output.didOutputSampleBuffer(*stream, c.buffer, c.type);
    EXPECT_TRUE(passed.empty()) << c.what;
  }
  // Only the first attachments dictionary counts.
  auto laterComplete =
      sample(std::vector{status(FrameStatus::idle), status(FrameStatus::complete)});
  output.didOutputSampleBuffer(*stream, laterComplete, screen);
  EXPECT_TRUE(passed.empty());

  output.didOutputSampleBuffer(*stream, complete, screen);
  ASSERT_EQ(passed.size(), 1u);
  EXPECT_EQ(passed[0], complete);
}

}  // namespace
