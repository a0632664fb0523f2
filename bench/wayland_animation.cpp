#include "wayland_animation.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string_view>

#include "presentation-time-client-protocol.h"
#include "xdg-shell-client-protocol.h"

namespace bench {

namespace {

struct Square {
  int x = 0, y = 0, side = 0;
};

struct Buffer {
  wl_buffer* buffer = nullptr;
  std::uint8_t* pixels = nullptr;
  std::size_t bytes = 0;
  bool busy = false;
  Square square;  // drawn in it last time
};

}  // namespace

struct WaylandAnimation::State {
  const std::vector<std::uint8_t>& picture;
  int width, height, side;
  double hertz;
  wl_display* display = nullptr;
  wl_compositor* compositor = nullptr;
  wl_shm* shm = nullptr;
  xdg_wm_base* wmBase = nullptr;
  wp_presentation* presentation = nullptr;
  std::atomic<std::uint64_t> presented{0}, discarded{0};
  wl_surface* surface = nullptr;
  xdg_surface* xdgSurface = nullptr;
  xdg_toplevel* toplevel = nullptr;
  int configuredWidth = 0, configuredHeight = 0;
  bool configured = false;
  Buffer buffers[2];
  Square shown;

  State(const std::vector<std::uint8_t>& p, int w, int h, int s, double hz)
      : picture(p), width(w), height(h), side(s), hertz(hz) {}
  ~State() {
    for (Buffer& b : buffers) {
      if (b.buffer) wl_buffer_destroy(b.buffer);
      if (b.pixels) munmap(b.pixels, b.bytes);
    }
    if (toplevel) xdg_toplevel_destroy(toplevel);
    if (xdgSurface) xdg_surface_destroy(xdgSurface);
    if (surface) wl_surface_destroy(surface);
    if (wmBase) xdg_wm_base_destroy(wmBase);
    if (presentation) wp_presentation_destroy(presentation);
    if (shm) wl_shm_destroy(shm);
    if (compositor) wl_compositor_destroy(compositor);
    if (display) wl_display_disconnect(display);
  }

  // Puts the desktop picture back over a square of a buffer.
  void restore(Buffer& b, const Square& s) {
    for (int row = s.y; row < s.y + s.side; ++row) {
      const std::size_t offset = (std::size_t(row) * width + s.x) * 4;
      std::memcpy(b.pixels + offset, picture.data() + offset, std::size_t(s.side) * 4);
    }
  }
  void fill(Buffer& b, const Square& s, std::uint32_t colour) {
    for (int row = s.y; row < s.y + s.side; ++row) {
      auto* line =
          reinterpret_cast<std::uint32_t*>(b.pixels + (std::size_t(row) * width + s.x) * 4);
      std::fill(line, line + s.side, colour);
    }
  }
};

namespace {

const wl_registry_listener kRegistry = {
    [](void* data, wl_registry* registry, std::uint32_t name, const char* interface,
       std::uint32_t) {
      auto* s = static_cast<WaylandAnimation::State*>(data);
      const std::string_view kind(interface);
      if (kind == wl_compositor_interface.name) {
        s->compositor = static_cast<wl_compositor*>(
            wl_registry_bind(registry, name, &wl_compositor_interface, 4));
      } else if (kind == wl_shm_interface.name) {
        s->shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
      } else if (kind == wp_presentation_interface.name) {
        s->presentation = static_cast<wp_presentation*>(
            wl_registry_bind(registry, name, &wp_presentation_interface, 1));
      } else if (kind == xdg_wm_base_interface.name) {
        s->wmBase =
            static_cast<xdg_wm_base*>(wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
      }
    },
    [](void*, wl_registry*, std::uint32_t) {}};
const xdg_wm_base_listener kWmBase = {
    [](void*, xdg_wm_base* base, std::uint32_t serial) { xdg_wm_base_pong(base, serial); }};
const xdg_surface_listener kXdgSurface = {
    [](void* data, xdg_surface* surface, std::uint32_t serial) {
      xdg_surface_ack_configure(surface, serial);
      static_cast<WaylandAnimation::State*>(data)->configured = true;
    }};
const xdg_toplevel_listener kToplevel = {
    [](void* data, xdg_toplevel*, std::int32_t width, std::int32_t height, wl_array*) {
      auto* s = static_cast<WaylandAnimation::State*>(data);
      s->configuredWidth = width;
      s->configuredHeight = height;
    },
    [](void*, xdg_toplevel*) {}, nullptr, nullptr};
// One commit's fate: presented (counted) or discarded; either way the object is done.
const wp_presentation_feedback_listener kFeedback = {
    [](void*, struct wp_presentation_feedback*, wl_output*) {},
    [](void* data, struct wp_presentation_feedback* feedback, std::uint32_t, std::uint32_t,
       std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {
      ++static_cast<WaylandAnimation::State*>(data)->presented;
      wp_presentation_feedback_destroy(feedback);
    },
    [](void* data, struct wp_presentation_feedback* feedback) {
      ++static_cast<WaylandAnimation::State*>(data)->discarded;
      wp_presentation_feedback_destroy(feedback);
    }};
const wl_buffer_listener kBuffer = {
    [](void* data, wl_buffer*) { static_cast<Buffer*>(data)->busy = false; }};

}  // namespace

WaylandAnimation::WaylandAnimation(const std::string& waylandDisplay, int width, int height,
                                   const std::vector<std::uint8_t>& picture, int side, double hertz,
                                   bool fullscreen) {
  auto* s = new State(
      picture, width, height,
      side > 0 ? std::min({side, width, height}) : std::max(32, std::min(width, height) / 5),
      hertz);
  state_ = s;
  s->display = wl_display_connect(waylandDisplay.c_str());
  if (!s->display) return;
  wl_registry* registry = wl_display_get_registry(s->display);
  wl_registry_add_listener(registry, &kRegistry, s);
  wl_display_roundtrip(s->display);
  wl_registry_destroy(registry);
  if (!s->compositor || !s->shm || !s->wmBase) return;
  xdg_wm_base_add_listener(s->wmBase, &kWmBase, nullptr);
  s->surface = wl_compositor_create_surface(s->compositor);
  s->xdgSurface = xdg_wm_base_get_xdg_surface(s->wmBase, s->surface);
  xdg_surface_add_listener(s->xdgSurface, &kXdgSurface, s);
  s->toplevel = xdg_surface_get_toplevel(s->xdgSurface);
  xdg_toplevel_add_listener(s->toplevel, &kToplevel, s);
  if (fullscreen) xdg_toplevel_set_fullscreen(s->toplevel, nullptr);
  wl_surface_commit(s->surface);
  while (!s->configured) {
    if (wl_display_dispatch(s->display) < 0) return;
  }
  const std::size_t bytes = std::size_t(width) * height * 4;
  for (Buffer& b : s->buffers) {
    const int fd = memfd_create("bench-window", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, off_t(bytes)) != 0) return;
    void* mapped = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) {
      close(fd);
      return;
    }
    b.pixels = static_cast<std::uint8_t*>(mapped);
    b.bytes = bytes;
    std::memcpy(b.pixels, picture.data(), bytes);
    wl_shm_pool* pool = wl_shm_create_pool(s->shm, fd, std::int32_t(bytes));
    b.buffer = wl_shm_pool_create_buffer(pool, 0, width, height, width * 4, WL_SHM_FORMAT_XRGB8888);
    wl_shm_pool_destroy(pool);
    close(fd);
    wl_buffer_add_listener(b.buffer, &kBuffer, &b);
  }
  // The whole picture first; the compositor then sizes the window to the output.
  wl_surface_attach(s->surface, s->buffers[0].buffer, 0, 0);
  s->buffers[0].busy = true;
  wl_surface_damage_buffer(s->surface, 0, 0, width, height);
  wl_surface_commit(s->surface);
  wl_display_roundtrip(s->display);
  wl_display_roundtrip(s->display);
  if (s->configuredWidth != width || s->configuredHeight != height) return;
  ready_ = true;
  thread_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "bench-animate");
    run();
  });
}

