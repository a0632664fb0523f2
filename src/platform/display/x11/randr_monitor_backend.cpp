#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>

#include <fmt/core.h>

#include <unistd.h>

#include "platform/display/display_registry.h"
#include "platform/display/monitor_owners.h"
#include "platform/display/x11/x11_backend.h"
#include "platform/display/x11/x_connection.h"
#include "platform/foundation/log.h"

namespace platform {

namespace {

// Screen layout changes of this process are made one at a time; the server grab keeps other
// clients out.
std::mutex& layoutMutex() {
  static std::mutex mutex;
  return mutex;
}

// The screen size each server had before this process added its first monitor there, so the
// screen returns to it when the last one goes even when monitors were released out of order.
struct BaseSize {
  x11::Connection::ScreenSize size;
  int monitors = 0;
  // The output this process made the primary one, until its last monitor there goes.
  xcb_randr_output_t madePrimary = XCB_NONE;
};
std::map<std::string, BaseSize>& baseSizes() {
  static std::map<std::string, BaseSize> sizes;
  return sizes;
}

std::uint32_t roundedMillimeters(double millimeters) {
  if (!(millimeters > 0) || !std::isfinite(millimeters)) return 0;
  return static_cast<std::uint32_t>(std::min(millimeters + 0.5, 4294967295.0));
}

// Millimetres for a new screen size at the screen's present density (96 dpi when it has none).
x11::Connection::ScreenSize withMillimeters(const x11::Connection::ScreenSize& current,
                                            std::uint16_t width, std::uint16_t height) {
  x11::Connection::ScreenSize size;
  size.width = width;
  size.height = height;
  const double perPixelX = current.width && current.widthInMillimeters
                               ? double(current.widthInMillimeters) / current.width
                               : 25.4 / 96;
  const double perPixelY = current.height && current.heightInMillimeters
                               ? double(current.heightInMillimeters) / current.height
                               : 25.4 / 96;
  size.widthInMillimeters = roundedMillimeters(width * perPixelX);
  size.heightInMillimeters = roundedMillimeters(height * perPixelY);
  return size;
}

// The owners property is small: a line per live monitor. More than this is not ours.
constexpr std::size_t kMaxOwnersBytes = 64 * 1024;

std::optional<xcb_atom_t> ownersAtom(x11::Connection& x) {
  return x.internAtom(kMonitorOwnersProperty);
}

// Reads, changes and writes back the owners property; under the server grab.
template <class Change>
void updateOwners(x11::Connection& x, Change change) {
  auto atom = ownersAtom(x);
  if (!atom) return;
  auto text = x.rootTextProperty(*atom, kMaxOwnersBytes);
  auto records = parseMonitorOwners(text.value_or(std::string()));
  change(records);
  x.setRootTextProperty(*atom, formatMonitorOwners(records));
}

// Atoms are never freed by the X server, so a device that names itself anew each time would
// add one for good at every connection. Names that already have an atom cost nothing; new
// ones are listed on the root window, and once `kMaxMonitorNameAtoms` are, monitors take the
// fallback name. Under the server grab.
std::optional<xcb_atom_t> monitorNameAtom(x11::Connection& x, const std::string& name) {
  if (auto existing = x.internAtom(name, true)) return existing;
  if (name.find('\n') != std::string::npos) return std::nullopt;
  auto listAtom = x.internAtom(kMonitorNamesProperty);
  if (!listAtom) return std::nullopt;
  std::string list = x.rootTextProperty(*listAtom, kMaxOwnersBytes).value_or(std::string());
  const auto listed = static_cast<std::size_t>(std::count(list.begin(), list.end(), '\n'));
  if (listed >= kMaxMonitorNameAtoms) return std::nullopt;
  auto atom = x.internAtom(name);
  if (!atom) return std::nullopt;
  x.setRootTextProperty(*listAtom, list + name + "\n");
  return atom;
}

// The server lists the primary output's monitor first, then the monitors that clients set, in
// the order they were set, and the monitors of the other outputs last. Without a primary output
// a new monitor would come before every real one, and desktops and toolkits take the first
// monitor listed for the main screen, where windows open. So while our monitors are shown, the
// first real output becomes the primary one. Returns that output, XCB_NONE when nothing was
// changed. Under the server grab.
xcb_randr_output_t keepRealMonitorsFirst(x11::Connection& x) {
  auto primary = x.primaryOutput();
  auto monitors = x.monitors(true);
  if (!primary || *primary != XCB_NONE || !monitors) return XCB_NONE;
  if (std::any_of(monitors->begin(), monitors->end(),
                  [](const x11::Monitor& monitor) { return monitor.primary; })) {
    return XCB_NONE;
  }
  std::vector<MonitorOwnerRecord> ours;
  if (auto atom = ownersAtom(x)) {
    ours = parseMonitorOwners(x.rootTextProperty(*atom, kMaxOwnersBytes).value_or(""));
  }
  for (const auto& monitor : *monitors) {
    const bool own = std::any_of(ours.begin(), ours.end(), [&](const MonitorOwnerRecord& r) {
      return r.monitor == monitor.name;
    });
    if (own || monitor.outputs.empty()) continue;
    return x.setPrimaryOutput(monitor.outputs.front()) ? monitor.outputs.front() : XCB_NONE;
  }
  return XCB_NONE;
}

class RandrMonitorDisplay final : public VirtualDisplayHandle {
 public:
  RandrMonitorDisplay(std::string xDisplay, xcb_atom_t atom, std::uint32_t width,
                      std::uint32_t height)
      : xDisplay_(std::move(xDisplay)), atom_(atom), width_(width), height_(height) {}

