#include "platform/display/support/wayland_painter.h"

#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "xdg-shell-client-protocol.h"

namespace testing_display {

struct WaylandPainter::State {
  wl_display* display = nullptr;
  wl_registry* registry = nullptr;
  wl_compositor* compositor = nullptr;
  wl_shm* shm = nullptr;
  xdg_wm_base* wmBase = nullptr;
  wl_surface* surface = nullptr;
  xdg_surface* xdgSurface = nullptr;
  xdg_toplevel* toplevel = nullptr;
  std::uint32_t width = 0, height = 0;
  bool configured = false;
  std::vector<std::uint32_t> canvas;
  std::vector<wl_buffer*> buffers;

  ~State() {
    for (wl_buffer* buffer : buffers)
      wl_buffer_destroy(buffer);
    if (toplevel) xdg_toplevel_destroy(toplevel);
    if (xdgSurface) xdg_surface_destroy(xdgSurface);
    if (surface) wl_surface_destroy(surface);
    if (wmBase) xdg_wm_base_destroy(wmBase);
    if (shm) wl_shm_destroy(shm);
    if (compositor) wl_compositor_destroy(compositor);
    if (registry) wl_registry_destroy(registry);
    if (display) wl_display_disconnect(display);
  }

  // A buffer holding the canvas; kept until the window goes.
  wl_buffer* snapshot() {
    const std::size_t bytes = canvas.size() * 4;
    const int fd = memfd_create("test-window", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(bytes)) != 0) return nullptr;
    void* address = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (address == MAP_FAILED) {
      close(fd);
      return nullptr;
    }
    std::memcpy(address, canvas.data(), bytes);
    munmap(address, bytes);
    wl_shm_pool* pool = wl_shm_create_pool(shm, fd, static_cast<std::int32_t>(bytes));
    wl_buffer* buffer = wl_shm_pool_create_buffer(
        pool, 0, static_cast<std::int32_t>(width), static_cast<std::int32_t>(height),
        static_cast<std::int32_t>(width * 4), WL_SHM_FORMAT_XRGB8888);
    wl_shm_pool_destroy(pool);
    close(fd);
    buffers.push_back(buffer);
    return buffer;
  }
};

namespace {

void onGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
              std::uint32_t) {
  auto* state = static_cast<WaylandPainter::State*>(data);
  const std::string_view kind(interface);
  if (kind == wl_compositor_interface.name) {
    state->compositor =
        static_cast<wl_compositor*>(wl_registry_bind(registry, name, &wl_compositor_interface, 4));
  } else if (kind == wl_shm_interface.name) {
    state->shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
  } else if (kind == xdg_wm_base_interface.name) {
    state->wmBase =
        static_cast<xdg_wm_base*>(wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
  }
}

const wl_registry_listener kRegistryListener = {onGlobal,
                                                [](void*, wl_registry*, std::uint32_t) {}};
const xdg_wm_base_listener kWmBaseListener = {
    [](void*, xdg_wm_base* base, std::uint32_t serial) { xdg_wm_base_pong(base, serial); }};
const xdg_surface_listener kXdgSurfaceListener = {
    [](void* data, xdg_surface* surface, std::uint32_t serial) {
      xdg_surface_ack_configure(surface, serial);
      static_cast<WaylandPainter::State*>(data)->configured = true;
    }};
const xdg_toplevel_listener kToplevelListener = {
    [](void* data, xdg_toplevel*, std::int32_t width, std::int32_t height, wl_array*) {
      auto* state = static_cast<WaylandPainter::State*>(data);
      if (width > 0 && height > 0) {
        state->width = static_cast<std::uint32_t>(width);
        state->height = static_cast<std::uint32_t>(height);
      }
    },
    [](void*, xdg_toplevel*) {}, nullptr, nullptr};

}  // namespace

WaylandPainter::WaylandPainter(std::unique_ptr<State> state) : state_(std::move(state)) {}
WaylandPainter::~WaylandPainter() = default;

std::uint32_t WaylandPainter::width() const {
  return state_->width;
}
std::uint32_t WaylandPainter::height() const {
  return state_->height;
}

