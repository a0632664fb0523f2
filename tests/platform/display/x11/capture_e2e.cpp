#include <gtest/gtest.h>
#include <signal.h>
#include <xcb/xtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/main_queue.h"
#include "platform/display/capture_stream.h"
#include "platform/display/display_queries.h"
#include "platform/display/shareable_content.h"
#include "platform/display/support/x_test_server.h"
#include "platform/display/virtual_display.h"
#include "support/recorder.h"

namespace {

using platform::FrameStatus;
using platform::VirtualDisplayBackendKind;
using testing_display::kBaseWidth;

constexpr std::uint32_t kWidth = 320;
constexpr std::uint32_t kHeight = 240;

// One pixel as 0xRRGGBB, from a BGRX buffer.
std::uint32_t pixelAt(const platform::PixelBuffer& buffer, std::uint32_t x, std::uint32_t y) {
  const std::uint8_t* p = buffer.baseAddress() + y * buffer.bytesPerRow() + x * 4;
  return std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0];
}

FrameStatus statusOf(const platform::SampleBuffer& sample) {
  const auto* attachments = sample.sampleAttachmentsArray();
  if (!attachments || attachments->empty()) return FrameStatus::stopped;
  auto found = attachments->front().find(platform::kStreamFrameInfoStatus);
  return FrameStatus(std::get<std::int64_t>(found->second));
}

// Keeps every sample it is given (and so holds the complete frames' buffers).
class Collector : public platform::CaptureStreamOutput, public platform::CaptureStreamDelegate {
 public:
  void didOutputSampleBuffer(platform::CaptureStream&,
                             const std::shared_ptr<platform::SampleBuffer>& sample,
                             platform::StreamOutputType) override {
    std::lock_guard lock(mutex_);
    samples_.push_back(sample);
  }
  void didStopWithError(platform::CaptureStream&, const platform::ErrorPtr& error) override {
    std::lock_guard lock(mutex_);
    error_ = error;
  }

  std::vector<std::shared_ptr<platform::SampleBuffer>> complete() const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<platform::SampleBuffer>> result;
    for (const auto& sample : samples_) {
      if (statusOf(*sample) == FrameStatus::complete) result.push_back(sample);
    }
    return result;
  }
  std::size_t idleCount() const {
    std::lock_guard lock(mutex_);
    return std::count_if(samples_.begin(), samples_.end(),
                         [](const auto& s) { return statusOf(*s) == FrameStatus::idle; });
  }
  std::size_t sampleCount() const {
    std::lock_guard lock(mutex_);
    return samples_.size();
  }
  // Lets go of every sample but the newest complete one.
  void releaseAllButLast() {
    std::lock_guard lock(mutex_);
    std::shared_ptr<platform::SampleBuffer> newest;
    for (const auto& sample : samples_) {
      if (statusOf(*sample) == FrameStatus::complete) newest = sample;
    }
    samples_.clear();
    if (newest) samples_.push_back(newest);
  }
  platform::ErrorPtr error() const {
    std::lock_guard lock(mutex_);
    return error_;
  }

  bool waitForComplete(std::size_t count, double seconds = 10) const {
    return platform::runMainUntil([&] { return complete().size() >= count; }, seconds);
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<platform::SampleBuffer>> samples_;
  platform::ErrorPtr error_;
};

// Notes when each sample came and what its frame showed at one pixel, and lets go of it at once,
// so the capture never runs out of buffers.
class Recorder : public platform::CaptureStreamOutput {
 public:
  struct Entry {
    FrameStatus status;
    double time;
    std::uint32_t pixel;
  };
  void didOutputSampleBuffer(platform::CaptureStream&,
                             const std::shared_ptr<platform::SampleBuffer>& sample,
                             platform::StreamOutputType) override {
    const FrameStatus status = statusOf(*sample);
    const std::uint32_t pixel =
        status == FrameStatus::complete ? pixelAt(*sample->imageBuffer(), 5, 5) : 0;
    entries_.add({status, sample->presentationTimeStamp(), pixel});
  }
  std::vector<Entry> entries() const { return entries_.entries(); }
  std::vector<Entry> complete() const {
    auto all = entries();
    std::erase_if(all, [](const Entry& e) { return e.status != FrameStatus::complete; });
    return all;
  }

 private:
  testsupport::Recorder<Entry> entries_;
};

