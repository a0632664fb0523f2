#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <thread>

#include "platform/display/monitor_owners.h"
#include "platform/display/x11/x11_backend.h"
#include "platform/display/x11/x11_capture.h"
#include "platform/display/x11/x_connection.h"

namespace platform {

namespace {

// The owners property is small: a line per live monitor. More than this is not ours.
constexpr std::size_t kMaxOwnersBytes = 64 * 1024;

// A thread reading the server's RandR and root-window events, woken by an eventfd to end.
class X11ScreenChangeWatch final : public ScreenChangeWatch {
 public:
  static std::unique_ptr<ScreenChangeWatch> start(const std::string& xDisplay,
                                                  std::function<void()> changed) {
    auto connection = x11::Connection::open(xDisplay);
    if (!connection) return nullptr;
    auto randrEvent = (*connection)->randrFirstEvent();
    if (!randrEvent) return nullptr;
    x11::Connection& x = **connection;
    {
      x11::SigpipeGuard guard;
      x11::Reply<xcb_randr_query_version_reply_t> version(
          xcb_randr_query_version_reply(x.get(), xcb_randr_query_version(x.get(), 1, 5), nullptr));
      xcb_randr_select_input(x.get(), x.root(),
                             XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE |
                                 XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                 XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
      // Monitors set or deleted by clients are announced only as a ConfigureNotify of the root.
      const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
      xcb_change_window_attributes(x.get(), x.root(), XCB_CW_EVENT_MASK, &mask);
      // A round trip, so the selection is in force before start returns.
      x11::Reply<xcb_get_input_focus_reply_t> focus(
          xcb_get_input_focus_reply(x.get(), xcb_get_input_focus(x.get()), nullptr));
      if (!focus) return nullptr;
    }
    const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) return nullptr;
    return std::unique_ptr<ScreenChangeWatch>(
        new X11ScreenChangeWatch(std::move(*connection), wake, *randrEvent, std::move(changed)));
  }

  ~X11ScreenChangeWatch() override {
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = write(wakeFd_, &one, sizeof one);
    thread_.join();
    close(wakeFd_);
  }

  bool watching() const override { return !finished_->load(); }

 private:
  X11ScreenChangeWatch(std::unique_ptr<x11::Connection> connection, int wake,
                       std::uint8_t randrEvent, std::function<void()> changed)
      : wakeFd_(wake) {
    thread_ = std::thread([connection = std::move(connection), wake, randrEvent,
                           changed = std::move(changed), finished = finished_]() {
      run(*connection, wake, randrEvent, changed);
      finished->store(true);
    });
  }

  static void run(x11::Connection& x, int wake, std::uint8_t randrEvent,
                  const std::function<void()>& onChange) {
    x11::SigpipeGuard guard;  // for the thread's whole life
    pollfd descriptors[2] = {{xcb_get_file_descriptor(x.get()), POLLIN, 0}, {wake, POLLIN, 0}};
    while (true) {
      bool changed = false;
      while (auto* raw = xcb_poll_for_event(x.get())) {
        x11::Reply<xcb_generic_event_t> event(raw);
        const std::uint8_t type = event->response_type & 0x7f;
        if (type == XCB_CONFIGURE_NOTIFY || type == randrEvent + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
            type == randrEvent + XCB_RANDR_NOTIFY) {
          changed = true;
        }
      }
      if (changed) onChange();
      if (x.hasError()) return;
      const int ready = poll(descriptors, 2, -1);
      if (ready < 0 && errno != EINTR) return;
      if (descriptors[1].revents != 0) return;
      if (descriptors[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
        // Read what is left; xcb then marks the connection as broken.
        while (auto* raw = xcb_poll_for_event(x.get()))
          std::free(raw);
        return;
      }
    }
  }

  int wakeFd_;
  std::shared_ptr<std::atomic<bool>> finished_ = std::make_shared<std::atomic<bool>>(false);
  std::thread thread_;
};

class X11DisplayServer final : public DisplayServer {
 public:
  std::optional<std::vector<ServerMonitor>> monitors(const std::string& xDisplay,
                                                     bool withNames) const override {
    auto connection = x11::Connection::open(xDisplay);
    if (!connection) return std::nullopt;
    x11::Connection& x = **connection;
    auto monitors = x.monitors(true);
    if (!monitors) return std::nullopt;
    std::vector<ServerMonitor> result;
    for (const auto& monitor : *monitors) {
      ServerMonitor entry;
      entry.id = monitor.name;
      entry.x = monitor.x;
      entry.y = monitor.y;
      entry.width = monitor.width;
      entry.height = monitor.height;
      entry.widthInMillimeters = monitor.widthInMillimeters;
      entry.heightInMillimeters = monitor.heightInMillimeters;
      if (withNames && monitor.width != 0 && monitor.height != 0) {
        entry.name = x.atomName(monitor.name);
        for (auto output : monitor.outputs) {
          auto name = x.outputName(output);
          if (name && x11::isBuiltinOutputName(*name)) entry.builtin = true;
        }
      }
      result.push_back(std::move(entry));
    }
    return result;
  }

  std::optional<std::vector<PlacementOutput>> placementOutputs(
      const std::string& xDisplay) const override {
    auto connection = x11::Connection::open(xDisplay);
    if (!connection) return std::nullopt;
    x11::Connection& x = **connection;
    auto monitors = x.monitors(true);
    if (!monitors) return std::nullopt;
    std::vector<MonitorOwnerRecord> ours;
    if (auto atom = x.internAtom(kMonitorOwnersProperty, true)) {
      ours = parseMonitorOwners(x.rootTextProperty(*atom, kMaxOwnersBytes).value_or(""));
    }
    std::vector<PlacementOutput> outputs;
    for (const auto& monitor : *monitors) {
      PlacementOutput output;
      output.area = {{double(monitor.x), double(monitor.y)},
                     {double(monitor.width), double(monitor.height)}};
      output.primary = monitor.primary;
      output.virtualDisplay = std::any_of(
          ours.begin(), ours.end(),
          [&](const MonitorOwnerRecord& record) { return record.monitor == monitor.name; });
      outputs.push_back(output);
    }
    return outputs;
  }

  std::unique_ptr<ScreenChangeWatch> watchScreenChanges(
      const std::string& xDisplay, std::function<void()> changed) const override {
    return X11ScreenChangeWatch::start(xDisplay, std::move(changed));
  }

  std::unique_ptr<CaptureBackend> makeCapture(DisplayID id,
                                              CaptureBackendContext context) const override {
    return makeX11Capture(id, std::move(context));
  }
};

}  // namespace

const DisplayServer& x11DisplayServer() {
  static const X11DisplayServer server;
  return server;
}

}  // namespace platform
