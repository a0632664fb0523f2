// GNOME's compositor makes a virtual monitor for a screen-cast session that records one, over
// the session bus; sd-bus (libsystemd) is the bus library here because it is already on every
// systemd machine, is plain C with synchronous calls (all this backend needs), and brings no
// code generator or main loop of its own.
#include <poll.h>
#include <sys/mman.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

#include <fmt/core.h>

#include "platform/display/capture_buffer_pool.h"
#include "platform/display/compositor_capture.h"
#include "platform/display/display_error.h"
#include "platform/display/display_registry.h"
#include "platform/display/frame_pacer.h"
#include "platform/display/gnome/changed_tiles.h"
#include "platform/display/gnome/gnome_backend.h"
#include "platform/display/gnome/mutter_video_stream.h"
#include "platform/display/screen_parameters.h"
#include "platform/display/stale_rows.h"
#include "platform/foundation/log.h"

namespace platform {

namespace {

constexpr const char* kScreenCastService = "org.gnome.Mutter.ScreenCast";
constexpr const char* kScreenCastPath = "/org/gnome/Mutter/ScreenCast";
constexpr const char* kSessionInterface = "org.gnome.Mutter.ScreenCast.Session";
constexpr const char* kStreamInterface = "org.gnome.Mutter.ScreenCast.Stream";
constexpr auto kStreamAddedTimeout = std::chrono::seconds(5);

using Clock = std::chrono::steady_clock;

struct BusDeleter {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusDeleter>;

struct MessageDeleter {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageDeleter>;

// One bus error, freed with it.
struct BusError {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  ~BusError() { sd_bus_error_free(&error); }
  std::string describe(int code) const {
    if (error.message) return error.message;
    return strerror(-code);
  }
};

std::expected<Bus, std::string> openSessionBus() {
  sd_bus* bus = nullptr;
  const int result = sd_bus_open_user(&bus);
  if (result < 0) {
    return std::unexpected(fmt::format("Cannot reach the session bus: {}", strerror(-result)));
  }
  return Bus(bus);
}

std::expected<std::string, std::string> readPath(sd_bus_message* reply) {
  const char* path = nullptr;
  if (sd_bus_message_read(reply, "o", &path) < 0 || !path) {
    return std::unexpected("The compositor's answer holds no object path");
  }
  return std::string(path);
}

// The screen-cast session behind one virtual monitor and the monitor's stream.
class MutterMonitor : public CompositorDisplaySource,
                      public std::enable_shared_from_this<MutterMonitor> {
 public:
  static std::expected<std::shared_ptr<MutterMonitor>, std::string> make(std::uint32_t width,
                                                                         std::uint32_t height);
  ~MutterMonitor() override { stop(); }

  std::unique_ptr<CaptureBackend> makeCapture(CaptureBackendContext context) override;

  // Ends the session; the compositor removes the monitor.
  void stop() {
    std::lock_guard lock(mutex_);
    // A capture may still hold the stream: it must not keep the monitor.
    if (stream_) stream_->close();
    stream_.reset();
    if (bus_ && !sessionPath_.empty()) {
      BusError error;
      const int result = sd_bus_call_method(bus_.get(), kScreenCastService, sessionPath_.c_str(),
                                            kSessionInterface, "Stop", &error.error, nullptr, "");
      if (result < 0) {
        log(fmt::format("The compositor did not end the screen-cast session {}: {}", sessionPath_,
                        error.describe(result)));
      }
    }
    sessionPath_.clear();
    bus_.reset();  // the compositor also ends the session when its client goes
  }

  std::shared_ptr<MutterVideoStream> stream() const {
    std::lock_guard lock(mutex_);
    return stream_;
  }

 private:
  mutable std::mutex mutex_;
  Bus bus_;
  std::string sessionPath_;
  std::shared_ptr<MutterVideoStream> stream_;
  // One capture at a time consumes the stream.
  std::mutex captureMutex_;
  bool captured_ = false;

  friend class MutterCapture;
};

std::expected<std::shared_ptr<MutterMonitor>, std::string> MutterMonitor::make(
    std::uint32_t width, std::uint32_t height) {
  auto bus = openSessionBus();
  if (!bus) return std::unexpected(bus.error());
  auto monitor = std::make_shared<MutterMonitor>();
  monitor->bus_ = std::move(*bus);
  sd_bus* b = monitor->bus_.get();

  {
    BusError error;
    sd_bus_message* raw = nullptr;
    const int result =
        sd_bus_call_method(b, kScreenCastService, kScreenCastPath, kScreenCastService,
                           "CreateSession", &error.error, &raw, "a{sv}", 0);
    Message reply(raw);
    if (result < 0) {
      return std::unexpected(
          fmt::format("GNOME refused a screen-cast session: {}", error.describe(result)));
    }
    auto path = readPath(reply.get());
    if (!path) return std::unexpected(path.error());
    monitor->sessionPath_ = *path;
  }
  std::string streamPath;
  {
    BusError error;
    sd_bus_message* raw = nullptr;
    // Cursor mode 1 embeds the pointer in every frame, and a frame follows each of its moves.
    const int result =
        sd_bus_call_method(b, kScreenCastService, monitor->sessionPath_.c_str(), kSessionInterface,
                           "RecordVirtual", &error.error, &raw, "a{sv}", 2, "cursor-mode", "u",
                           std::uint32_t{1}, "is-platform", "b", 1);
    Message reply(raw);
    if (result < 0) {
      return std::unexpected(
          fmt::format("GNOME refused a virtual monitor: {}", error.describe(result)));
    }
    auto path = readPath(reply.get());
    if (!path) return std::unexpected(path.error());
    streamPath = *path;
  }

  // The stream names its PipeWire node once the session starts.
  struct Added {
    bool arrived = false;
    std::uint32_t node = 0;
  } added;
  sd_bus_slot* slot = nullptr;
  const int matched = sd_bus_match_signal(
      b, &slot, nullptr, streamPath.c_str(), kStreamInterface, "PipeWireStreamAdded",
      [](sd_bus_message* message, void* data, sd_bus_error*) -> int {
        auto* target = static_cast<Added*>(data);
        std::uint32_t node = 0;
        if (sd_bus_message_read(message, "u", &node) >= 0) {
          target->node = node;
          target->arrived = true;
        }
        return 0;
      },
      &added);
  if (matched < 0) return std::unexpected("Cannot listen to the screen-cast stream");
  std::unique_ptr<sd_bus_slot, decltype(&sd_bus_slot_unref)> slotGuard(slot, sd_bus_slot_unref);
  {
    BusError error;
    const int result = sd_bus_call_method(b, kScreenCastService, monitor->sessionPath_.c_str(),
                                          kSessionInterface, "Start", &error.error, nullptr, "");
    if (result < 0) {
      return std::unexpected(
          fmt::format("GNOME did not start the screen-cast session: {}", error.describe(result)));
    }
  }
  const auto deadline = Clock::now() + kStreamAddedTimeout;
  while (!added.arrived) {
    const int processed = sd_bus_process(b, nullptr);
    if (processed < 0) return std::unexpected("The session bus connection was lost");
    if (processed > 0) continue;
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
      return std::unexpected("GNOME did not name the screen-cast stream in time");
    }
    sd_bus_wait(b, static_cast<std::uint64_t>(
                       std::chrono::duration_cast<std::chrono::microseconds>(left).count()));
  }
  slotGuard.reset();

