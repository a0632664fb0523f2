#include "platform/display/gnome/mutter_video_stream.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include <fmt/core.h>

#include "platform/display/gnome/changed_tiles.h"

namespace platform {

namespace {

constexpr auto kNegotiationTimeout = std::chrono::seconds(15);
// Enough buffers that the compositor always has one to draw into while we hold the newest
// and a reader still has the one before it.
constexpr int kLeastBuffers = 3, kWantedBuffers = 4, kMostBuffers = 16;
// Damage rectangles per frame beyond these are reported by the compositor as one that holds them.
constexpr int kDamageRegions = 16;

void initializePipeWire() {
  static std::once_flag once;
  std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

}  // namespace

struct MutterVideoStream::State {
  pw_thread_loop* loop = nullptr;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  pw_stream* stream = nullptr;
  spa_hook streamListener{};
  spa_hook coreListener{};
  std::uint32_t requestedWidth = 0, requestedHeight = 0;

  // Written on the loop's thread, read under the mutex.
  mutable std::mutex mutex;
  std::uint32_t width = 0, height = 0;
  bool negotiated = false;
  std::string failure;
  // The newest frame's buffer, kept from the compositor until a newer one arrives, and the
  // one a reader has (the same, or the one before it, handed back once read).
  pw_buffer* latest = nullptr;
  MutterVideoStream::FrameView latestView;
  pw_buffer* reading = nullptr;
  bool readingBusy = false;  // the reader is still in the buffer's memory
  std::condition_variable readDone;
  bool fresh = false;
  // What changed since the last read; unknown once a frame came without damage.
  PixelArea damage;
  bool damageKnown = true;
  std::function<void()> wake;

  ~State() {
    if (loop) pw_thread_loop_stop(loop);
    if (stream) pw_stream_destroy(stream);
    if (core) pw_core_disconnect(core);
    if (context) pw_context_destroy(context);
    if (loop) pw_thread_loop_destroy(loop);
  }

  void fail(std::string reason) {
    {
      std::lock_guard lock(mutex);
      if (failure.empty()) failure = std::move(reason);
    }
    wakeConsumer();
    pw_thread_loop_signal(loop, false);
  }

  void wakeConsumer() {
    std::function<void()> target;
    {
      std::lock_guard lock(mutex);
      target = wake;
    }
    if (target) target();
  }

  static void onStateChanged(void* data, pw_stream_state, pw_stream_state state,
                             const char* error) {
    auto* self = static_cast<State*>(data);
    if (state == PW_STREAM_STATE_ERROR) {
      self->fail(fmt::format("The screen-cast stream failed: {}", error ? error : "no reason"));
    } else if (state == PW_STREAM_STATE_UNCONNECTED) {
      self->fail("The screen-cast stream was closed");
    }
  }

