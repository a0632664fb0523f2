#include "platform/display/x11/x11_capture.h"

#include <poll.h>
#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>
#include <xcb/xinput.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <fmt/core.h>

#include "platform/display/capture_buffer_pool.h"
#include "platform/display/display_error.h"
#include "platform/display/display_queries.h"
#include "platform/display/frame_pacer.h"
#include "platform/display/x11/cursor_overlay.h"
#include "platform/display/stale_rows.h"
#include "platform/display/x11/x_connection.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

bool intersects(const PixelArea& a, const xcb_rectangle_t& b) {
  return a.x < b.x + std::int32_t{b.width} && b.x < a.x + std::int32_t(a.width) &&
         a.y < b.y + std::int32_t{b.height} && b.y < a.y + std::int32_t(a.height);
}

class X11Capture final : public CaptureBackend {
 public:
  X11Capture(DisplayID id, CaptureBackendContext context)
      : id_(id),
        context_(std::move(context)),
        pool_(std::make_shared<CaptureBufferPool>(context_.signalWake)) {}

  ErrorPtr setUp() override;
  ErrorPtr loop() override;

 private:
  struct Events {
    bool damaged = false;
    bool geometryChanged = false;
    bool pointerMoved = false;
    bool cursorChanged = false;
  };

  ErrorPtr locate();
  void listenToThePointer();
  void handleEvents(Events& events);
  bool damageTouchesDisplay();
  // Learns where the pointer is now (and its image when it changed); true when the next frame
  // would show it otherwise than the last one did.
  bool pointerChangesThePicture(bool imageChanged);
  ErrorPtr grabAndDeliver(const CaptureBufferPool::Loan& loan);

  const DisplayID id_;
  CaptureBackendContext context_;
  std::shared_ptr<CaptureBufferPool> pool_;
  // The pool's buffers as the X server knows them (shared-memory segments), by the pool's index.
  std::vector<xcb_shm_seg_t> segments_;
  std::unique_ptr<x11::Connection> x_;
  std::string xDisplay_;
  PixelArea rect_;
  // Per pool buffer (by index), the rows that changed since it was last filled.
  std::vector<StaleRows> stale_;
  std::uint8_t damageEvent_ = 0;
  std::optional<std::uint8_t> randrEvent_;
  xcb_damage_damage_t damage_ = 0;
  xcb_xfixes_region_t region_ = 0;

  // The pointer is drawn into every frame. Damage says nothing of it: XFixes tells when its
  // image changes and XInput 2's raw motion when it moves.
  std::uint8_t xfixesEvent_ = 0;
  std::optional<std::uint8_t> xinputOpcode_;
  x11::CursorState cursor_;
  // What of the pointer the last frame decided on shows: its footprint on the display, and the
  // image and place drawn there.
  struct Shown {
    PixelArea footprint;
    std::uint32_t serial = 0;
    std::int32_t x = 0, y = 0;
    bool operator==(const Shown&) const = default;
  };
  std::optional<Shown> shown_;
  // Per pool buffer, the part of it a cursor was last drawn over: those rows are read again
  // before the buffer is filled anew, so a pointer that moved on leaves no trace.
  std::vector<std::optional<PixelArea>> drawnCursor_;
  // The frame due was asked for by the pointer alone, so rows nobody marked need no read.
  bool pointerChange_ = false;
};