  auto stream = MutterVideoStream::connect(added.node, width, height);
  if (!stream) return std::unexpected(stream.error());
  monitor->stream_ = std::move(*stream);
  return monitor;
}

// Captures a virtual monitor from the stream its display owns. Each frame is copied once, from
// the compositor's buffer into the one it is encoded from, and only the rows that buffer lacks:
// it still holds the picture it was last filled with, and every change since is marked in it.
// What changed is the damage the compositor reports; where it reports none, the frame is
// compared with the one delivered before (kept out of the pool for that, so no second copy is
// made): an unchanged frame is not delivered, and a changed one carries the rectangle of the
// tiles that changed.
class MutterCapture final : public CaptureBackend {
 public:
  MutterCapture(std::shared_ptr<MutterMonitor> monitor, CaptureBackendContext context)
      : monitor_(std::move(monitor)),
        context_(std::move(context)),
        pool_(std::make_shared<CaptureBufferPool>(context_.signalWake)) {}
  ~MutterCapture() override {
    if (stream_) stream_->detach();
    if (claimed_) {
      std::lock_guard lock(monitor_->captureMutex_);
      monitor_->captured_ = false;
    }
  }

  ErrorPtr setUp() override {
    const StreamConfiguration& configuration = context_.configuration;
    if (auto error = checkCaptureConfiguration(configuration, /*canCrop=*/false)) return error;
    stream_ = monitor_->stream();
    if (!stream_) return displayError("The virtual monitor has been removed");
    width_ = stream_->width();
    height_ = stream_->height();
    if (auto error = checkCaptureSize(configuration, width_, height_)) return error;
    {
      std::lock_guard lock(monitor_->captureMutex_);
      if (monitor_->captured_) return displayError("The display is already being captured");
      monitor_->captured_ = claimed_ = true;
    }
    const std::size_t bytes = std::size_t{width_} * height_ * 4;
    // One more than the queue needs: the frame delivered last stays to be compared with.
    const std::uint32_t count =
        capturePoolBufferCount(width_, height_, configuration.queueDepth()) + 1;
    for (std::uint32_t i = 0; i < count; ++i) {
      void* address =
          mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (address == MAP_FAILED) {
        return displayError(std::string("Cannot map frame memory: ") + strerror(errno));
      }
      auto mapping = std::make_shared<CaptureMapping>();
      mapping->address = static_cast<std::uint8_t*>(address);
      mapping->size = bytes;
      pool_->add(std::move(mapping));
      stale_.emplace_back(height_);
    }
    stream_->attach(context_.signalWake);
    return nullptr;
  }

