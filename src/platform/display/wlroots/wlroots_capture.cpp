#include "platform/display/wlroots/wlroots_capture.h"

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

#include <fmt/core.h>

#include "platform/display/capture_buffer_pool.h"
#include "platform/display/display_error.h"
#include "platform/display/frame_pacer.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

namespace platform {

namespace wlroots {

PixelArea unite(const PixelArea& a, const PixelArea& b) {
  if (a.width == 0 || a.height == 0) return b;
  if (b.width == 0 || b.height == 0) return a;
  const std::int64_t left = std::min(a.x, b.x), top = std::min(a.y, b.y);
  const std::int64_t right = std::max(std::int64_t{a.x} + a.width, std::int64_t{b.x} + b.width);
  const std::int64_t bottom = std::max(std::int64_t{a.y} + a.height, std::int64_t{b.y} + b.height);
  return {static_cast<std::int32_t>(left), static_cast<std::int32_t>(top),
          static_cast<std::uint32_t>(right - left), static_cast<std::uint32_t>(bottom - top)};
}

PixelArea frameDamage(const PixelArea& damage, std::uint32_t width, std::uint32_t height,
                      bool yInverted) {
  const std::int64_t left = std::clamp<std::int64_t>(damage.x, 0, width);
  const std::int64_t top = std::clamp<std::int64_t>(damage.y, 0, height);
  const std::int64_t right =
      std::clamp<std::int64_t>(std::int64_t{damage.x} + damage.width, 0, width);
  const std::int64_t bottom =
      std::clamp<std::int64_t>(std::int64_t{damage.y} + damage.height, 0, height);
  if (right <= left || bottom <= top) return {};
  PixelArea clipped{static_cast<std::int32_t>(left), static_cast<std::int32_t>(top),
                    static_cast<std::uint32_t>(right - left),
                    static_cast<std::uint32_t>(bottom - top)};
  if (yInverted) clipped.y = static_cast<std::int32_t>(height - bottom);
  return clipped;
}

}  // namespace wlroots

namespace {

using Clock = std::chrono::steady_clock;

// The pool's buffers as the compositor knows them, by the pool's index.
class BufferPool {
 public:
  explicit BufferPool(std::function<void()> wake)
      : pool_(std::make_shared<CaptureBufferPool>(std::move(wake))) {}
  ~BufferPool() {
    for (wl_buffer* buffer : buffers_)
      wl_buffer_destroy(buffer);
  }
  void add(wl_buffer* buffer, std::shared_ptr<CaptureMapping> mapping) {
    pool_->add(std::move(mapping));
    buffers_.push_back(buffer);
  }
  struct Loan {
    wl_buffer* buffer = nullptr;
    std::shared_ptr<CaptureMapping> mapping;
    std::size_t index = 0;
  };
  std::optional<Loan> acquire() {
    auto loan = pool_->acquire();
    if (!loan) return std::nullopt;
    return Loan{buffers_[loan->index], loan->mapping, loan->index};
  }
  bool hasFree() const { return pool_->hasFree(); }
  void giveBack(std::size_t index) { pool_->giveBack(index); }
  std::shared_ptr<const void> lease(const Loan& loan) {
    return pool_->lease({loan.mapping, loan.index});
  }

 private:
  std::shared_ptr<CaptureBufferPool> pool_;
  std::vector<wl_buffer*> buffers_;
};

struct OutputEntry {
  std::uint32_t globalName = 0;
  wl_output* output = nullptr;
  zxdg_output_v1* xdgOutput = nullptr;
  std::string name;
};

class ScreencopyCapture final : public CaptureBackend {
 public:
  ScreencopyCapture(std::string waylandDisplay, std::string output, CaptureBackendContext context)
      : waylandDisplay_(std::move(waylandDisplay)),
        outputName_(std::move(output)),
        context_(std::move(context)),
        pool_(std::make_unique<BufferPool>(context_.signalWake)) {}

  ~ScreencopyCapture() override {
    for (Frame& frame : frames_)
      if (frame.object) zwlr_screencopy_frame_v1_destroy(frame.object);
    pool_.reset();
    for (auto& entry : outputs_) {
      if (entry.xdgOutput) zxdg_output_v1_destroy(entry.xdgOutput);
      if (entry.output) wl_output_destroy(entry.output);
    }
    if (xdgOutputs_) zxdg_output_manager_v1_destroy(xdgOutputs_);
    if (screencopy_) zwlr_screencopy_manager_v1_destroy(screencopy_);
    if (shm_) wl_shm_destroy(shm_);
    if (registry_) wl_registry_destroy(registry_);
    if (display_) wl_display_disconnect(display_);
  }

