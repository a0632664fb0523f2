#include "platform/tether/tl_usb_hub.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <usbmuxd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "platform/coding/value.h"
#include "platform/foundation/log.h"
#include "platform/tether/tl_error.h"

namespace platform {

std::shared_ptr<TLUSBHub> TLUSBHub::sharedHub() {
  static const std::shared_ptr<TLUSBHub> shared = [] {
    auto hub = make(NotificationCenter::defaultCenter());
    if (auto error = hub->listen()) {
      log("USB: watching for tablets failed: " + error.message());
    }
    return hub;
  }();
  return shared;
}

std::shared_ptr<TLUSBHub> TLUSBHub::make(std::shared_ptr<NotificationCenter> center) {
  if (!center) center = NotificationCenter::defaultCenter();
  return std::shared_ptr<TLUSBHub>(new TLUSBHub(std::move(center)));
}

TLUSBHub::TLUSBHub(std::shared_ptr<NotificationCenter> center) : center_(std::move(center)) {
  worker_ = std::thread([this] { workerLoop(); });
}

TLUSBHub::~TLUSBHub() {
  {
    std::lock_guard lock(watchMutex_);
    watchStopping_ = true;
  }
  watchWake_.notify_all();
  if (watcher_.joinable()) watcher_.join();
  stopListening();
  {
    std::lock_guard lock(workMutex_);
    stopping_ = true;
  }
  workReady_.notify_all();
  if (worker_.joinable()) worker_.join();
}

namespace {

// The daemon's address as libusbmuxd reads it: USBMUXD_SOCKET_ADDRESS ("UNIX:<path>" or
// "<host>:<port>"), else the system socket.
struct DaemonAddress {
  std::string path;  // a UNIX socket
  std::string host;
  std::uint16_t port = 0;
};

DaemonAddress daemonAddress() {
  DaemonAddress address;
  const char* configured = std::getenv("USBMUXD_SOCKET_ADDRESS");
  std::string text = configured ? configured : "";
  if (text.empty()) {
    address.path = "/var/run/usbmuxd";
  } else if (text.starts_with("UNIX:")) {
    address.path = text.substr(5);
  } else if (auto colon = text.rfind(':'); colon != std::string::npos) {
    address.host = text.substr(0, colon);
    const int port = std::atoi(text.c_str() + colon + 1);
    if (port > 0 && port < 65536) address.port = static_cast<std::uint16_t>(port);
  }
  return address;
}

struct DaemonProbe {
  bool up = false;  // it accepts a connection now
  // Its socket file is there (always true for a daemon on a TCP port): a file nobody accepts
  // on is a daemon that died without removing it, or one that hangs.
  bool present = false;
  std::uint64_t identity = 0;  // of its socket file
};

DaemonProbe probeDaemon() {
  const DaemonAddress address = daemonAddress();
  int fd = -1;
  std::uint64_t identity = 0;
  if (!address.path.empty()) {
    struct stat status {};
    if (::stat(address.path.c_str(), &status) != 0) return {};
    // A file system may give a new socket the inode number of the old one at once; the
    // change time tells them apart.
    identity = (static_cast<std::uint64_t>(status.st_ino) << 32) ^
               static_cast<std::uint64_t>(status.st_ctim.tv_sec) * 1000000007ULL ^
               static_cast<std::uint64_t>(status.st_ctim.tv_nsec);
    sockaddr_un socketAddress{};
    socketAddress.sun_family = AF_UNIX;
    if (address.path.size() >= sizeof socketAddress.sun_path) return {false, true, identity};
    std::memcpy(socketAddress.sun_path, address.path.c_str(), address.path.size() + 1);
    fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return {false, true, identity};
    const bool up =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&socketAddress), sizeof socketAddress) == 0;
    ::close(fd);
    return {up, true, identity};
  }
  if (address.port == 0) return {};
  sockaddr_in socketAddress{};
  socketAddress.sin_family = AF_INET;
  socketAddress.sin_port = htons(address.port);
  if (::inet_pton(AF_INET, address.host.c_str(), &socketAddress.sin_addr) != 1) return {};
  fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return {false, true, 0};
  const bool up =
      ::connect(fd, reinterpret_cast<const sockaddr*>(&socketAddress), sizeof socketAddress) == 0;
  ::close(fd);
  return {up, true, 0};
}