platform::StreamConfiguration configurationFor(std::uint32_t width, std::uint32_t height,
                                               std::uint32_t queueDepth = 8) {
  platform::StreamConfiguration configuration;
  configuration.setWidth(width);
  configuration.setHeight(height);
  configuration.setQueueDepth(queueDepth);
  configuration.setMinimumFrameInterval({1, 60});
  return configuration;
}

class CaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing_display::TestXServer::available()) GTEST_SKIP() << "Xvfb is not installed";
    server_.start(VirtualDisplayBackendKind::randrMonitor);
    collector_ = std::make_shared<Collector>();
  }

  void TearDown() override {
    stream_.reset();
    display_.reset();
  }

  void makeDisplay(std::uint32_t width = kWidth, std::uint32_t height = kHeight) {
    platform::VirtualDisplayDescriptor descriptor;
    descriptor.setName("Tovarine Capture");
    platform::VirtualDisplaySettings settings;
    settings.setModes({platform::VirtualDisplayMode(width, height, 60)});
    display_ = std::make_unique<platform::VirtualDisplay>(descriptor);
    ASSERT_TRUE(display_->applySettings(settings)) << display_->failureReason();
  }

  platform::ShareableDisplay shareable(platform::DisplayID id) {
    const auto content = platform::ShareableContent::current();
    for (const auto& display : content.displays()) {
      if (display.displayID() == id) return display;
    }
    ADD_FAILURE() << "display " << id << " is not shareable";
    return platform::ShareableDisplay(id, {});
  }

  // Starts a stream on the display into the collector; returns the start's error.
  platform::ErrorPtr startStream(platform::StreamConfiguration configuration) {
    stream_ =
        platform::CaptureStream::make(platform::ContentFilter(shareable(display_->displayID())),
                                      std::move(configuration), collector_);
    stream_->addStreamOutput(collector_, platform::StreamOutputType::screen,
                             platform::DispatchQueue::serial("test.samples"));
    std::atomic<bool> done{false};
    platform::ErrorPtr result;
    std::mutex mutex;
    stream_->startCapture([&](platform::ErrorPtr error) {
      std::lock_guard lock(mutex);
      result = error;
      done = true;
    });
    EXPECT_TRUE(platform::runMainUntil([&] { return done.load(); }, 10));
    std::lock_guard lock(mutex);
    return result;
  }

  testing_display::TestXServer server_;
  std::shared_ptr<Collector> collector_;
  std::unique_ptr<platform::VirtualDisplay> display_;
  std::shared_ptr<platform::CaptureStream> stream_;
};

TEST_F(CaptureTest, DeliversTheFirstFrameThenOnlyChangesOfTheDisplay) {
  makeDisplay();
  server_.fillRoot(kBaseWidth, 0, kWidth, kHeight, 0x000000);
  ASSERT_EQ(startStream(configurationFor(kWidth, kHeight)), nullptr);

  ASSERT_TRUE(collector_->waitForComplete(1));
  auto first = collector_->complete().front();
  ASSERT_TRUE(first->imageBuffer());
  EXPECT_EQ(first->imageBuffer()->width(), kWidth);
  EXPECT_EQ(first->imageBuffer()->height(), kHeight);
  EXPECT_EQ(first->imageBuffer()->bytesPerRow(), kWidth * 4);
  EXPECT_EQ(first->imageBuffer()->pixelFormat(), platform::PixelFormat::bgra32);
  EXPECT_EQ(pixelAt(*first->imageBuffer(), 20, 20), 0x000000u);

  // Nothing changes: one idle sample, no further frame.
  ASSERT_TRUE(platform::runMainUntil([&] { return collector_->idleCount() >= 1; }, 10));
  EXPECT_EQ(collector_->complete().size(), 1u);
  EXPECT_EQ(collector_->idleCount(), 1u);
  EXPECT_EQ(collector_->sampleCount(), 2u);
  EXPECT_EQ(collector_->complete().front()->imageBuffer().get(), first->imageBuffer().get());

  // Drawing beside the display is not its change; drawing on it is.
  server_.fillRoot(0, 0, 200, 200, 0x00ff00);
  server_.fillRoot(kBaseWidth + 10, 10, 50, 50, 0xff0000);
  ASSERT_TRUE(collector_->waitForComplete(2));
  auto changed = collector_->complete().back();
  EXPECT_EQ(pixelAt(*changed->imageBuffer(), 20, 20), 0xff0000u);
  EXPECT_EQ(pixelAt(*changed->imageBuffer(), 100, 100), 0x000000u);
  EXPECT_EQ(pixelAt(*first->imageBuffer(), 20, 20), 0x000000u) << "a held frame was overwritten";
  ASSERT_TRUE(platform::runMainUntil([&] { return collector_->idleCount() >= 2; }, 10));
  EXPECT_EQ(collector_->complete().size(), 2u);
}