  ErrorPtr setUp() override;
  ErrorPtr loop() override;

  // The frame being copied: at most one at a time.
  struct Frame {
    ScreencopyCapture* owner = nullptr;
    std::uint64_t sequence = 0;
    zwlr_screencopy_frame_v1* object = nullptr;
    std::optional<BufferPool::Loan> loan;
    std::uint32_t format = 0, width = 0, height = 0, stride = 0;
    bool shmOffered = false, described = false, yInverted = false, ready = false, failed = false;
    PixelArea damage;
  };

  static void onGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                       std::uint32_t version);
  static void onGlobalRemove(void* data, wl_registry*, std::uint32_t name);
  static void onXdgName(void* data, zxdg_output_v1*, const char* name);

  static void onBuffer(void* data, zwlr_screencopy_frame_v1*, std::uint32_t format,
                       std::uint32_t width, std::uint32_t height, std::uint32_t stride);
  static void onFlags(void* data, zwlr_screencopy_frame_v1*, std::uint32_t flags);
  static void onReady(void* data, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t,
                      std::uint32_t);
  static void onFailed(void* data, zwlr_screencopy_frame_v1*);
  static void onDamage(void* data, zwlr_screencopy_frame_v1*, std::uint32_t x, std::uint32_t y,
                       std::uint32_t width, std::uint32_t height);
  static void onDmabuf(void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t,
                       std::uint32_t) {}
  static void onBufferDone(void* data, zwlr_screencopy_frame_v1*);

 private:
  Frame& beginFrame(Frame& frame);
  void endFrame(Frame& frame);
  ErrorPtr connectionError() const;
  ErrorPtr makeBuffers(std::uint32_t count);
  void deliverFrame(Frame& frame);

  std::string waylandDisplay_;
  std::string outputName_;
  CaptureBackendContext context_;
  std::unique_ptr<BufferPool> pool_;

  wl_display* display_ = nullptr;
  wl_registry* registry_ = nullptr;
  wl_shm* shm_ = nullptr;
  zwlr_screencopy_manager_v1* screencopy_ = nullptr;
  std::uint32_t screencopyVersion_ = 0;
  zxdg_output_manager_v1* xdgOutputs_ = nullptr;
  std::vector<OutputEntry> outputs_;
  wl_output* target_ = nullptr;
  std::uint32_t targetGlobal_ = 0;
  bool targetGone_ = false;