std::string describe(const DaemonAddress& address) {
  if (!address.path.empty()) return address.path;
  return address.host + ":" + std::to_string(address.port);
}

}  // namespace

std::error_code TLUSBHub::subscribeLocked() {
  usbmuxd_subscription_context_t context = nullptr;
  const int result = usbmuxd_events_subscribe(
      &context,
      [](const usbmuxd_event_t* event, void* userData) { eventCallback(event, userData); }, this);
  if (result != 0) return posixError(-result);
  subscription_ = context;
  return {};
}

void TLUSBHub::unsubscribeLocked() {
  if (!subscription_) return;
  // Waits for an event being delivered to finish; none arrives afterwards.
  usbmuxd_events_unsubscribe(static_cast<usbmuxd_subscription_context_t>(subscription_));
  subscription_ = nullptr;
}

std::error_code TLUSBHub::listen() {
  {
    std::lock_guard lock(subscriptionMutex_);
    if (subscription_) return {};
    const DaemonProbe probe = probeDaemon();
    if (auto error = subscribeLocked()) return error;
    wantListening_ = true;
    daemonUp_ = probe.up;
    daemonIdentity_ = probe.identity;
    // The daemon is started by udev when a device is plugged in, or not installed at all.
    if (!probe.up && !reportedMissing_) {
      reportedMissing_ = true;
      const std::string where = describe(daemonAddress());
      log((probe.present
               ? "USB: the USB multiplexer daemon does not answer at " + where +
                     " (its socket is there, but nothing accepts on it)"
               : "USB: the USB multiplexer daemon is not running (no socket at " + where + ")") +
          "; tablets on USB cannot be seen until usbmuxd runs");
    }
  }
  std::lock_guard lock(watchMutex_);
  if (!watcher_.joinable()) watcher_ = std::thread([this] { watchLoop(); });
  return {};
}

void TLUSBHub::stopListening() {
  {
    std::lock_guard lock(subscriptionMutex_);
    wantListening_ = false;
    unsubscribeLocked();
  }
  std::lock_guard devicesLock(devicesMutex_);
  announced_.clear();
}

void TLUSBHub::setDaemonRetryInterval(double seconds) {
  {
    std::lock_guard lock(watchMutex_);
    retryInterval_ = std::clamp(seconds, 0.01, 10.0);
  }
  watchWake_.notify_all();
}

void TLUSBHub::watchLoop() {
  std::unique_lock lock(watchMutex_);
  while (!watchStopping_) {
    watchWake_.wait_for(lock, std::chrono::duration<double>(retryInterval_));
    if (watchStopping_) return;
    lock.unlock();
    checkDaemon();
    lock.lock();
  }
}

void TLUSBHub::checkDaemon() {
  const DaemonProbe probe = probeDaemon();
  const bool up = probe.up;
  const std::uint64_t identity = probe.identity;
  bool lost = false;
  bool restarted = false;
  std::set<std::uint32_t> gone;
  {
    std::lock_guard lock(subscriptionMutex_);
    if (!wantListening_) return;
    restarted = up && (!daemonUp_ || identity != daemonIdentity_ || !subscription_);
    lost = daemonUp_ && (!up || identity != daemonIdentity_);
    daemonUp_ = up;
    daemonIdentity_ = identity;
    if (lost && !up) {
      // Said once, with its return: the tablets it had are gone until then.
      reportedMissing_ = true;
      log("USB: the USB multiplexer daemon at " + describe(daemonAddress()) +
          " stopped; tablets on USB cannot be seen until it runs again");
    } else if (lost) {
      log("USB: the USB multiplexer daemon at " + describe(daemonAddress()) +
          " started again; watching for tablets");
    } else if (up && reportedMissing_) {
      reportedMissing_ = false;
      log("USB: the USB multiplexer daemon is running at " + describe(daemonAddress()) +
          "; watching for tablets");
    }
    if (lost || restarted) unsubscribeLocked();
    // The devices of a daemon that went away are gone with it; they are taken before a new
    // subscription can announce them again, so that their departure is told before their return.
    if (lost) {
      std::lock_guard devicesLock(devicesMutex_);
      gone.swap(announced_);
    }
  }
  if (lost) announceDetached(gone);
  if (!restarted) return;
  std::lock_guard lock(subscriptionMutex_);
  // A failed subscription is tried again on the next round.
  if (wantListening_ && !subscription_ && subscribeLocked()) daemonUp_ = false;
}