TEST_F(CaptureTest, ADisplayChangingNonStopGetsAtMostSixtyFramesASecondThenFallsSilent) {
  makeDisplay();
  auto recorder = std::make_shared<Recorder>();
  stream_ = platform::CaptureStream::make(platform::ContentFilter(shareable(display_->displayID())),
                                          configurationFor(kWidth, kHeight));
  stream_->addStreamOutput(recorder, platform::StreamOutputType::screen,
                           platform::DispatchQueue::serial("test.samples"));
  std::atomic<bool> started{false};
  stream_->startCapture([&](platform::ErrorPtr error) {
    EXPECT_EQ(error, nullptr);
    started = true;
  });
  ASSERT_TRUE(platform::runMainUntil([&] { return started.load(); }, 10));

  // Another client redraws the display as fast as the server takes it, far above 60 Hz.
  constexpr std::uint32_t kLastColour = 0x00aa55;
  std::atomic<bool> drawing{true};
  std::thread drawer([&, name = server_.displayName()] {
    auto own = platform::x11::Connection::open(name);
    ASSERT_TRUE(own);
    for (std::uint32_t i = 0; drawing.load(); ++i) {
      testing_display::TestXServer::fillRootOn(**own, kBaseWidth, 0, kWidth, kHeight,
                                               (i % 2) ? 0x102030 : 0x302010);
    }
    testing_display::TestXServer::fillRootOn(**own, kBaseWidth, 0, kWidth, kHeight, kLastColour);
  });
  constexpr std::size_t kFrames = 150;
  const bool enough =
      platform::runMainUntil([&] { return recorder->complete().size() >= kFrames; }, 30);
  drawing = false;
  drawer.join();
  ASSERT_TRUE(enough);

  // Any 61 frames in a row span at least 59 intervals, less the spread of their grab times.
  const auto frames = recorder->complete();
  constexpr double kInterval = 1.0 / 60;
  for (std::size_t i = 0; i + 60 < frames.size(); ++i) {
    ASSERT_GE(frames[i + 60].time - frames[i].time, 58 * kInterval) << "from frame " << i;
  }

  // Once the drawing stops: the last picture arrives, then one idle sample, then nothing.
  ASSERT_TRUE(platform::runMainUntil(
      [&] {
        const auto all = recorder->entries();
        return !all.empty() && all.back().status == FrameStatus::idle;
      },
      10));
  const auto settled = recorder->entries();
  EXPECT_EQ(recorder->complete().back().pixel, kLastColour);
  EXPECT_FALSE(
      platform::runMainUntil([&] { return recorder->entries().size() > settled.size(); }, 0.3))
      << "an unchanged display kept sending";
}

TEST_F(CaptureTest, AReusedBufferCatchesUpOnEveryChangeSinceItWasLastFilled) {
  makeDisplay();
  server_.fillRoot(kBaseWidth, 0, kWidth, kHeight, 0x000000);
  // Three buffers: each new frame lands in a buffer that missed the changes of the two before.
  ASSERT_EQ(startStream(configurationFor(kWidth, kHeight, 3)), nullptr);
  ASSERT_TRUE(collector_->waitForComplete(1));
  constexpr int kSquares = 8;
  const auto colourOf = [](int k) { return 0x100000u * std::uint32_t(k + 1) + 0x40u; };
  for (int k = 0; k < kSquares; ++k) {
    SCOPED_TRACE(k);
    // Small squares on rows of their own, down the display and on alternate sides.
    const std::int16_t x = std::int16_t(kBaseWidth + (k % 2 ? 200 : 20));
    server_.fillRoot(x, std::int16_t(10 + 28 * k), 12, 12, colourOf(k));
    ASSERT_TRUE(platform::runMainUntil(
        [&] {
          auto frames = collector_->complete();
          return pixelAt(*frames.back()->imageBuffer(), k % 2 ? 205 : 25, 15 + 28 * k) ==
                 colourOf(k);
        },
        10));
    const auto frame = collector_->complete().back();
    for (int j = 0; j <= k; ++j) {
      EXPECT_EQ(pixelAt(*frame->imageBuffer(), j % 2 ? 205 : 25, 15 + 28 * j), colourOf(j))
          << "square " << j;
    }
    EXPECT_EQ(pixelAt(*frame->imageBuffer(), 110, 15 + 28 * k), 0x000000u);
    collector_->releaseAllButLast();
  }
}