  ~RandrMonitorDisplay() override { release(); }

  DisplayID id() const override { return atom_; }
  std::uint32_t pixelWidth() const override { return width_; }
  std::uint32_t pixelHeight() const override { return height_; }

 private:
  void release() {
    DisplayRegistry::shared().remove(atom_, xDisplay_);
    std::lock_guard lock(layoutMutex());
    auto base = baseSizes().find(xDisplay_);
    std::optional<x11::Connection::ScreenSize> baseSize;
    xcb_randr_output_t madePrimary = XCB_NONE;
    if (base != baseSizes().end()) {
      baseSize = base->second.size;
      if (--base->second.monitors <= 0) {
        madePrimary = base->second.madePrimary;
        baseSizes().erase(base);
      }
    }
    auto connection = x11::Connection::open(xDisplay_);
    if (!connection) return;  // the server went away, and the monitor with it
    x11::Connection& x = **connection;
    x11::ServerGrab grab(x);
    x.deleteMonitor(atom_);
    // The layout goes back to how the user had it, unless the primary was changed since.
    if (madePrimary != XCB_NONE && x.primaryOutput() == madePrimary) {
      x.setPrimaryOutput(XCB_NONE);
    }
    const std::int64_t pid = ::getpid();
    updateOwners(x, [this, pid](std::vector<MonitorOwnerRecord>& records) {
      std::erase_if(records, [&](const MonitorOwnerRecord& record) {
        return record.monitor == atom_ && record.pid == pid;
      });
    });

    auto current = x.currentScreenSize();
    auto range = x.screenSizeRange();
    auto remaining = x.monitors(true);
    if (!current || !range || !remaining) return;
    std::uint32_t width = baseSize ? baseSize->width : 0;
    std::uint32_t height = baseSize ? baseSize->height : 0;
    for (const auto& monitor : *remaining) {
      width = std::max<std::uint32_t>(width, std::max(0, int(monitor.x)) + monitor.width);
      height = std::max<std::uint32_t>(height, std::max(0, int(monitor.y)) + monitor.height);
    }
    if (width == 0 || height == 0) return;  // nothing says what size the screen should have
    width = std::clamp<std::uint32_t>(width, range->minWidth, current->width);
    height = std::clamp<std::uint32_t>(height, range->minHeight, current->height);
    if (width == current->width && height == current->height) return;
    x.setScreenSize(withMillimeters(*current, static_cast<std::uint16_t>(width),
                                    static_cast<std::uint16_t>(height)));
  }

