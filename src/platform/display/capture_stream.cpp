#include "platform/display/capture_stream.h"

#include "platform/display/capture_buffer_pool.h"
#include "platform/display/compositor_capture.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>
#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <fmt/core.h>

#include "platform/display/display_error.h"
#include "platform/display/display_queries.h"
#include "platform/display/frame_pacer.h"
#include "platform/display/stale_rows.h"
#include "platform/display/x_connection.h"
#include "platform/foundation/log.h"
#include "platform/foundation/process_info.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// An eventfd that wakes the capture thread (to stop, or because a buffer came back).
class Wakeup {
 public:
  Wakeup() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~Wakeup() {
    if (fd_ >= 0) close(fd_);
  }
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;
  int fd() const { return fd_; }
  void signal() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = write(fd_, &one, sizeof one);
  }
  void drain() const {
    std::uint64_t count = 0;
    [[maybe_unused]] auto got = read(fd_, &count, sizeof count);
  }

 private:
  int fd_;
};

// One shared-memory segment, mapped here and attached to the server.
// The pool of `queueDepth` segments. A segment lent out with a frame comes back when the last
// holder of the frame lets go; the mapping outlives the pool while frames still use it.
class SegmentPool : public std::enable_shared_from_this<SegmentPool> {
 public:
  explicit SegmentPool(std::shared_ptr<Wakeup> wakeup) : wakeup_(std::move(wakeup)) {}

  void add(std::shared_ptr<CaptureMapping> segment, xcb_shm_seg_t id) {
    std::lock_guard lock(mutex_);
    slots_.push_back({std::move(segment), id, false});
  }

  bool hasFree() const {
    std::lock_guard lock(mutex_);
    return std::any_of(slots_.begin(), slots_.end(), [](const Slot& s) { return !s.inUse; });
  }

  struct Loan {
    std::shared_ptr<CaptureMapping> segment;
    xcb_shm_seg_t id = 0;
    std::size_t index = 0;
  };
  std::optional<Loan> acquire() {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      if (!slots_[i].inUse) {
        slots_[i].inUse = true;
        return Loan{slots_[i].segment, slots_[i].id, i};
      }
    }
    return std::nullopt;
  }

  // Gives the segment back when the returned handle goes.
  std::shared_ptr<const void> lease(const Loan& loan) {
    class Lease {
     public:
      Lease(std::shared_ptr<CaptureMapping> segment, std::weak_ptr<SegmentPool> pool,
            std::size_t index)
          : segment_(std::move(segment)), pool_(std::move(pool)), index_(index) {}
      Lease(const Lease&) = delete;
      Lease& operator=(const Lease&) = delete;
      ~Lease() {
        if (auto owner = pool_.lock()) owner->giveBack(index_);
      }

     private:
      std::shared_ptr<CaptureMapping> segment_;
      std::weak_ptr<SegmentPool> pool_;
      std::size_t index_;
    };
    return std::make_shared<const Lease>(loan.segment, weak_from_this(), loan.index);
  }

  void giveBack(std::size_t index) {
    {
      std::lock_guard lock(mutex_);
      if (index < slots_.size()) slots_[index].inUse = false;
    }
    wakeup_->signal();
  }

 private:
  struct Slot {
    std::shared_ptr<CaptureMapping> segment;
    xcb_shm_seg_t id;
    bool inUse;
  };
  mutable std::mutex mutex_;
  std::vector<Slot> slots_;
  std::shared_ptr<Wakeup> wakeup_;
};

struct PixelRect {
  std::int32_t x = 0, y = 0;
  std::uint32_t width = 0, height = 0;
};

bool intersects(const PixelRect& a, const xcb_rectangle_t& b) {
  return a.x < b.x + std::int32_t{b.width} && b.x < a.x + std::int32_t(a.width) &&
         a.y < b.y + std::int32_t{b.height} && b.y < a.y + std::int32_t(a.height);
}

}  // namespace

struct CaptureStream::Engine : std::enable_shared_from_this<CaptureStream::Engine> {
  struct OutputEntry {
    std::shared_ptr<CaptureStreamOutput> output;
    DispatchQueuePtr queue;
  };

  Engine(ContentFilter f, StreamConfiguration c, std::weak_ptr<CaptureStreamDelegate> d)
      : filter(f), configuration(std::move(c)), delegate(std::move(d)) {}

  const ContentFilter filter;
  const StreamConfiguration configuration;
  const std::weak_ptr<CaptureStreamDelegate> delegate;
  std::weak_ptr<CaptureStream> stream;