TEST_F(CaptureTest, SeesWindowsMappedOverTheDisplay) {
  makeDisplay();
  ASSERT_EQ(startStream(configurationFor(kWidth, kHeight)), nullptr);
  ASSERT_TRUE(collector_->waitForComplete(1));
  server_.mapWindow(kBaseWidth + 100, 100, 60, 40, 0x0000ff);
  ASSERT_TRUE(platform::runMainUntil(
      [&] {
        auto frames = collector_->complete();
        return frames.size() >= 2 && pixelAt(*frames.back()->imageBuffer(), 120, 120) == 0x0000ffu;
      },
      10));
}

// A solid square cursor of `side` pixels in 0xRRGGBB, its hot spot at its top left corner.
xcb_cursor_t squareCursor(platform::x11::Connection& x, std::uint16_t side, std::uint32_t rgb) {
  xcb_connection_t* c = x.get();
  const xcb_pixmap_t bits = xcb_generate_id(c);
  xcb_create_pixmap(c, 1, bits, x.root(), side, side);
  const xcb_gcontext_t gc = xcb_generate_id(c);
  const std::uint32_t one = 1;
  xcb_create_gc(c, gc, bits, XCB_GC_FOREGROUND, &one);
  const xcb_rectangle_t all{0, 0, side, side};
  xcb_poly_fill_rectangle(c, bits, gc, 1, &all);
  const xcb_cursor_t cursor = xcb_generate_id(c);
  const auto channel = [rgb](int shift) { return std::uint16_t(((rgb >> shift) & 0xff) * 257); };
  xcb_create_cursor(c, cursor, bits, bits, channel(16), channel(8), channel(0), 0, 0, 0, 0, 0);
  xcb_free_gc(c, gc);
  xcb_free_pixmap(c, bits);
  return cursor;
}

// Moves the pointer as a mouse would (through the X Test extension) and returns where the
// server put it: it keeps a moving pointer inside its CRTCs.
std::pair<std::int32_t, std::int32_t> movePointer(platform::x11::Connection& x, std::int16_t rootX,
                                                  std::int16_t rootY) {
  xcb_test_fake_input(x.get(), XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, x.root(), rootX, rootY, 0);
  platform::x11::Reply<xcb_query_pointer_reply_t> pointer(
      xcb_query_pointer_reply(x.get(), xcb_query_pointer(x.get(), x.root()), nullptr));
  if (!pointer) return {-1, -1};
  return {pointer->root_x, pointer->root_y};
}