  ErrorPtr loop() override {
    FramePacer pacer(paceInterval(context_.configuration.minimumFrameInterval().seconds()));
    bool anyFrame = false;
    pollfd descriptor{context_.wakeFd, POLLIN, 0};
    while (!context_.stopRequested->load()) {
      if (auto failure = stream_->failure(); !failure.empty()) return displayError(failure);
      const auto now = Clock::now();
      // A frame waiting for a free buffer stays in the stream, which keeps the newest.
      if (now >= pacer.nextSlot() && pool_->hasFree()) {
        bool delivered = false;
        stream_->readFrame([&](const MutterVideoStream::FrameView& frame) {
          delivered = deliverIfChanged(frame);
        });
        if (delivered) {
          pacer.frameTaken(now);
          anyFrame = true;
        }
      }
      const bool frameWaiting = stream_->hasFreshFrame();
      const auto due = deliverIdleOrWakeTime(pacer, anyFrame, now, context_);
      if (!due) continue;
      Clock::time_point wakeAt = *due;
      if (frameWaiting && pool_->hasFree()) wakeAt = std::min(wakeAt, pacer.nextSlot());
      // A frame that arrives before its slot opens waits for it.
      if (anyFrame && Clock::now() < pacer.nextSlot()) wakeAt = std::min(wakeAt, pacer.nextSlot());
      timespec timeout{};
      const int ready = ppoll(&descriptor, 1, pollTimeout(wakeAt, timeout), nullptr);
      if (ready < 0 && errno != EINTR) {
        return displayError(std::string("Waiting for frames failed: ") + strerror(errno));
      }
      if (ready > 0 && (descriptor.revents & POLLIN) != 0) context_.drainWake();
    }
    return nullptr;
  }

 private:
  bool deliverIfChanged(const MutterVideoStream::FrameView& frame) {
    const std::size_t row = std::size_t{width_} * 4;
    PixelArea damage{0, 0, width_, height_};
    if (frame.damage && delivered_) {  // the first frame is whole whatever the compositor says
      damage = *frame.damage;
      if (damage.width == 0) return false;  // nothing changed
    } else if (last_) {
      damage = changedTiles(last_->baseAddress(), row, frame.pixels, frame.stride, width_, height_);
      if (damage.width == 0) return false;
    }
    auto loan = pool_->acquire();
    if (!loan) {
      // This frame's damage is spent: the next frame is compared with the last delivered one.
      delivered_ = false;
      return false;
    }
    // Every buffer now lacks these rows, the one about to be filled included.
    for (StaleRows& rows : stale_)
      rows.mark(static_cast<std::uint32_t>(damage.y),
                static_cast<std::uint32_t>(damage.y) + damage.height);
    std::uint8_t* target = loan->mapping->address;
    StaleRows& stale = stale_[loan->index];
    for (const StaleRows::Band& band : stale.bands()) {
      if (frame.stride == row) {
        std::memcpy(target + row * band.top, frame.pixels + row * band.top,
                    row * (band.bottom - band.top));
      } else {
        for (std::uint32_t y = band.top; y < band.bottom; ++y)
          std::memcpy(target + row * y, frame.pixels + frame.stride * y, row);
      }
    }
    stale.clear();
    delivered_ = true;
    last_ = std::make_shared<PixelBuffer>(width_, height_, row, PixelFormat::bgra32, target,
                                          pool_->lease(*loan));
    context_.deliver(frameSample(last_, damage));
    return true;
  }