  std::mutex mutex;
  std::condition_variable condition;
  std::vector<OutputEntry> outputs;
  std::thread thread;
  bool started = false;
  bool completionReturned = false;
  std::atomic<bool> stopRequested{false};
  std::shared_ptr<Wakeup> wakeup;

  void run(std::function<void(ErrorPtr)> completion);
  void requestStop();
  void deliver(const std::shared_ptr<SampleBuffer>& sample);
  void endedWithError(const ErrorPtr& error);
};

namespace {

// The X side of one running capture; lives on the capture thread.
class CaptureSession {
 public:
  CaptureSession(CaptureStream::Engine& engine, std::shared_ptr<Wakeup> wakeup)
      : engine_(engine),
        wakeup_(std::move(wakeup)),
        pool_(std::make_shared<SegmentPool>(wakeup_)) {}

  ErrorPtr setUp();
  // Returns null when asked to stop, else why capturing ended.
  ErrorPtr loop();

 private:
  ErrorPtr locate();
  bool handleEvents(bool& geometryChanged);
  bool damageTouchesDisplay();
  ErrorPtr grabAndDeliver(const SegmentPool::Loan& loan);
  void deliverIdle();

  CaptureStream::Engine& engine_;
  std::shared_ptr<Wakeup> wakeup_;
  std::shared_ptr<SegmentPool> pool_;
  std::unique_ptr<x11::Connection> x_;
  std::string xDisplay_;
  PixelRect rect_;
  // Per pool buffer (by index), the rows that changed since it was last filled.
  std::vector<StaleRows> stale_;
  std::uint8_t damageEvent_ = 0;
  std::optional<std::uint8_t> randrEvent_;
  xcb_damage_damage_t damage_ = 0;
  xcb_xfixes_region_t region_ = 0;
};

ErrorPtr CaptureSession::locate() {
  const DisplayID id = engine_.filter.display().displayID();
  auto location = locateDisplay(id);
  if (!location) return displayError(fmt::format("The display {} is not available", id));
  PixelRect rect{location->x, location->y, location->pixelWidth, location->pixelHeight};
  if (const auto& source = engine_.configuration.sourceRect()) {
    auto mode = copyDisplayMode(id);
    const double scale = mode && mode->width ? double(mode->pixelWidth) / double(mode->width) : 1.0;
    const double sx = std::round(source->origin.x * scale);
    const double sy = std::round(source->origin.y * scale);
    const double sw = std::round(source->size.width * scale);
    const double sh = std::round(source->size.height * scale);
    if (!(sx >= 0 && sy >= 0 && sw >= 1 && sh >= 1 && sx + sw <= rect.width &&
          sy + sh <= rect.height)) {
      return displayError("The source rectangle lies outside the display");
    }
    rect = {rect.x + std::int32_t(sx), rect.y + std::int32_t(sy), std::uint32_t(sw),
            std::uint32_t(sh)};
  }
  if (!xDisplay_.empty() && location->xDisplay != xDisplay_) {
    return displayError("The display moved to another X server");
  }
  xDisplay_ = location->xDisplay;
  rect_ = rect;
  return nullptr;
}

}  // namespace

std::uint32_t capturePoolBufferCount(std::uint32_t width, std::uint32_t height,
                                     std::uint32_t queueDepth) {
  const std::uint64_t frameBytes = std::uint64_t{width} * height * 4;
  const std::uint64_t fitting = frameBytes == 0 ? queueDepth : kMaxCapturePoolBytes / frameBytes;
  const std::uint64_t floor = std::min<std::uint64_t>(queueDepth, 2);
  return static_cast<std::uint32_t>(std::clamp<std::uint64_t>(fitting, floor, queueDepth));
}