// The display's server is `x`, the display's left edge at `originX` on its root window. Each
// step changes only the pointer; the frame it brings shows the pointer where the server put it
// (or nowhere) and every other pixel of the display black. `offX` (when the server's screen
// reaches beyond the display) is where the pointer leaves the display for.
void pointerSteps(Collector& collector, platform::x11::Connection& x, std::int32_t originX,
                  std::optional<std::int16_t> offX) {
  constexpr std::uint16_t kSide = 8;
  constexpr std::uint32_t kRed = 0xff0000, kGreen = 0x00ff00;
  const xcb_cursor_t red = squareCursor(x, kSide, kRed);
  const xcb_cursor_t green = squareCursor(x, kSide, kGreen);
  const auto wear = [&](xcb_cursor_t cursor) {
    ASSERT_TRUE(
        x.check(xcb_change_window_attributes_checked(x.get(), x.root(), XCB_CW_CURSOR, &cursor)));
  };
  struct Step {
    const char* name;
    std::int32_t x, y;  // on the display; off it when `off`
    bool off;
    xcb_cursor_t cursor;
    std::uint32_t colour;
    bool grabbed = false;  // another client holds the pointer, as while a window is dragged
  };
  const Step steps[] = {
      {"moved onto the display", 40, 50, false, red, kRed},
      {"moved while another client holds the pointer", 120, 90, false, red, kRed, true},
      {"moved on the display", 200, 150, false, red, kRed},
      {"new shape, same place", 200, 150, false, green, kGreen},
      {"half over the display's right edge", std::int32_t(kWidth - kSide / 2), 20, false, green,
       kGreen},
      {"moved off the display", 0, 100, true, green, kGreen},
  };
  for (const Step& step : steps) {
    if (step.off && !offX) continue;
    SCOPED_TRACE(step.name);
    collector.releaseAllButLast();
    const std::size_t before = collector.complete().size();
    wear(step.cursor);
    if (step.grabbed) {
      platform::x11::Reply<xcb_grab_pointer_reply_t> grab(xcb_grab_pointer_reply(
          x.get(),
          xcb_grab_pointer(x.get(), 0, x.root(), XCB_EVENT_MASK_POINTER_MOTION, XCB_GRAB_MODE_ASYNC,
                           XCB_GRAB_MODE_ASYNC, XCB_NONE, XCB_NONE, XCB_CURRENT_TIME),
          nullptr));
      ASSERT_TRUE(grab && grab->status == XCB_GRAB_STATUS_SUCCESS);
    }
    const auto [px, py] =
        movePointer(x, std::int16_t(step.off ? *offX : originX + step.x), std::int16_t(step.y));
    ASSERT_TRUE(collector.waitForComplete(before + 1)) << "no frame for the pointer alone";
    // The pointer's frame is the newest once the capture falls idle again.
    ASSERT_TRUE(platform::runMainUntil([&] { return collector.idleCount() >= 1; }, 10));
    const auto frame = collector.complete().back()->imageBuffer();
    const std::int32_t left = px - originX, top = py;
    std::size_t lit = 0;
    for (std::int32_t fy = 0; fy < std::int32_t(kHeight); ++fy) {
      for (std::int32_t fx = 0; fx < std::int32_t(kWidth); ++fx) {
        const bool under = fx >= left && fx < left + kSide && fy >= top && fy < top + kSide;
        const std::uint32_t pixel = pixelAt(*frame, std::uint32_t(fx), std::uint32_t(fy));
        if (under) {
          ++lit;
          ASSERT_EQ(pixel, step.colour) << "at " << fx << "," << fy;
        } else {
          ASSERT_EQ(pixel, 0x000000u) << "a trace at " << fx << "," << fy;
        }
      }
    }
    EXPECT_EQ(lit > 0, !step.off) << "pointer at " << px << "," << py;
    if (step.grabbed) xcb_ungrab_pointer(x.get(), XCB_CURRENT_TIME);
  }
  if (offX) {
    // A pointer moving about beside the display brings no frame.
    collector.releaseAllButLast();
    const std::size_t settled = collector.sampleCount();
    movePointer(x, std::int16_t(*offX + 200), 300);
    movePointer(x, 20, 700);
    EXPECT_FALSE(platform::runMainUntil([&] { return collector.sampleCount() > settled; }, 0.3));
  }
  xcb_free_cursor(x.get(), red);
  xcb_free_cursor(x.get(), green);
}

// On a monitor of the test server the pointer can reach only the display's first columns (the
// server keeps a moving pointer on its one CRTC), so the cursor is seen there in part; on a
// server of the display's own it goes everywhere on it.
TEST_F(CaptureTest, ThePointerIsDrawnWhereItIsAndAMoveOrNewShapeAloneMakesAFrame) {
  struct Row {
    const char* name;
    VirtualDisplayBackendKind backend;
  };
  for (const Row& row : {Row{"monitor", VirtualDisplayBackendKind::randrMonitor},
                         Row{"own server", VirtualDisplayBackendKind::xvfbPerDisplay}}) {
    SCOPED_TRACE(row.name);
    platform::DisplayEnvironment environment = platform::currentDisplayEnvironment();
    environment.backend = row.backend;
    platform::setDisplayEnvironment(environment);
    movePointer(server_.x(), 100, 100);
    collector_ = std::make_shared<Collector>();
    makeDisplay();
    auto location = platform::locateDisplay(display_->displayID());
    ASSERT_TRUE(location);
    auto own = platform::x11::Connection::open(location->xDisplay);
    ASSERT_TRUE(own);
    const bool monitor = row.backend == VirtualDisplayBackendKind::randrMonitor;
    testing_display::TestXServer::fillRootOn(**own, std::int16_t(location->x), 0, kWidth, kHeight,
                                             0x000000);
    if (!monitor) movePointer(**own, 0, std::int16_t(kHeight - 1));
    ASSERT_EQ(startStream(configurationFor(kWidth, kHeight)), nullptr);
    ASSERT_TRUE(collector_->waitForComplete(1));
    ASSERT_TRUE(platform::runMainUntil([&] { return collector_->idleCount() >= 1; }, 10));
    pointerSteps(*collector_, **own, location->x,
                 monitor ? std::optional<std::int16_t>(100) : std::nullopt);
    stream_.reset();
    display_.reset();
  }
}