std::optional<std::uint32_t> cursorImageInto(xcb_connection_t* c, x11::CursorState& cursor) {
  x11::Reply<xcb_xfixes_get_cursor_image_reply_t> image(
      xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
  if (!image) return std::nullopt;
  const int length = xcb_xfixes_get_cursor_image_cursor_image_length(image.get());
  const std::size_t count = std::size_t{image->width} * image->height;
  if (length < 0 || std::size_t(length) < count) return std::nullopt;
  const std::uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(image.get());
  cursor.pixels.assign(pixels, pixels + count);
  cursor.width = image->width;
  cursor.height = image->height;
  cursor.xhot = image->xhot;
  cursor.yhot = image->yhot;
  cursor.serial = image->cursor_serial;
  cursor.x = image->x;
  cursor.y = image->y;
  return image->cursor_serial;
}

ErrorPtr X11Capture::locate() {
  const DisplayID id = id_;
  auto location = locateDisplay(id);
  if (!location) return displayError(fmt::format("The display {} is not available", id));
  PixelArea rect{location->x, location->y, location->pixelWidth, location->pixelHeight};
  if (const auto& source = context_.configuration.sourceRect()) {
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

ErrorPtr X11Capture::setUp() {
  const StreamConfiguration& configuration = context_.configuration;
  if (auto error = checkCaptureConfiguration(configuration, /*canCrop=*/true)) return error;
  if (auto error = locate()) return error;
  if (auto error = checkCaptureSize(configuration, rect_.width, rect_.height)) return error;

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
    pool_->add(std::move(segment));
    segments_.push_back(id);
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

  xfixesEvent_ = xfixes->first_event;
  listenToThePointer();
  drawnCursor_.resize(segments_.size());

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

void X11Capture::listenToThePointer() {
  xcb_connection_t* c = x_->get();
  xcb_xfixes_select_cursor_input(c, x_->root(), XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
  // Raw motion reaches the root window whatever window the pointer is over, and from XInput
  // 2.1 on whoever grabbed it (a window being dragged). A server without XInput 2 still gets
  // the pointer drawn, though only into frames that something else asked for.
  const auto* input = xcb_get_extension_data(c, &xcb_input_id);
  if (input && input->present) {
    x11::Reply<xcb_input_xi_query_version_reply_t> version(
        xcb_input_xi_query_version_reply(c, xcb_input_xi_query_version(c, 2, 2), nullptr));
    if (version && version->major_version >= 2) {
      struct {
        xcb_input_event_mask_t head;
        std::uint32_t bits;
      } mask{{XCB_INPUT_DEVICE_ALL_MASTER, 1}, XCB_INPUT_XI_EVENT_MASK_RAW_MOTION};
      if (x_->check(xcb_input_xi_select_events_checked(c, x_->root(), 1, &mask.head))) {
        xinputOpcode_ = input->major_opcode;
      }
    }
  }
  pointerChangesThePicture(/*imageChanged=*/true);
}

void X11Capture::handleEvents(Events& events) {
  while (auto* raw = xcb_poll_for_event(x_->get())) {
    x11::Reply<xcb_generic_event_t> event(raw);
    const std::uint8_t type = event->response_type & 0x7f;
    if (type == damageEvent_ + XCB_DAMAGE_NOTIFY) {
      events.damaged = true;
    } else if (type == XCB_CONFIGURE_NOTIFY ||
               (randrEvent_ && type == *randrEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY)) {
      events.geometryChanged = true;
    } else if (type == xfixesEvent_ + XCB_XFIXES_CURSOR_NOTIFY) {
      events.cursorChanged = true;
    } else if (type == XCB_GE_GENERIC && xinputOpcode_) {
      const auto* generic = reinterpret_cast<const xcb_ge_generic_event_t*>(event.get());
      if (generic->extension == *xinputOpcode_ && generic->event_type == XCB_INPUT_RAW_MOTION) {
        events.pointerMoved = true;
      }
    }
  }
}

bool X11Capture::pointerChangesThePicture(bool imageChanged) {
  xcb_connection_t* c = x_->get();
  if (imageChanged) {
    // The image's reply carries the pointer's place too.
    if (!cursorImageInto(c, cursor_)) cursor_.pixels.clear();
  }
  x11::Reply<xcb_query_pointer_reply_t> pointer(
      xcb_query_pointer_reply(c, xcb_query_pointer(c, x_->root()), nullptr));
  if (pointer) {
    cursor_.onScreen = pointer->same_screen != 0;
    cursor_.x = pointer->root_x;
    cursor_.y = pointer->root_y;
  } else {
    cursor_.onScreen = false;
  }
  std::optional<Shown> now;
  if (auto footprint = x11::cursorFootprint(cursor_, rect_)) {
    now = Shown{*footprint, cursor_.serial, cursor_.x, cursor_.y};
  }
  if (now == shown_) return false;
  shown_ = now;
  return true;
}

bool X11Capture::damageTouchesDisplay() {
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

ErrorPtr X11Capture::grabAndDeliver(const CaptureBufferPool::Loan& loan) {
  xcb_connection_t* c = x_->get();
  auto lease = pool_->lease(loan);
  // The buffer still holds the picture it was last filled with: only the rows changed since
  // then are read, each band into its place. The reads are sent together and answered in turn.
  StaleRows& stale = stale_[loan.index];
  if (stale.bands().empty() && !pointerChange_) stale.markAll();  // a change whose rows are unknown
  if (auto& drawn = drawnCursor_[loan.index]) {
    stale.mark(static_cast<std::uint32_t>(drawn->y),
               static_cast<std::uint32_t>(drawn->y) + drawn->height);
    drawn.reset();
  }
  const std::size_t stride = std::size_t{rect_.width} * 4;
  std::vector<xcb_shm_get_image_cookie_t> cookies;
  cookies.reserve(stale.bands().size());
  for (const StaleRows::Band& band : stale.bands()) {
    cookies.push_back(xcb_shm_get_image(c, x_->root(), static_cast<std::int16_t>(rect_.x),
                                        static_cast<std::int16_t>(rect_.y + std::int32_t(band.top)),
                                        static_cast<std::uint16_t>(rect_.width),
                                        static_cast<std::uint16_t>(band.bottom - band.top), ~0u,
                                        XCB_IMAGE_FORMAT_Z_PIXMAP, segments_[loan.index],
                                        static_cast<std::uint32_t>(band.top * stride)));
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
  pointerChange_ = false;
  // Drawn over the rows read just now, so the buffer knows which of its rows it made up.
  drawnCursor_[loan.index] = x11::drawCursor(cursor_, rect_, loan.mapping->address, stride);
  context_.deliver(frameSample(
      std::make_shared<PixelBuffer>(rect_.width, rect_.height, std::size_t{rect_.width} * 4,
                                    PixelFormat::bgra32, loan.mapping->address, std::move(lease))));
  return nullptr;
}

ErrorPtr X11Capture::loop() {
  const auto interval = paceInterval(context_.configuration.minimumFrameInterval().seconds());
  FramePacer pacer(interval);
  bool damageToExamine = false;
  bool pointerToExamine = false;
  bool cursorImageStale = false;
  // A pointer moving beside the display brings no frame, so no slot closes behind its looks:
  // they are spaced by themselves, or a fast mouse would cost a round trip per report.
  const auto lookInterval =
      std::max<Clock::duration>(interval, std::chrono::microseconds(1000000 / 60));
  Clock::time_point nextPointerLook{};
  const auto pointerLookAt = [&] { return std::max(pacer.nextSlot(), nextPointerLook); };
  pollfd descriptors[2] = {{xcb_get_file_descriptor(x_->get()), POLLIN, 0},
                           {context_.wakeFd, POLLIN, 0}};

  // Takes in every event xcb holds. Waiting for a reply makes xcb read events into its own
  // queue, where poll() cannot see them, so this runs before every wait as well as after.
  const auto absorbEvents = [&]() -> ErrorPtr {
    Events events;
    handleEvents(events);
    const bool geometryChanged = events.geometryChanged;
    if (events.damaged) damageToExamine = true;
    if (events.pointerMoved || events.cursorChanged) pointerToExamine = true;
    if (events.cursorChanged) cursorImageStale = true;
    if (x_->hasError()) {
      return displayError("The connection to the X server " + xDisplay_ + " was lost");
    }
    if (geometryChanged) {
      const PixelArea before = rect_;
      if (locate() != nullptr || rect_.width != before.width || rect_.height != before.height) {
        return displayError("The captured display is no longer available");
      }
      // The display may have moved: what the buffers hold says nothing about its new place.
      for (StaleRows& rows : stale_)
        rows.markAll();
    }
    return nullptr;
  };

  while (!context_.stopRequested->load()) {
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
    // The pointer likewise: however often it moved, one look per frame slot.
    if (pointerToExamine && now >= pointerLookAt()) {
      pointerToExamine = false;
      nextPointerLook = now + lookInterval;
      if (pointerChangesThePicture(std::exchange(cursorImageStale, false))) {
        if (!pacer.changePending()) pointerChange_ = true;
        pacer.changed();
      }
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
      context_.deliver(idleSample());
      pacer.idleReported();
      continue;
    }

    Clock::time_point wakeAt = waitingForBuffer ? FramePacer::never() : decision.wakeAt;
    if (damageToExamine && !pacer.changePending()) wakeAt = std::min(wakeAt, pacer.nextSlot());
    if (pointerToExamine) wakeAt = std::min(wakeAt, pointerLookAt());
    timespec timeout{};
    const int ready = ppoll(descriptors, 2, pollTimeout(wakeAt, timeout), nullptr);
    if (ready < 0 && errno != EINTR) {
      return displayError(std::string("Waiting for the X server failed: ") + strerror(errno));
    }
    if ((descriptors[1].revents & POLLIN) != 0) context_.drainWake();
    if (context_.stopRequested->load()) break;
    if ((descriptors[0].revents & (POLLERR | POLLHUP)) != 0) {
      return displayError("The connection to the X server " + xDisplay_ + " was lost");
    }
  }
  return nullptr;
}

}  // namespace

std::unique_ptr<CaptureBackend> makeX11Capture(DisplayID id, CaptureBackendContext context) {
  return std::make_unique<X11Capture>(id, std::move(context));
}

}  // namespace platform