std::optional<std::uint64_t> WaylandAnimation::shown() const {
  if (!state_ || !state_->presentation) return std::nullopt;
  // A compositor without a display to time (headless sway) discards every commit it draws.
  if (state_->presented.load() == 0 && state_->discarded.load() > 0) return std::nullopt;
  return state_->presented.load();
}

WaylandAnimation::~WaylandAnimation() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  delete state_;
}

void WaylandAnimation::run() {
  State& s = *state_;
  using Clock = std::chrono::steady_clock;
  int x = 0, y = 0, dx = std::max(4, s.width / 90), dy = std::max(3, s.height / 120);
  auto next = Clock::now();
  const auto period =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / s.hertz));
  while (!stop_) {
    if (wl_display_roundtrip(s.display) < 0) return;
    Buffer* free = nullptr;
    for (Buffer& b : s.buffers)
      if (!b.busy) free = &b;
    if (free) {
      x = std::clamp(x + dx, 0, s.width - s.side);
      y = std::clamp(y + dy, 0, s.height - s.side);
      if (x == 0 || x == s.width - s.side) dx = -dx;
      if (y == 0 || y == s.height - s.side) dy = -dy;
      const Square now{x, y, s.side};
      if (free->square.side > 0) s.restore(*free, free->square);
      s.fill(*free, now, 0xF2A541);
      free->square = now;
      free->busy = true;
      wl_surface_attach(s.surface, free->buffer, 0, 0);
      if (s.shown.side > 0) {
        wl_surface_damage_buffer(s.surface, s.shown.x, s.shown.y, s.shown.side, s.shown.side);
      }
      wl_surface_damage_buffer(s.surface, now.x, now.y, now.side, now.side);
      if (s.presentation) {
        wp_presentation_feedback_add_listener(wp_presentation_feedback(s.presentation, s.surface),
                                              &kFeedback, &s);
      }
      wl_surface_commit(s.surface);
      wl_display_flush(s.display);
      s.shown = now;
      ++drawn_;
    }
    next += period;
    std::this_thread::sleep_until(next);
  }
}

}  // namespace bench