  static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
    auto* self = static_cast<State*>(data);
    if (id != SPA_PARAM_Format || !param) return;
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) < 0) {
      self->fail("The screen-cast stream agreed on no raw video format");
      return;
    }
    if (info.format != SPA_VIDEO_FORMAT_BGRx || info.size.width != self->requestedWidth ||
        info.size.height != self->requestedHeight) {
      self->fail(fmt::format("The compositor offers {}x{} frames where {}x{} BGRx were asked for",
                             info.size.width, info.size.height, self->requestedWidth,
                             self->requestedHeight));
      return;
    }
    // Frames in shared memory, read where they lie: the capture copies each once, into the
    // buffer it encodes from. The damage the compositor reports spares comparing frames.
    std::uint8_t buffer[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[2];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(kWantedBuffers, kLeastBuffers, kMostBuffers),
        SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
    constexpr int kRegionBytes = sizeof(spa_meta_region);
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_VideoDamage), SPA_PARAM_META_size,
        SPA_POD_CHOICE_RANGE_Int(kRegionBytes * kDamageRegions, kRegionBytes,
                                 kRegionBytes * kDamageRegions)));
    pw_stream_update_params(self->stream, params, 2);
    {
      std::lock_guard lock(self->mutex);
      self->width = info.size.width;
      self->height = info.size.height;
      self->negotiated = true;
    }
    pw_thread_loop_signal(self->loop, false);
  }

  static void onProcess(void* data) {
    auto* self = static_cast<State*>(data);
    pw_buffer* buffer = nullptr;
    // Only the newest frame matters; the damage of those passed over still counts.
    while (pw_buffer* next = pw_stream_dequeue_buffer(self->stream)) {
      if (buffer) {
        self->takeIn(buffer, /*keep=*/false);
        pw_stream_queue_buffer(self->stream, buffer);
      }
      buffer = next;
    }
    if (!buffer) return;
    if (!self->takeIn(buffer, /*keep=*/true)) {
      pw_stream_queue_buffer(self->stream, buffer);
      return;
    }
    self->wakeConsumer();
  }

  // Counts a frame's damage and, when `keep`, makes it the newest frame; false (nothing
  // counted) for a chunk without its whole picture (a cursor-only update, or a corrupt one).
  bool takeIn(pw_buffer* buffer, bool keep) {
    const spa_buffer* spa = buffer->buffer;
    if (spa->n_datas < 1 || !spa->datas[0].data || !spa->datas[0].chunk) return false;
    const spa_data& plane = spa->datas[0];
    pw_buffer* handBack = nullptr;
    {
      std::lock_guard lock(mutex);
      const std::size_t row = std::size_t{width} * 4;
      const std::size_t stride = plane.chunk->stride > 0 ? std::size_t(plane.chunk->stride) : row;
      const std::size_t offset = plane.chunk->offset % std::max<std::uint32_t>(plane.maxsize, 1);
      if (width == 0 || height == 0) return false;
      const std::size_t needed = stride * (height - 1) + row;
      if (stride < row || plane.chunk->size < needed || offset + needed > plane.maxsize ||
          (plane.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) != 0) {
        return false;
      }
      PixelArea here;
      if (const spa_meta* meta = spa_buffer_find_meta(spa, SPA_META_VideoDamage)) {
        spa_meta_region* region = nullptr;
        spa_meta_for_each(region, meta) {
          if (!spa_meta_region_is_valid(region)) break;
          here = addDamage(here, region->region.position.x, region->region.position.y,
                           region->region.size.width, region->region.size.height, width, height);
        }
      }
      // No damage said is no promise that nothing changed.
      if (here.width == 0) {
        damageKnown = false;
      } else {
        damage = addDamage(damage, here.x, here.y, here.width, here.height, width, height);
      }
      if (!keep) return true;
      if (latest && latest != reading) handBack = latest;
      latest = buffer;
      latestView.pixels = static_cast<const std::uint8_t*>(plane.data) + offset;
      latestView.stride = stride;
      fresh = true;
    }
    if (handBack) pw_stream_queue_buffer(stream, handBack);
    return true;
  }

  // The compositor takes a buffer away (a new format, or the stream's end): a reader in it
  // finishes first, and nobody hands it back afterwards.
  static void onRemoveBuffer(void* data, pw_buffer* buffer) {
    auto* self = static_cast<State*>(data);
    std::unique_lock lock(self->mutex);
    if (buffer == self->latest) {
      self->latest = nullptr;
      self->fresh = false;
    }
    if (buffer == self->reading) {
      self->readDone.wait(lock, [&] { return !self->readingBusy; });
      self->reading = nullptr;
    }
  }

  static void onCoreError(void* data, std::uint32_t id, int, int, const char* message) {
    auto* self = static_cast<State*>(data);
    if (id == PW_ID_CORE) {
      self->fail(fmt::format("PipeWire ended the connection: {}", message ? message : ""));
    }
  }
};

MutterVideoStream::MutterVideoStream(std::unique_ptr<State> state) : state_(std::move(state)) {}

MutterVideoStream::~MutterVideoStream() {
  detach();
}