TEST_F(CaptureTest, HoldsBackFramesWhileEveryBufferIsHeld) {
  makeDisplay();
  ASSERT_EQ(startStream(configurationFor(kWidth, kHeight, 2)), nullptr);
  ASSERT_TRUE(collector_->waitForComplete(1));
  server_.fillRoot(kBaseWidth, 0, 10, 10, 0x111111);
  ASSERT_TRUE(collector_->waitForComplete(2));

  // Both buffers are held: the next change waits for one to come back.
  server_.fillRoot(kBaseWidth, 0, 10, 10, 0x222222);
  EXPECT_FALSE(collector_->waitForComplete(3, 0.5));
  collector_->releaseAllButLast();
  ASSERT_TRUE(collector_->waitForComplete(2));  // the newest kept, plus the one now captured
  EXPECT_EQ(pixelAt(*collector_->complete().back()->imageBuffer(), 5, 5), 0x222222u);
}

TEST_F(CaptureTest, AVanishedServerEndsTheStreamWithAnError) {
  makeDisplay();
  ASSERT_EQ(startStream(configurationFor(kWidth, kHeight)), nullptr);
  ASSERT_TRUE(collector_->waitForComplete(1));
  server_.server().sendSignal(SIGKILL);
  ASSERT_TRUE(platform::runMainUntil([&] { return collector_->error() != nullptr; }, 10));
  EXPECT_NE(collector_->error()->localizedDescription().find("was lost"), std::string::npos)
      << collector_->error()->localizedDescription();
  // Frames already delivered stay readable.
  EXPECT_EQ(collector_->complete().front()->imageBuffer()->width(), kWidth);
}

TEST_F(CaptureTest, ARemovedDisplayEndsTheStreamWithAnError) {
  makeDisplay();
  ASSERT_EQ(startStream(configurationFor(kWidth, kHeight)), nullptr);
  ASSERT_TRUE(collector_->waitForComplete(1));
  display_.reset();
  ASSERT_TRUE(platform::runMainUntil([&] { return collector_->error() != nullptr; }, 10));
  EXPECT_EQ(collector_->error()->localizedDescription(),
            "The captured display is no longer available");
}

TEST_F(CaptureTest, CapturesADisplayWithAServerOfItsOwn) {
  platform::DisplayEnvironment environment = platform::currentDisplayEnvironment();
  environment.backend = VirtualDisplayBackendKind::xvfbPerDisplay;
  platform::setDisplayEnvironment(environment);
  makeDisplay();
  ASSERT_EQ(startStream(configurationFor(kWidth, kHeight)), nullptr);
  ASSERT_TRUE(collector_->waitForComplete(1));

  auto location = platform::locateDisplay(display_->displayID());
  ASSERT_TRUE(location);
  auto own = platform::x11::Connection::open(location->xDisplay);
  ASSERT_TRUE(own);
  testing_display::TestXServer::fillRootOn(**own, 0, 0, 40, 40, 0x00ffff);
  ASSERT_TRUE(platform::runMainUntil(
      [&] {
        auto frames = collector_->complete();
        return frames.size() >= 2 && pixelAt(*frames.back()->imageBuffer(), 5, 5) == 0x00ffffu;
      },
      10));
}

TEST_F(CaptureTest, RefusesToStartWhatItCannotCapture) {
  makeDisplay();
  auto error = startStream(configurationFor(kWidth / 2, kHeight / 2));
  ASSERT_NE(error, nullptr);
  EXPECT_NE(error->localizedDescription().find("scaling is not supported"), std::string::npos);

  stream_ = platform::CaptureStream::make(
      platform::ContentFilter(platform::ShareableDisplay(12345, {{0, 0}, {kWidth, kHeight}})),
      configurationFor(kWidth, kHeight));
  std::atomic<bool> done{false};
  std::string text;
  stream_->startCapture([&](platform::ErrorPtr e) {
    text = e ? e->localizedDescription() : "";
    done = true;
  });
  ASSERT_TRUE(platform::runMainUntil([&] { return done.load(); }, 10));
  EXPECT_EQ(text, "The display 12345 is not available");
  EXPECT_THROW(stream_->addStreamOutput(collector_, platform::StreamOutputType::audio, nullptr),
               platform::DisplayError);
}

}  // namespace
