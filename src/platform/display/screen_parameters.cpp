#include "platform/display/screen_parameters.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/display/display_environment.h"
#include "platform/display/x11/x_connection.h"
#include "platform/foundation/notification_center.h"

namespace platform {

namespace {

class Watcher {
 public:
  ~Watcher() { stop(); }

  void start(const std::string& xDisplay) {
    std::lock_guard lock(mutex_);
    if (thread_.joinable() && xDisplay_ == xDisplay && !finished_->load()) return;
    stopLocked();
    if (xDisplay.empty()) return;
    auto connection = x11::Connection::open(xDisplay);
    if (!connection) return;
    auto randrEvent = (*connection)->randrFirstEvent();
    if (!randrEvent) return;
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
      if (!focus) return;
    }
    const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) return;
    wakeFd_ = wake;
    xDisplay_ = xDisplay;
    finished_ = std::make_shared<std::atomic<bool>>(false);
    thread_ = std::thread(
        [connection = std::move(*connection), wake, event = *randrEvent, finished = finished_]() {
          run(*connection, wake, event);
          finished->store(true);
        });
  }

  void stop() {
    std::lock_guard lock(mutex_);
    stopLocked();
  }

 private:
  void stopLocked() {
    if (!thread_.joinable()) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = write(wakeFd_, &one, sizeof one);
    thread_.join();
    close(wakeFd_);
    wakeFd_ = -1;
    xDisplay_.clear();
  }

  static void run(x11::Connection& x, int wake, std::uint8_t randrEvent) {
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
      if (changed) postScreenParametersChanged();
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

  std::mutex mutex_;
  std::thread thread_;
  int wakeFd_ = -1;
  std::string xDisplay_;
  std::shared_ptr<std::atomic<bool>> finished_ = std::make_shared<std::atomic<bool>>(true);
};

Watcher& watcher() {
  // Never destroyed: its thread is ended by the exit handler below, before the notification
  // centre and the queues it posts through go away.
  static Watcher* instance = [] {
    NotificationCenter::defaultCenter();
    DispatchQueue::main();
    auto* made = new Watcher;
    std::atexit([] { watcher().stop(); });
    return made;
  }();
  return *instance;
}

}  // namespace

void startScreenParametersNotifications() {
  watcher().start(currentDisplayEnvironment().xDisplay);
}

void stopScreenParametersNotifications() {
  watcher().stop();
}

void postScreenParametersChanged() {
  DispatchQueue::main()->async([] {
    NotificationCenter::defaultCenter()->post(std::string(kScreenParametersDidChangeNotification));
  });
}

}  // namespace platform