  std::string xDisplay_;
  xcb_atom_t atom_;
  std::uint32_t width_;
  std::uint32_t height_;
};

}  // namespace

std::expected<std::unique_ptr<VirtualDisplayHandle>, std::string> makeRandrMonitorDisplay(
    const std::string& xDisplay, const VirtualDisplayRequest& request) {
  auto connection = x11::Connection::open(xDisplay);
  if (!connection) return std::unexpected(connection.error());
  x11::Connection& x = **connection;
  if (!x.hasMonitors()) {
    return std::unexpected("The X server " + xDisplay + " has no RandR 1.5 monitors");
  }

  std::lock_guard lock(layoutMutex());
  x11::ServerGrab grab(x);
  auto range = x.screenSizeRange();
  auto current = x.currentScreenSize();
  auto monitors = x.monitors(false);
  if (!range || !current || !monitors) {
    return std::unexpected("Cannot read the screen layout of " + xDisplay);
  }

  // Monitor names are atoms and a monitor set under an existing name replaces it, so a second
  // display of the same name gets a numbered one.
  std::string baseName = request.name.empty() ? std::string(kFallbackMonitorName) : request.name;
  std::optional<xcb_atom_t> atom;
  for (int attempt = 0; attempt < 2 && !atom; ++attempt) {
    std::string name = baseName;
    for (int number = 2; number < 1000; ++number) {
      // The fallback names are few: one per monitor shown at once.
      atom = attempt == 0 ? monitorNameAtom(x, name) : x.internAtom(name);
      if (!atom) break;  // out of new names: the fallback name
      const bool taken = std::any_of(monitors->begin(), monitors->end(),
                                     [&](const x11::Monitor& m) { return m.name == *atom; });
      if (!taken) break;
      atom.reset();
      name = fmt::format("{} ({})", baseName, number);
    }
    baseName = kFallbackMonitorName;
  }
  if (!atom) return std::unexpected("Cannot name a monitor for " + request.name);

  const std::uint32_t x0 = current->width;
  const std::uint32_t width = x0 + request.pixelWidth;
  const std::uint32_t height = std::max<std::uint32_t>(current->height, request.pixelHeight);
  if (width > range->maxWidth || height > range->maxHeight || x0 > 32767) {
    return std::unexpected(fmt::format("The screen of {} cannot grow to {}x{} (at most {}x{})",
                                       xDisplay, width, height, range->maxWidth, range->maxHeight));
  }
  if (!x.setScreenSize(withMillimeters(*current, static_cast<std::uint16_t>(width),
                                       static_cast<std::uint16_t>(height)))) {
    return std::unexpected(
        fmt::format("The X server refused the screen size {}x{}", width, height));
  }

  x11::Monitor monitor;
  monitor.name = *atom;
  monitor.x = static_cast<std::int16_t>(x0);
  monitor.y = 0;
  monitor.width = static_cast<std::uint16_t>(request.pixelWidth);
  monitor.height = static_cast<std::uint16_t>(request.pixelHeight);
  monitor.widthInMillimeters = roundedMillimeters(request.sizeInMillimeters.width);
  monitor.heightInMillimeters = roundedMillimeters(request.sizeInMillimeters.height);
  if (!x.setMonitor(monitor)) {
    x.setScreenSize(*current);
    return std::unexpected("The X server refused the monitor " + x.atomName(*atom));
  }

  auto& base = baseSizes()[xDisplay];
  if (base.monitors++ == 0) base.size = *current;
  if (const xcb_randr_output_t made = keepRealMonitorsFirst(x); made != XCB_NONE) {
    base.madePrimary = made;
  }
  // Marked as ours, so that the next start removes it should this process die with it.
  updateOwners(x, [&](std::vector<MonitorOwnerRecord>& records) {
    records.push_back(ownMonitorRecord(*atom, base.size.width, base.size.height));
  });

  OwnDisplayRecord record;
  record.id = *atom;
  record.xDisplay = xDisplay;
  record.wholeScreen = false;
  record.name = x.atomName(*atom);
  setRequestedSizes(record, request);
  DisplayRegistry::shared().add(record);

  return std::make_unique<RandrMonitorDisplay>(xDisplay, *atom, request.pixelWidth,
                                               request.pixelHeight);
}

std::expected<int, std::string> reclaimAbandonedMonitors(const std::string& xDisplay) {
  auto connection = x11::Connection::open(xDisplay);
  if (!connection) return std::unexpected(connection.error());
  x11::Connection& x = **connection;
  if (!x.hasMonitors()) return 0;
  auto atom = ownersAtom(x);
  if (!atom) return std::unexpected("Cannot name the owners property");

  std::lock_guard lock(layoutMutex());
  x11::ServerGrab grab(x);
  auto text = x.rootTextProperty(*atom, kMaxOwnersBytes);
  if (!text) return std::unexpected("The owners property of " + xDisplay + " is unreadable");
  auto records = parseMonitorOwners(*text);
  std::vector<MonitorOwnerRecord> gone;
  std::erase_if(records, [&](const MonitorOwnerRecord& record) {
    if (monitorOwnerState(record) != MonitorOwnerState::gone) return false;
    gone.push_back(record);
    return true;
  });
  if (gone.empty()) return 0;
  int removed = 0;
  for (const auto& record : gone) {
    if (x.deleteMonitor(record.monitor)) ++removed;
  }
  x.setRootTextProperty(*atom, formatMonitorOwners(records));

  // Back to the size before the first of them was added, or to what the remaining monitors
  // need, whichever is larger.
  auto current = x.currentScreenSize();
  auto range = x.screenSizeRange();
  auto remaining = x.monitors(true);
  if (!current || !range || !remaining) return removed;
  std::uint32_t width = UINT32_MAX, height = UINT32_MAX;
  for (const auto& record : gone) {
    if (record.baseWidth == 0 || record.baseHeight == 0) continue;
    width = std::min<std::uint32_t>(width, record.baseWidth);
    height = std::min<std::uint32_t>(height, record.baseHeight);
  }
  if (width == UINT32_MAX) width = height = 0;
  for (const auto& monitor : *remaining) {
    width = std::max<std::uint32_t>(width, std::max(0, int(monitor.x)) + monitor.width);
    height = std::max<std::uint32_t>(height, std::max(0, int(monitor.y)) + monitor.height);
  }
  if (width == 0 || height == 0) return removed;
  width = std::clamp<std::uint32_t>(width, range->minWidth, current->width);
  height = std::clamp<std::uint32_t>(height, range->minHeight, current->height);
  if (width != current->width || height != current->height) {
    x.setScreenSize(withMillimeters(*current, static_cast<std::uint16_t>(width),
                                    static_cast<std::uint16_t>(height)));
  }
  return removed;
}

namespace {

class RandrMonitorBackend final : public VirtualDisplayBackend {
 public:
  std::expected<std::unique_ptr<VirtualDisplayHandle>, std::string> makeDisplay(
      const DisplayEnvironment& environment, const VirtualDisplayRequest& request) const override {
    return makeRandrMonitorDisplay(environment.xDisplay, request);
  }

  void reclaimAbandoned(const DisplayEnvironment& environment) const override {
    if (environment.xDisplay.empty()) return;
    auto removed = reclaimAbandonedMonitors(environment.xDisplay);
    if (removed && *removed > 0) {
      log(fmt::format("Removed {} virtual display(s) left behind by an ended process", *removed));
    }
  }

  bool available(const DisplayEnvironment& environment) const override {
    return x11::Connection::open(environment.xDisplay).has_value();
  }
};

}  // namespace

const VirtualDisplayBackend& randrMonitorBackend() {
  static const RandrMonitorBackend backend;
  return backend;
}

}  // namespace platform