std::expected<std::unique_ptr<MutterVideoStream>, std::string> MutterVideoStream::connect(
    std::uint32_t node, std::uint32_t width, std::uint32_t height) {
  initializePipeWire();
  auto state = std::make_unique<State>();
  state->requestedWidth = width;
  state->requestedHeight = height;
  state->loop = pw_thread_loop_new("tovarine-screencast", nullptr);
  if (!state->loop) return std::unexpected("Cannot make a PipeWire loop");
  state->context = pw_context_new(pw_thread_loop_get_loop(state->loop), nullptr, 0);
  if (!state->context) return std::unexpected("Cannot make a PipeWire context");
  if (pw_thread_loop_start(state->loop) < 0) return std::unexpected("Cannot start PipeWire");

  pw_thread_loop_lock(state->loop);
  state->core = pw_context_connect(state->context, nullptr, 0);
  if (!state->core) {
    pw_thread_loop_unlock(state->loop);
    return std::unexpected("Cannot reach PipeWire");
  }
  static const pw_core_events coreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.error = State::onCoreError;
    return events;
  }();
  pw_core_add_listener(state->core, &state->coreListener, &coreEvents, state.get());
  state->stream = pw_stream_new(state->core, "Tovarine display",
                                pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                                  "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
  if (!state->stream) {
    pw_thread_loop_unlock(state->loop);
    return std::unexpected("Cannot make a PipeWire stream");
  }
  static const pw_stream_events streamEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = State::onStateChanged;
    events.param_changed = State::onParamChanged;
    events.process = State::onProcess;
    events.remove_buffer = State::onRemoveBuffer;
    return events;
  }();
  pw_stream_add_listener(state->stream, &state->streamListener, &streamEvents, state.get());

  std::uint8_t buffer[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  const spa_rectangle size = SPA_RECTANGLE(width, height);
  const spa_fraction none = SPA_FRACTION(0, 1);
  const spa_fraction most = SPA_FRACTION(60, 1);
  const auto* format = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
      SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
      SPA_FORMAT_VIDEO_format, SPA_POD_Id(SPA_VIDEO_FORMAT_BGRx), SPA_FORMAT_VIDEO_size,
      SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&none),
      SPA_FORMAT_VIDEO_maxFramerate, SPA_POD_CHOICE_RANGE_Fraction(&most, &none, &most)));
  const int connected = pw_stream_connect(
      state->stream, PW_DIRECTION_INPUT, node,
      static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
      &format, 1);
  if (connected < 0) {
    pw_thread_loop_unlock(state->loop);
    return std::unexpected(fmt::format("Cannot connect to the screen-cast stream {}", node));
  }
  const auto deadline = std::chrono::steady_clock::now() + kNegotiationTimeout;
  std::string failure;
  bool negotiated = false;
  for (;;) {
    {
      std::lock_guard lock(state->mutex);
      failure = state->failure;
      negotiated = state->negotiated;
    }
    if (!failure.empty() || negotiated) break;
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) break;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left).count() + 1;
    pw_thread_loop_timed_wait(state->loop, static_cast<int>(seconds));
  }
  pw_thread_loop_unlock(state->loop);
  if (!failure.empty()) return std::unexpected(failure);
  if (!negotiated) return std::unexpected("The compositor did not agree on a format in time");
  return std::unique_ptr<MutterVideoStream>(new MutterVideoStream(std::move(state)));
}

std::uint32_t MutterVideoStream::width() const {
  std::lock_guard lock(state_->mutex);
  return state_->width;
}
std::uint32_t MutterVideoStream::height() const {
  std::lock_guard lock(state_->mutex);
  return state_->height;
}

void MutterVideoStream::attach(std::function<void()> wake) {
  bool hasFrame = false;
  {
    std::lock_guard lock(state_->mutex);
    state_->wake = wake;
    hasFrame = state_->latest != nullptr;
    if (hasFrame) {
      // A new consumer has seen nothing yet.
      state_->fresh = true;
      state_->damageKnown = false;
    }
  }
  if (hasFrame && wake) wake();
}

void MutterVideoStream::detach() {
  std::lock_guard lock(state_->mutex);
  state_->wake = nullptr;
}

bool MutterVideoStream::hasFreshFrame() const {
  std::lock_guard lock(state_->mutex);
  return state_->fresh && state_->latest;
}

bool MutterVideoStream::readFrame(const std::function<void(const FrameView&)>& read) {
  FrameView view;
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->fresh || !state_->latest || state_->reading) return false;
    state_->fresh = false;
    state_->reading = state_->latest;
    state_->readingBusy = true;
    view = state_->latestView;
    if (state_->damageKnown) view.damage = state_->damage;
    state_->damage = {};
    state_->damageKnown = true;
  }
  read(view);
  {
    std::lock_guard lock(state_->mutex);
    state_->readingBusy = false;
  }
  state_->readDone.notify_all();
  // Handed back here unless it is still the newest (then a newer one hands it back) or the
  // compositor took it away meanwhile. The loop's lock comes before the mutex, as on its thread.
  pw_thread_loop_lock(state_->loop);
  pw_buffer* handBack = nullptr;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->reading && state_->reading != state_->latest && state_->stream) {
      handBack = state_->reading;
    }
    state_->reading = nullptr;
  }
  if (handBack) pw_stream_queue_buffer(state_->stream, handBack);
  pw_thread_loop_unlock(state_->loop);
  return true;
}

void MutterVideoStream::close() {
  pw_thread_loop_lock(state_->loop);
  // Said first: disconnecting reports a closed stream as well.
  state_->fail("The display was removed");
  {
    // The buffers go with the stream: a reader in one finishes first.
    std::unique_lock lock(state_->mutex);
    state_->readDone.wait(lock, [&] { return !state_->readingBusy; });
    state_->reading = nullptr;
    state_->latest = nullptr;
    state_->fresh = false;
  }
  if (state_->stream) {
    pw_stream_disconnect(state_->stream);
    pw_stream_destroy(state_->stream);
    state_->stream = nullptr;
  }
  pw_thread_loop_unlock(state_->loop);
}

std::string MutterVideoStream::failure() const {
  std::lock_guard lock(state_->mutex);
  return state_->failure;
}

}  // namespace platform