namespace {

ErrorPtr CaptureSession::setUp() {
  const StreamConfiguration& configuration = engine_.configuration;
  if (configuration.pixelFormat() != PixelFormat::bgra32) {
    return displayError("Only 32-bit BGRA capture is supported");
  }
  if (configuration.queueDepth() < 1 || configuration.queueDepth() > 16) {
    return displayError("The queue depth must be between 1 and 16");
  }
  if (auto error = locate()) return error;
  if (configuration.width() != rect_.width || configuration.height() != rect_.height) {
    return displayError(fmt::format(
        "The stream asks for {}x{} pixels but the display shows {}x{}; scaling is not supported",
        configuration.width(), configuration.height(), rect_.width, rect_.height));
  }

  auto connection = x11::Connection::open(xDisplay_);
  if (!connection) return displayError(connection.error());
  x_ = std::move(*connection);
  xcb_connection_t* c = x_->get();

  // Frames are handed on as BGRX: little-endian 32-bit pixels with 8-bit channels.
  const xcb_setup_t* setup = xcb_get_setup(c);
  const xcb_screen_t* screen = x_->screen();
  bool thirtyTwoBits = false;
  for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0; xcb_format_next(&it)) {
    if (it.data->depth == screen->root_depth) thirtyTwoBits = it.data->bits_per_pixel == 32;
  }
  bool channelsMatch = false;
  for (auto depth = xcb_screen_allowed_depths_iterator(screen); depth.rem > 0;
       xcb_depth_next(&depth)) {
    for (auto visual = xcb_depth_visuals_iterator(depth.data); visual.rem > 0;
         xcb_visualtype_next(&visual)) {
      if (visual.data->visual_id == screen->root_visual) {
        channelsMatch = visual.data->red_mask == 0xff0000 && visual.data->green_mask == 0xff00 &&
                        visual.data->blue_mask == 0xff;
      }
    }
  }
  if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST || !thirtyTwoBits || !channelsMatch) {
    return displayError("The X screen's pixels are not 32-bit BGRX");
  }

  const auto* shm = xcb_get_extension_data(c, &xcb_shm_id);
  const auto* damage = xcb_get_extension_data(c, &xcb_damage_id);
  const auto* xfixes = xcb_get_extension_data(c, &xcb_xfixes_id);
  if (!shm || !shm->present || !damage || !damage->present || !xfixes || !xfixes->present) {
    return displayError("The X server lacks MIT-SHM, DAMAGE or XFIXES");
  }
  x11::Reply<xcb_shm_query_version_reply_t> shmVersion(
      xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr));
  if (!shmVersion || shmVersion->major_version < 1 ||
      (shmVersion->major_version == 1 && shmVersion->minor_version < 2)) {
    return displayError("The X server cannot share memory by descriptor (MIT-SHM 1.2)");
  }
  x11::Reply<xcb_xfixes_query_version_reply_t> xfixesVersion(
      xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 2, 0), nullptr));
  x11::Reply<xcb_damage_query_version_reply_t> damageVersion(
      xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
  if (!xfixesVersion || !damageVersion) return displayError("The X server refused DAMAGE");
  damageEvent_ = damage->first_event;

  const std::size_t bytes = std::size_t{rect_.width} * rect_.height * 4;
  const std::uint32_t buffers =
      capturePoolBufferCount(rect_.width, rect_.height, configuration.queueDepth());
  for (std::uint32_t i = 0; i < buffers; ++i) {
    auto memory = makeSharedMemory("tovarine-capture", bytes);
    if (!memory) return memory.error();
    const int fd = memory->fd;
    auto segment = std::move(memory->mapping);
    const xcb_shm_seg_t id = xcb_generate_id(c);
    // xcb closes the descriptor once it is sent.
    if (!x_->check(xcb_shm_attach_fd_checked(c, id, fd, 0))) {
      return displayError("The X server refused the shared memory");
    }
    pool_->add(std::move(segment), id);
    stale_.emplace_back(rect_.height);
  }

  damage_ = xcb_generate_id(c);
  if (!x_->check(
          xcb_damage_create_checked(c, damage_, x_->root(), XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY))) {
    return displayError("The X server refused to report damage");
  }
  region_ = xcb_generate_id(c);
  if (!x_->check(xcb_xfixes_create_region_checked(c, region_, 0, nullptr))) {
    return displayError("The X server refused a region");
  }

  // Follow the display when the layout changes (a monitor moved, removed or resized).
  randrEvent_ = x_->randrFirstEvent();
  if (randrEvent_) {
    x11::Reply<xcb_randr_query_version_reply_t> version(
        xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
    xcb_randr_select_input(c, x_->root(), XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE);
  }
  const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  if (!x_->check(xcb_change_window_attributes_checked(c, x_->root(), XCB_CW_EVENT_MASK, &mask))) {
    return displayError("The X server refused to report layout changes");
  }
  return nullptr;
}

bool CaptureSession::handleEvents(bool& geometryChanged) {
  bool damaged = false;
  while (auto* raw = xcb_poll_for_event(x_->get())) {
    x11::Reply<xcb_generic_event_t> event(raw);
    const std::uint8_t type = event->response_type & 0x7f;
    if (type == damageEvent_ + XCB_DAMAGE_NOTIFY) {
      damaged = true;
    } else if (type == XCB_CONFIGURE_NOTIFY ||
               (randrEvent_ && type == *randrEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY)) {
      geometryChanged = true;
    }
  }
  return damaged;
}

bool CaptureSession::damageTouchesDisplay() {
  xcb_connection_t* c = x_->get();
  // Takes the damage so far into the region and empties it, so the next drawing reports
  // again.
  xcb_damage_subtract(c, damage_, XCB_NONE, region_);
  x11::Reply<xcb_xfixes_fetch_region_reply_t> reply(
      xcb_xfixes_fetch_region_reply(c, xcb_xfixes_fetch_region(c, region_), nullptr));
  if (!reply) {  // unknown: better one frame too many, read whole
    for (StaleRows& rows : stale_)
      rows.markAll();
    return true;
  }
  const xcb_rectangle_t* rectangles = xcb_xfixes_fetch_region_rectangles(reply.get());
  const int count = xcb_xfixes_fetch_region_rectangles_length(reply.get());
  bool touches = false;
  for (int i = 0; i < count; ++i) {
    const xcb_rectangle_t& r = rectangles[i];
    if (!intersects(rect_, r)) continue;
    touches = true;
    // Every buffer now lacks these rows, the one about to be filled included.
    const auto top = static_cast<std::uint32_t>(std::max<std::int32_t>(r.y - rect_.y, 0));
    const auto bottom = static_cast<std::uint32_t>(
        std::max<std::int32_t>(std::int32_t{r.y} + std::int32_t{r.height} - rect_.y, 0));
    for (StaleRows& rows : stale_)
      rows.mark(top, bottom);
  }
  return touches;
}

ErrorPtr CaptureSession::grabAndDeliver(const SegmentPool::Loan& loan) {
  xcb_connection_t* c = x_->get();
  auto lease = pool_->lease(loan);
  // The buffer still holds the picture it was last filled with: only the rows changed since
  // then are read, each band into its place. The reads are sent together and answered in turn.
  StaleRows& stale = stale_[loan.index];
  if (stale.bands().empty()) stale.markAll();  // a change whose rows are unknown
  const std::size_t stride = std::size_t{rect_.width} * 4;
  std::vector<xcb_shm_get_image_cookie_t> cookies;
  cookies.reserve(stale.bands().size());
  for (const StaleRows::Band& band : stale.bands()) {
    cookies.push_back(xcb_shm_get_image(
        c, x_->root(), static_cast<std::int16_t>(rect_.x),
        static_cast<std::int16_t>(rect_.y + std::int32_t(band.top)),
        static_cast<std::uint16_t>(rect_.width), static_cast<std::uint16_t>(band.bottom - band.top),
        ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, loan.id, static_cast<std::uint32_t>(band.top * stride)));
  }
  bool complete = true;
  for (const auto& cookie : cookies) {
    xcb_generic_error_t* rawError = nullptr;
    x11::Reply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(c, cookie, &rawError));
    x11::Reply<xcb_generic_error_t> error(rawError);
    if (!reply) complete = false;
  }
  if (!complete) {
    stale.markAll();
    if (x_->hasError()) return nullptr;  // reported by the loop as a lost connection
    return displayError("The display's picture could not be read");
  }
  stale.clear();
  auto pixels =
      std::make_shared<PixelBuffer>(rect_.width, rect_.height, std::size_t{rect_.width} * 4,
                                    PixelFormat::bgra32, loan.segment->address, std::move(lease));
  std::vector<SampleAttachments> attachments{
      {{kStreamFrameInfoStatus, std::int64_t(FrameStatus::complete)}}};
  engine_.deliver(
      std::make_shared<SampleBuffer>(std::move(pixels), std::move(attachments), systemUptime()));
  return nullptr;
}