std::expected<std::unique_ptr<WaylandPainter>, std::string> WaylandPainter::open(
    const std::string& waylandDisplay, bool fullscreen) {
  auto state = std::make_unique<State>();
  state->display = wl_display_connect(waylandDisplay.c_str());
  if (!state->display) return std::unexpected("Cannot connect to " + waylandDisplay);
  state->registry = wl_display_get_registry(state->display);
  wl_registry_add_listener(state->registry, &kRegistryListener, state.get());
  wl_display_roundtrip(state->display);
  if (!state->compositor || !state->shm || !state->wmBase) {
    return std::unexpected("The compositor lacks wl_compositor, wl_shm or xdg_wm_base");
  }
  xdg_wm_base_add_listener(state->wmBase, &kWmBaseListener, nullptr);
  state->surface = wl_compositor_create_surface(state->compositor);
  state->xdgSurface = xdg_wm_base_get_xdg_surface(state->wmBase, state->surface);
  xdg_surface_add_listener(state->xdgSurface, &kXdgSurfaceListener, state.get());
  state->toplevel = xdg_surface_get_toplevel(state->xdgSurface);
  xdg_toplevel_add_listener(state->toplevel, &kToplevelListener, state.get());
  xdg_toplevel_set_title(state->toplevel, "test window");
  if (fullscreen) xdg_toplevel_set_fullscreen(state->toplevel, nullptr);
  wl_surface_commit(state->surface);
  while (!state->configured) {
    if (wl_display_dispatch(state->display) < 0) return std::unexpected("The compositor went away");
  }
  if (state->width == 0 || state->height == 0) {
    state->width = 640;
    state->height = 480;
  }
  state->canvas.assign(std::size_t{state->width} * state->height, 0);
  return std::unique_ptr<WaylandPainter>(new WaylandPainter(std::move(state)));
}

bool WaylandPainter::paint(std::uint32_t x, std::uint32_t y, std::uint32_t width,
                           std::uint32_t height, std::uint32_t rgb) {
  return draw(x, y, width, height, [rgb](std::uint32_t, std::uint32_t) { return rgb; });
}

bool WaylandPainter::paintPattern(std::uint32_t x, std::uint32_t y, std::uint32_t width,
                                  std::uint32_t height, std::uint32_t seed) {
  return draw(x, y, width, height, [seed](std::uint32_t column, std::uint32_t row) {
    std::uint32_t value = column * 0x9E3779B1u ^ (row + seed * 0x85EBCA77u) * 0xC2B2AE3Du;
    value ^= value >> 15;
    value *= 0x2C1B3C6Du;
    value ^= value >> 13;
    return value & 0xFFFFFFu;
  });
}

std::uint32_t WaylandPainter::pixel(std::uint32_t x, std::uint32_t y) const {
  const State& s = *state_;
  const std::size_t index = std::size_t{y} * s.width + x;
  return x < s.width && index < s.canvas.size() ? s.canvas[index] & 0xFFFFFFu : 0;
}

bool WaylandPainter::draw(std::uint32_t x, std::uint32_t y, std::uint32_t width,
                          std::uint32_t height,
                          const std::function<std::uint32_t(std::uint32_t, std::uint32_t)>& rgbAt) {
  State& s = *state_;
  // The compositor sized the window anew: start from a black canvas of the new size.
  if (s.canvas.size() != std::size_t{s.width} * s.height) {
    s.canvas.assign(std::size_t{s.width} * s.height, 0xff000000u);
  }
  const std::uint32_t right = std::min(s.width, x + width);
  const std::uint32_t bottom = std::min(s.height, y + height);
  for (std::uint32_t row = y; row < bottom; ++row) {
    for (std::uint32_t column = x; column < right; ++column) {
      s.canvas[std::size_t{row} * s.width + column] = 0xff000000u | rgbAt(column, row);
    }
  }
  wl_buffer* buffer = s.snapshot();
  if (!buffer) return false;
  wl_surface_attach(s.surface, buffer, 0, 0);
  wl_surface_damage_buffer(s.surface, static_cast<std::int32_t>(x), static_cast<std::int32_t>(y),
                           static_cast<std::int32_t>(right - x),
                           static_cast<std::int32_t>(bottom - y));
  wl_surface_commit(s.surface);
  return wl_display_roundtrip(s.display) >= 0;
}

bool WaylandPainter::fill(std::uint32_t rgb) {
  // Tiling compositors give a window its place only once it shows something.
  for (int attempt = 0; attempt < 10; ++attempt) {
    const std::uint32_t width = state_->width, height = state_->height;
    if (!paint(0, 0, width, height, rgb)) return false;
    if (wl_display_roundtrip(state_->display) < 0) return false;
    if (state_->width == width && state_->height == height) return true;
  }
  return false;
}

}  // namespace testing_display