  // Two copies in flight: while one is being answered, the next already waits for the change
  // after it, so a frame never waits for a round trip to be asked for.
  static constexpr std::size_t kInFlight = 2;
  std::array<Frame, kInFlight> frames_;
  std::uint64_t nextSequence_ = 1;
  std::uint32_t width_ = 0, height_ = 0, stride_ = 0, format_ = 0;
  int consecutiveFailures_ = 0;
};

void ScreencopyCapture::onGlobal(void* data, wl_registry* registry, std::uint32_t name,
                                 const char* interface, std::uint32_t version) {
  auto* self = static_cast<ScreencopyCapture*>(data);
  const std::string_view kind(interface);
  if (kind == wl_shm_interface.name) {
    self->shm_ = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
  } else if (kind == zwlr_screencopy_manager_v1_interface.name) {
    self->screencopyVersion_ = std::min<std::uint32_t>(version, 3);
    self->screencopy_ = static_cast<zwlr_screencopy_manager_v1*>(wl_registry_bind(
        registry, name, &zwlr_screencopy_manager_v1_interface, self->screencopyVersion_));
  } else if (kind == zxdg_output_manager_v1_interface.name && version >= 2) {
    self->xdgOutputs_ = static_cast<zxdg_output_manager_v1*>(
        wl_registry_bind(registry, name, &zxdg_output_manager_v1_interface, 2));
  } else if (kind == wl_output_interface.name) {
    OutputEntry entry;
    entry.globalName = name;
    entry.output = static_cast<wl_output*>(wl_registry_bind(registry, name, &wl_output_interface,
                                                            std::min<std::uint32_t>(version, 3)));
    self->outputs_.push_back(entry);
  }
}

void ScreencopyCapture::onGlobalRemove(void* data, wl_registry*, std::uint32_t name) {
  auto* self = static_cast<ScreencopyCapture*>(data);
  if (self->targetGlobal_ != 0 && name == self->targetGlobal_) self->targetGone_ = true;
}

void ScreencopyCapture::onXdgName(void* data, zxdg_output_v1* object, const char* name) {
  auto* self = static_cast<ScreencopyCapture*>(data);
  for (auto& entry : self->outputs_)
    if (entry.xdgOutput == object) entry.name = name;
}

void ScreencopyCapture::onBuffer(void* data, zwlr_screencopy_frame_v1*, std::uint32_t format,
                                 std::uint32_t width, std::uint32_t height, std::uint32_t stride) {
  auto& frame = *static_cast<Frame*>(data);
  // XRGB8888 and ARGB8888 are both B, G, R, X bytes in memory.
  if (format == WL_SHM_FORMAT_XRGB8888 || format == WL_SHM_FORMAT_ARGB8888 || !frame.shmOffered) {
    frame.format = format;
    frame.width = width;
    frame.height = height;
    frame.stride = stride;
    frame.shmOffered = true;
  }
}

void ScreencopyCapture::onFlags(void* data, zwlr_screencopy_frame_v1*, std::uint32_t flags) {
  static_cast<Frame*>(data)->yInverted = (flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
}

void ScreencopyCapture::onReady(void* data, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t,
                                std::uint32_t) {
  static_cast<Frame*>(data)->ready = true;
}

void ScreencopyCapture::onFailed(void* data, zwlr_screencopy_frame_v1*) {
  static_cast<Frame*>(data)->failed = true;
}

void ScreencopyCapture::onDamage(void* data, zwlr_screencopy_frame_v1*, std::uint32_t x,
                                 std::uint32_t y, std::uint32_t width, std::uint32_t height) {
  auto& frame = *static_cast<Frame*>(data);
  const PixelArea area{static_cast<std::int32_t>(std::min<std::uint32_t>(x, 1u << 30)),
                       static_cast<std::int32_t>(std::min<std::uint32_t>(y, 1u << 30)),
                       std::min<std::uint32_t>(width, 1u << 30),
                       std::min<std::uint32_t>(height, 1u << 30)};
  frame.damage = wlroots::unite(frame.damage, area);
}

void ScreencopyCapture::onBufferDone(void* data, zwlr_screencopy_frame_v1*) {
  Frame& frame = *static_cast<Frame*>(data);
  ScreencopyCapture* self = frame.owner;
  frame.described = true;
  if (!frame.loan || !frame.shmOffered) return;
  if (frame.format != self->format_ || frame.width != self->width_ ||
      frame.height != self->height_ || frame.stride != self->stride_) {
    frame.failed = true;
    self->targetGone_ = true;  // resized (or parked): not the display the stream captures
    return;
  }
  zwlr_screencopy_frame_v1_copy_with_damage(frame.object, frame.loan->buffer);
}

const zwlr_screencopy_frame_v1_listener kFrameListener = {
    ScreencopyCapture::onBuffer,     ScreencopyCapture::onFlags,  ScreencopyCapture::onReady,
    ScreencopyCapture::onFailed,     ScreencopyCapture::onDamage, ScreencopyCapture::onDmabuf,
    ScreencopyCapture::onBufferDone,
};

ScreencopyCapture::Frame& ScreencopyCapture::beginFrame(Frame& frame) {
  frame = Frame{};
  frame.owner = this;
  frame.sequence = nextSequence_++;
  // The pointer is drawn into the copy (the tablet is driven with the mouse); the compositor
  // then also reports its moves as damage.
  frame.object =
      zwlr_screencopy_manager_v1_capture_output(screencopy_, /*overlay_cursor=*/1, target_);
  zwlr_screencopy_frame_v1_add_listener(frame.object, &kFrameListener, &frame);
  return frame;
}

void ScreencopyCapture::endFrame(Frame& frame) {
  if (frame.object) zwlr_screencopy_frame_v1_destroy(frame.object);
  if (frame.loan) pool_->giveBack(frame.loan->index);
  frame = Frame{};
}

ErrorPtr ScreencopyCapture::connectionError() const {
  if (wl_display_get_error(display_) != 0) {
    return displayError("The connection to the compositor was lost");
  }
  return nullptr;
}

ErrorPtr ScreencopyCapture::makeBuffers(std::uint32_t count) {
  const std::size_t bytes = std::size_t{stride_} * height_;
  for (std::uint32_t i = 0; i < count; ++i) {
    auto memory = makeSharedMemory("tovarine-screencopy", bytes);
    if (!memory) return memory.error();
    const int fd = memory->fd;
    auto mapping = std::move(memory->mapping);
    wl_shm_pool* shmPool = wl_shm_create_pool(shm_, fd, static_cast<std::int32_t>(bytes));
    wl_buffer* buffer = wl_shm_pool_create_buffer(shmPool, 0, static_cast<std::int32_t>(width_),
                                                  static_cast<std::int32_t>(height_),
                                                  static_cast<std::int32_t>(stride_), format_);
    wl_shm_pool_destroy(shmPool);
    close(fd);
    pool_->add(buffer, std::move(mapping));
  }
  return nullptr;
}

ErrorPtr ScreencopyCapture::setUp() {
  const StreamConfiguration& configuration = context_.configuration;
  if (auto error = checkCaptureConfiguration(configuration, /*canCrop=*/false)) return error;
  display_ = wl_display_connect(waylandDisplay_.empty() ? nullptr : waylandDisplay_.c_str());
  if (!display_) {
    return displayError(
        fmt::format("Cannot connect to the Wayland compositor \"{}\"", waylandDisplay_));
  }
  static const wl_registry_listener registryListener = {onGlobal, onGlobalRemove};
  registry_ = wl_display_get_registry(display_);
  wl_registry_add_listener(registry_, &registryListener, this);
  if (wl_display_roundtrip(display_) < 0) return connectionError();
  if (!shm_ || !screencopy_ || screencopyVersion_ < 3 || !xdgOutputs_) {
    return displayError(
        "The compositor offers no screen copy with damage (wlr-screencopy version 3) or no "
        "output names");
  }
  static const zxdg_output_v1_listener xdgListener = {
      [](void*, zxdg_output_v1*, std::int32_t, std::int32_t) {},
      [](void*, zxdg_output_v1*, std::int32_t, std::int32_t) {},
      [](void*, zxdg_output_v1*) {},
      onXdgName,
      [](void*, zxdg_output_v1*, const char*) {},
  };
  for (auto& entry : outputs_) {
    entry.xdgOutput = zxdg_output_manager_v1_get_xdg_output(xdgOutputs_, entry.output);
    zxdg_output_v1_add_listener(entry.xdgOutput, &xdgListener, this);
  }
  if (wl_display_roundtrip(display_) < 0) return connectionError();
  for (const auto& entry : outputs_) {
    if (entry.name == outputName_) {
      target_ = entry.output;
      targetGlobal_ = entry.globalName;
    }
  }
  if (!target_) return displayError(fmt::format("The output {} is not available", outputName_));

  // A first request only to learn the buffers the output wants.
  Frame& probe = beginFrame(frames_[0]);
  while (!probe.described && !probe.failed) {
    if (wl_display_roundtrip(display_) < 0) return connectionError();
  }
  if (probe.failed || !probe.shmOffered) {
    endFrame(probe);
    return displayError(fmt::format("The compositor will not copy the output {}", outputName_));
  }
  format_ = probe.format;
  width_ = probe.width;
  height_ = probe.height;
  stride_ = probe.stride;
  endFrame(probe);
  if ((format_ != WL_SHM_FORMAT_XRGB8888 && format_ != WL_SHM_FORMAT_ARGB8888) ||
      stride_ < width_ * 4 || width_ == 0 || height_ == 0 || width_ > 32767 || height_ > 32767) {
    return displayError("The compositor's frames are not 32-bit BGRX");
  }
  if (auto error = checkCaptureSize(configuration, width_, height_)) return error;
  return makeBuffers(capturePoolBufferCount(width_, height_, configuration.queueDepth()));
}

void ScreencopyCapture::deliverFrame(Frame& frame) {
  const BufferPool::Loan loan = *frame.loan;
  std::uint8_t* pixels = loan.mapping->address;
  if (frame.yInverted) {
    std::vector<std::uint8_t> row(stride_);
    for (std::uint32_t top = 0, bottom = height_ - 1; top < bottom; ++top, --bottom) {
      std::memcpy(row.data(), pixels + std::size_t{top} * stride_, stride_);
      std::memcpy(pixels + std::size_t{top} * stride_, pixels + std::size_t{bottom} * stride_,
                  stride_);
      std::memcpy(pixels + std::size_t{bottom} * stride_, row.data(), stride_);
    }
  }
  PixelArea damage = wlroots::frameDamage(frame.damage, width_, height_, frame.yInverted);
  if (damage.width == 0) damage = {0, 0, width_, height_};  // nothing said: all of it
  auto lease = pool_->lease(loan);
  frame.loan.reset();  // the lease gives it back now
  context_.deliver(
      frameSample(std::make_shared<PixelBuffer>(width_, height_, stride_, PixelFormat::bgra32,
                                                pixels, std::move(lease)),
                  damage));
}

ErrorPtr ScreencopyCapture::loop() {
  FramePacer pacer(paceInterval(context_.configuration.minimumFrameInterval().seconds()));
  bool anyFrame = false;
  constexpr int kMaxFailures = 3;
  pollfd descriptors[2] = {{wl_display_get_fd(display_), POLLIN, 0}, {context_.wakeFd, POLLIN, 0}};
  while (!context_.stopRequested->load()) {
    if (wl_display_dispatch_pending(display_) < 0) return connectionError();
    if (targetGone_) return displayError("The captured display is no longer available");
    const auto now = Clock::now();
    // The newest copied frame goes once its slot has opened; an older one still waiting is
    // overtaken and dropped.
    Frame* newest = nullptr;
    for (Frame& frame : frames_) {
      if (frame.failed) {
        endFrame(frame);
        if (++consecutiveFailures_ >= kMaxFailures) {
          return displayError(
              fmt::format("The compositor stopped copying the output {}", outputName_));
        }
      } else if (frame.ready && (!newest || frame.sequence > newest->sequence)) {
        newest = &frame;
      }
    }
    if (targetGone_) return displayError("The captured display is no longer available");
    bool frameWaiting = newest != nullptr;
    if (newest && now >= pacer.nextSlot()) {
      for (Frame& frame : frames_)
        if (frame.ready && &frame != newest) endFrame(frame);
      deliverFrame(*newest);
      endFrame(*newest);
      consecutiveFailures_ = 0;
      pacer.frameTaken(now);
      anyFrame = true;
      frameWaiting = false;
    }
    // Keep two copies asked for; the compositor answers each when the output next changes.
    for (Frame& frame : frames_) {
      if (frame.object) continue;
      auto loan = pool_->acquire();
      if (!loan) break;
      beginFrame(frame).loan = std::move(loan);
    }
    const auto due = deliverIdleOrWakeTime(pacer, anyFrame, now, context_);
    if (!due) continue;
    Clock::time_point wakeAt = *due;
    if (frameWaiting) wakeAt = std::min(wakeAt, pacer.nextSlot());

    if (wl_display_prepare_read(display_) != 0) continue;  // events are queued: take them first
    if (wl_display_flush(display_) < 0 && errno != EAGAIN) {
      wl_display_cancel_read(display_);
      return displayError("The connection to the compositor was lost");
    }
    timespec timeout{};
    const int ready = ppoll(descriptors, 2, pollTimeout(wakeAt, timeout), nullptr);
    if (ready > 0 && (descriptors[0].revents & POLLIN) != 0) {
      if (wl_display_read_events(display_) < 0) return connectionError();
    } else {
      wl_display_cancel_read(display_);
    }
    if (ready < 0 && errno != EINTR) {
      return displayError(std::string("Waiting for the compositor failed: ") + strerror(errno));
    }
    if ((descriptors[1].revents & POLLIN) != 0) context_.drainWake();
    if ((descriptors[0].revents & (POLLERR | POLLHUP)) != 0) {
      return displayError("The connection to the compositor was lost");
    }
  }
  return nullptr;
}

}  // namespace

std::unique_ptr<CaptureBackend> makeScreencopyCapture(const std::string& waylandDisplay,
                                                      const std::string& output,
                                                      CaptureBackendContext context) {
  return std::make_unique<ScreencopyCapture>(waylandDisplay, output, std::move(context));
}

}  // namespace platform