  std::shared_ptr<MutterMonitor> monitor_;
  CaptureBackendContext context_;
  std::shared_ptr<CaptureBufferPool> pool_;
  std::shared_ptr<MutterVideoStream> stream_;
  std::uint32_t width_ = 0, height_ = 0;
  std::shared_ptr<PixelBuffer> last_;
  // Per pool buffer (by index), the rows that changed since it was last filled.
  std::vector<StaleRows> stale_;
  bool delivered_ = false;
  bool claimed_ = false;
};

std::unique_ptr<CaptureBackend> MutterMonitor::makeCapture(CaptureBackendContext context) {
  return std::make_unique<MutterCapture>(shared_from_this(), std::move(context));
}

class MutterDisplay final : public VirtualDisplayHandle {
 public:
  MutterDisplay(std::shared_ptr<MutterMonitor> monitor, DisplayID id, std::uint32_t width,
                std::uint32_t height)
      : monitor_(std::move(monitor)), id_(id), width_(width), height_(height) {}
  ~MutterDisplay() override {
    CompositorDisplays::shared().remove(id_);
    // As on wlroots: out of the registry once the compositor has removed the monitor.
    monitor_->stop();
    DisplayRegistry::shared().remove(id_, kRegistryKey);
    postScreenParametersChanged();
  }
  DisplayID id() const override { return id_; }
  std::uint32_t pixelWidth() const override { return width_; }
  std::uint32_t pixelHeight() const override { return height_; }

  static constexpr const char* kRegistryKey = "gnome";

 private:
  std::shared_ptr<MutterMonitor> monitor_;
  DisplayID id_;
  std::uint32_t width_, height_;
};

}  // namespace

bool mutterScreenCastAvailable() {
  auto bus = openSessionBus();
  if (!bus) return false;
  BusError error;
  sd_bus_message* raw = nullptr;
  const int result = sd_bus_call_method(bus->get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                        "org.freedesktop.DBus", "NameHasOwner", &error.error, &raw,
                                        "s", kScreenCastService);
  Message reply(raw);
  int hasOwner = 0;
  if (result < 0 || sd_bus_message_read(reply.get(), "b", &hasOwner) < 0) return false;
  return hasOwner != 0;
}

std::expected<std::unique_ptr<VirtualDisplayHandle>, std::string> makeMutterDisplay(
    const VirtualDisplayRequest& request) {
  auto monitor = MutterMonitor::make(request.pixelWidth, request.pixelHeight);
  if (!monitor) return std::unexpected(monitor.error());
  OwnDisplayRecord record;
  record.id = DisplayRegistry::shared().nextWholeScreenID();
  record.xDisplay = MutterDisplay::kRegistryKey;
  record.wholeScreen = true;
  record.name = request.name;
  setRequestedSizes(record, request);
  DisplayRegistry::shared().add(record);
  CompositorDisplays::shared().add(record.id, *monitor);
  log(fmt::format("Virtual display \"{}\" is a GNOME virtual monitor of {}x{}", request.name,
                  request.pixelWidth, request.pixelHeight));
  postScreenParametersChanged();
  return std::make_unique<MutterDisplay>(std::move(*monitor), record.id, request.pixelWidth,
                                         request.pixelHeight);
}

namespace {

class GnomeVirtualMonitorBackend final : public VirtualDisplayBackend {
 public:
  std::expected<std::unique_ptr<VirtualDisplayHandle>, std::string> makeDisplay(
      const DisplayEnvironment&, const VirtualDisplayRequest& request) const override {
    return makeMutterDisplay(request);
  }
  // The compositor removes a virtual monitor when its client dies: nothing to take back.
  bool available(const DisplayEnvironment&) const override { return mutterScreenCastAvailable(); }
};

}  // namespace

const VirtualDisplayBackend& gnomeVirtualMonitorBackend() {
  static const GnomeVirtualMonitorBackend backend;
  return backend;
}

}  // namespace platform