void TLUSBHub::announceDetached(const std::set<std::uint32_t>& devices) {
  for (std::uint32_t deviceID : devices) {
    announce(TLUSBDeviceDidDetachNotification,
             {{TLUSBHubNotificationKeyDeviceID, Value(std::int64_t{deviceID})}});
  }
}

// The hub is named by its identity only: a notification that owned it could make the thread
// that posted it (libusbmuxd's event thread, or the watcher) the hub's last owner, and the hub
// cannot be torn down from the threads it joins or unsubscribes.
void TLUSBHub::announce(const char* name, std::map<std::string, std::any> userInfo) {
  if (weak_from_this().expired()) return;  // being destroyed
  center_->post(Notification{name, {}, this, std::move(userInfo)});
}

void TLUSBHub::eventCallback(const void* event, void* userData) {
  static_cast<TLUSBHub*>(userData)->handleEvent(event);
}

void TLUSBHub::handleEvent(const void* rawEvent) {
  const auto* event = static_cast<const usbmuxd_event_t*>(rawEvent);
  const std::uint32_t deviceID = event->device.handle;
  if (event->event == UE_DEVICE_ADD) {
    // Devices reached over the network are not ours to drive.
    if (event->device.conn_type != CONNECTION_TYPE_USB) return;
    {
      // A new subscription announces the devices the daemon already has, and libusbmuxd may
      // have connected on its own before the hub subscribed again: a device already told is
      // not a new arrival.
      std::lock_guard lock(devicesMutex_);
      if (!announced_.insert(deviceID).second) return;
    }
    const std::string serial(event->device.udid,
                             ::strnlen(event->device.udid, sizeof event->device.udid));
    Value::Dictionary properties{
        {"DeviceID", Value(std::int64_t{deviceID})},
        {"ProductID", Value(std::int64_t{event->device.product_id})},
        {"SerialNumber", Value(serial)},
        {"ConnectionType", Value("USB")},
    };
    announce(TLUSBDeviceDidAttachNotification,
             {{TLUSBHubNotificationKeyDeviceID, Value(std::int64_t{deviceID})},
              {TLUSBHubNotificationKeyProperties, Value(std::move(properties))}});
  } else if (event->event == UE_DEVICE_REMOVE) {
    {
      std::lock_guard lock(devicesMutex_);
      if (announced_.erase(deviceID) == 0) return;
    }
    announce(TLUSBDeviceDidDetachNotification,
             {{TLUSBHubNotificationKeyDeviceID, Value(std::int64_t{deviceID})}});
  }
}

void TLUSBHub::connectToDevice(std::uint32_t deviceID, std::uint16_t port,
                               ConnectCallback callback) {
  {
    std::lock_guard lock(workMutex_);
    work_.push_back([deviceID, port, callback = std::move(callback)] {
      const int fd = usbmuxd_connect(deviceID, port);
      if (fd < 0) {
        callback(-1, posixError(fd == -1 ? ECONNREFUSED : -fd));
      } else {
        callback(fd, {});
      }
    });
  }
  workReady_.notify_one();
}

void TLUSBHub::workerLoop() {
  while (true) {
    std::function<void()> job;
    {
      std::unique_lock lock(workMutex_);
      workReady_.wait(lock, [this] { return stopping_ || !work_.empty(); });
      if (work_.empty()) return;
      job = std::move(work_.front());
      work_.pop_front();
    }
    job();
  }
}

}  // namespace platform