void CaptureSession::deliverIdle() {
  std::vector<SampleAttachments> attachments{
      {{kStreamFrameInfoStatus, std::int64_t(FrameStatus::idle)}}};
  engine_.deliver(std::make_shared<SampleBuffer>(nullptr, std::move(attachments), systemUptime()));
}

ErrorPtr CaptureSession::loop() {
  FramePacer pacer(paceInterval(engine_.configuration.minimumFrameInterval().seconds()));
  bool damageToExamine = false;
  pollfd descriptors[2] = {{xcb_get_file_descriptor(x_->get()), POLLIN, 0},
                           {wakeup_->fd(), POLLIN, 0}};

  // Takes in every event xcb holds. Waiting for a reply makes xcb read events into its own
  // queue, where poll() cannot see them, so this runs before every wait as well as after.
  const auto absorbEvents = [&]() -> ErrorPtr {
    bool geometryChanged = false;
    if (handleEvents(geometryChanged)) damageToExamine = true;
    if (x_->hasError()) {
      return displayError("The connection to the X server " + xDisplay_ + " was lost");
    }
    if (geometryChanged) {
      const PixelRect before = rect_;
      if (locate() != nullptr || rect_.width != before.width || rect_.height != before.height) {
        return displayError("The captured display is no longer available");
      }
      // The display may have moved: what the buffers hold says nothing about its new place.
      for (StaleRows& rows : stale_)
        rows.markAll();
    }
    return nullptr;
  };

  while (!engine_.stopRequested.load()) {
    xcb_flush(x_->get());
    if (auto error = absorbEvents()) return error;

    const auto now = Clock::now();
    // Damage is looked at only once a frame may be taken, so that everything drawn before
    // the slot opens is one round trip and one frame.
    if (damageToExamine && now >= pacer.nextSlot()) {
      damageToExamine = false;
      if (damageTouchesDisplay()) pacer.changed();
      // Waiting for the region may have queued new damage inside xcb: take it in first.
      continue;
    }
    const FramePacer::Decision decision = pacer.decide(now);
    bool waitingForBuffer = false;
    if (decision.step == FramePacer::Step::frame) {
      if (auto loan = pool_->acquire()) {
        if (auto error = grabAndDeliver(*loan)) return error;
        if (x_->hasError()) {
          return displayError("The connection to the X server " + xDisplay_ + " was lost");
        }
        pacer.frameTaken(now);
        continue;
      }
      waitingForBuffer = true;  // every buffer is out; a returning one wakes us
    } else if (decision.step == FramePacer::Step::idle) {
      deliverIdle();
      pacer.idleReported();
      continue;
    }

    Clock::time_point wakeAt = waitingForBuffer ? FramePacer::never() : decision.wakeAt;
    if (damageToExamine && !pacer.changePending()) wakeAt = std::min(wakeAt, pacer.nextSlot());
    // The wait is kept to the nanosecond: rounding it up to whole milliseconds would put
    // every frame late in its slot.
    timespec timeout{};
    const timespec* timeoutPointer = nullptr;
    if (wakeAt != FramePacer::never()) {
      timeoutPointer = &timeout;
      const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(wakeAt - Clock::now());
      if (left.count() > 0) {
        timeout.tv_sec = static_cast<time_t>(left.count() / 1'000'000'000);
        timeout.tv_nsec = static_cast<long>(left.count() % 1'000'000'000);
      }
    }
    const int ready = ppoll(descriptors, 2, timeoutPointer, nullptr);
    if (ready < 0 && errno != EINTR) {
      return displayError(std::string("Waiting for the X server failed: ") + strerror(errno));
    }
    if ((descriptors[1].revents & POLLIN) != 0) wakeup_->drain();
    if (engine_.stopRequested.load()) break;
    if ((descriptors[0].revents & (POLLERR | POLLHUP)) != 0) {
      return displayError("The connection to the X server " + xDisplay_ + " was lost");
    }
  }
  return nullptr;
}

}  // namespace

void CaptureStream::Engine::deliver(const std::shared_ptr<SampleBuffer>& sample) {
  std::vector<OutputEntry> targets;
  {
    std::lock_guard lock(mutex);
    targets = outputs;
  }
  for (auto& target : targets) {
    target.queue->async([weakStream = stream, output = target.output, sample] {
      // A released stream delivers nothing more.
      if (auto owner = weakStream.lock()) {
        output->didOutputSampleBuffer(*owner, sample, StreamOutputType::screen);
      }
    });
  }
}

void CaptureStream::Engine::endedWithError(const ErrorPtr& error) {
  if (delegate.expired()) {
    log("Screen capture stopped: " + error->localizedDescription());
    return;
  }
  DispatchQueue::global()->async([weakDelegate = delegate, weakStream = stream, error] {
    auto target = weakDelegate.lock();
    auto owner = weakStream.lock();
    if (target && owner) target->didStopWithError(*owner, error);
  });
}

void CaptureStream::Engine::requestStop() {
  std::shared_ptr<Wakeup> toSignal;
  {
    std::lock_guard lock(mutex);
    stopRequested.store(true);
    toSignal = wakeup;
  }
  condition.notify_all();
  if (toSignal) toSignal->signal();
}

void CaptureStream::Engine::run(std::function<void(ErrorPtr)> completion) {
  pthread_setname_np(pthread_self(), "tovarine-captur");
  x11::SigpipeGuard guard;  // for the thread's whole life
  // A display a Wayland compositor shows is captured through that compositor.
  auto compositor = makeCompositorCapture(
      filter.display().displayID(),
      {configuration, wakeup->fd(), [w = wakeup] { w->drain(); }, [w = wakeup] { w->signal(); },
       &stopRequested, [this](const std::shared_ptr<SampleBuffer>& sample) { deliver(sample); }});
  CaptureSession session(*this, wakeup);
  ErrorPtr error = compositor ? compositor->setUp() : session.setUp();

  // Nothing is captured before the completion has returned, so whoever starts the stream can
  // get ready for samples there.
  DispatchQueue::global()->async([self = shared_from_this(), completion, error] {
    if (completion) completion(error);
    {
      std::lock_guard lock(self->mutex);
      self->completionReturned = true;
    }
    self->condition.notify_all();
  });
  if (error) return;
  {
    std::unique_lock lock(mutex);
    condition.wait(lock, [&] { return completionReturned || stopRequested.load(); });
  }
  if (stopRequested.load()) return;
  if (auto ended = compositor ? compositor->loop() : session.loop()) endedWithError(ended);
}

std::shared_ptr<CaptureStream> CaptureStream::make(ContentFilter filter,
                                                   StreamConfiguration configuration,
                                                   std::weak_ptr<CaptureStreamDelegate> delegate) {
  std::shared_ptr<CaptureStream> stream(
      new CaptureStream(filter, std::move(configuration), std::move(delegate)));
  stream->engine_->stream = stream;
  return stream;
}

CaptureStream::CaptureStream(ContentFilter filter, StreamConfiguration configuration,
                             std::weak_ptr<CaptureStreamDelegate> delegate)
    : engine_(std::make_shared<Engine>(filter, std::move(configuration), std::move(delegate))) {}

CaptureStream::~CaptureStream() {
  engine_->requestStop();
  if (engine_->thread.joinable()) {
    if (engine_->thread.get_id() == std::this_thread::get_id()) {
      engine_->thread.detach();
    } else {
      engine_->thread.join();
    }
  }
}

const ContentFilter& CaptureStream::filter() const {
  return engine_->filter;
}
const StreamConfiguration& CaptureStream::configuration() const {
  return engine_->configuration;
}

void CaptureStream::addStreamOutput(std::shared_ptr<CaptureStreamOutput> output,
                                    StreamOutputType type, DispatchQueuePtr sampleHandlerQueue) {
  if (!output) throw DisplayError("A stream output is required");
  if (type != StreamOutputType::screen) throw DisplayError("Audio cannot be captured on X");
  if (!sampleHandlerQueue) {
    sampleHandlerQueue = DispatchQueue::serial("platform.display.captureStream.samples");
  }
  std::lock_guard lock(engine_->mutex);
  if (engine_->started) throw DisplayError("Outputs cannot be added while the stream captures");
  engine_->outputs.push_back({std::move(output), std::move(sampleHandlerQueue)});
}

void CaptureStream::startCapture(std::function<void(ErrorPtr)> completion) {
  std::lock_guard lock(engine_->mutex);
  if (engine_->started) {
    DispatchQueue::global()->async([completion] {
      if (completion) completion(displayError("The stream is already capturing"));
    });
    return;
  }
  auto wakeup = std::make_shared<Wakeup>();
  if (wakeup->fd() < 0) {
    DispatchQueue::global()->async([completion] {
      if (completion) completion(displayError("Cannot make an event descriptor"));
    });
    return;
  }
  engine_->started = true;
  engine_->wakeup = std::move(wakeup);
  engine_->thread = std::thread([engine = engine_, completion = std::move(completion)]() mutable {
    engine->run(std::move(completion));
  });
}

void CaptureStream::stopCapture(std::function<void(ErrorPtr)> completion) {
  bool wasStarted = false;
  {
    std::lock_guard lock(engine_->mutex);
    wasStarted = engine_->started;
  }
  engine_->requestStop();
  if (engine_->thread.joinable() && engine_->thread.get_id() != std::this_thread::get_id()) {
    engine_->thread.join();
  }
  DispatchQueue::global()->async([completion, wasStarted] {
    if (completion) completion(wasStarted ? nullptr : displayError("The stream is not capturing"));
  });
}

}  // namespace platform
