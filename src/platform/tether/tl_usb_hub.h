#pragma once

#include <any>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>

#include "platform/foundation/notification_center.h"

namespace platform {

// Posted on the default notification centre with the hub as object, on the thread that hears
// from the multiplexer. The user information holds, as platform::Value, the device id under
// TLUSBHubNotificationKeyDeviceID and, on attach, the device's properties (a dictionary with
// "DeviceID", "ProductID", "SerialNumber", "ConnectionType") under
// TLUSBHubNotificationKeyProperties.
inline constexpr const char* TLUSBDeviceDidAttachNotification = "TLUSBDeviceDidAttachNotification";
inline constexpr const char* TLUSBDeviceDidDetachNotification = "TLUSBDeviceDidDetachNotification";
inline constexpr const char* TLUSBHubNotificationKeyDeviceID = "DeviceID";
inline constexpr const char* TLUSBHubNotificationKeyProperties = "Properties";

// The devices the USB multiplexer daemon reports, and tunnels to their ports. Only devices on a
// USB connection are announced. The daemon's address follows libusbmuxd
// (USBMUXD_SOCKET_ADDRESS, else the system socket).
class TLUSBHub : public std::enable_shared_from_this<TLUSBHub> {
 public:
  using ConnectCallback = std::function<void(int fd, std::error_code error)>;

  // The one hub of the process; it starts listening on first use.
  static std::shared_ptr<TLUSBHub> sharedHub();

  // A hub of its own that posts on `center` (the default centre when null); it listens once
  // `listen` is called. For tests.
  static std::shared_ptr<TLUSBHub> make(std::shared_ptr<NotificationCenter> center = nullptr);
  ~TLUSBHub();
  TLUSBHub(const TLUSBHub&) = delete;
  TLUSBHub& operator=(const TLUSBHub&) = delete;

  // Subscribes to the daemon's attach and detach events. Idempotent. While listening, the hub
  // checks the daemon every retry interval: when it went away, its devices are announced as
  // detached, and when it is back (or was replaced by a new one on the same socket), the hub
  // subscribes again. One log line says when the daemon is missing at the start (tablets on USB
  // cannot be seen then) and one when it appears.
  std::error_code listen();
  void stopListening();
  // 1 second unless changed; at most 10.
  void setDaemonRetryInterval(double seconds);

  // Opens a tunnel to `port` on a device, on the hub's worker thread; the callback, on that
  // thread, gets the connected socket (now the caller's) or the error.
  void connectToDevice(std::uint32_t deviceID, std::uint16_t port, ConnectCallback callback);

 private:
  explicit TLUSBHub(std::shared_ptr<NotificationCenter> center);
  static void eventCallback(const void* event, void* userData);
  void handleEvent(const void* event);
  void workerLoop();
  void watchLoop();
  void checkDaemon();
  std::error_code subscribeLocked();
  void unsubscribeLocked();
  void announceDetached(const std::set<std::uint32_t>& devices);
  void announce(const char* name, std::map<std::string, std::any> userInfo);

  std::shared_ptr<NotificationCenter> center_;
  std::mutex subscriptionMutex_;
  void* subscription_ = nullptr;
  bool wantListening_ = false;
  // What the daemon's socket looked like when the hub last subscribed: whether it answered
  // and, for a socket file, its inode (a restarted daemon makes a new one).
  bool daemonUp_ = false;
  // Whether the log said the daemon is missing, so that its arrival is said once too.
  bool reportedMissing_ = false;
  std::uint64_t daemonIdentity_ = 0;

  std::mutex watchMutex_;
  std::condition_variable watchWake_;
  double retryInterval_ = 1.0;
  bool watchStopping_ = false;
  std::thread watcher_;

  std::mutex devicesMutex_;
  std::set<std::uint32_t> announced_;

  std::mutex workMutex_;
  std::condition_variable workReady_;
  std::deque<std::function<void()>> work_;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace platform
