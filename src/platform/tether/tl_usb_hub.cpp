#include "platform/tether/tl_usb_hub.h"

#include <usbmuxd.h>

#include <cstring>
#include <string>

#include "platform/coding/value.h"
#include "platform/tether/tl_error.h"

namespace platform {

std::shared_ptr<TLUSBHub> TLUSBHub::sharedHub() {
  static const std::shared_ptr<TLUSBHub> shared = [] {
    auto hub = make(NotificationCenter::defaultCenter());
    hub->listen();
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
  stopListening();
  {
    std::lock_guard lock(workMutex_);
    stopping_ = true;
  }
  workReady_.notify_all();
  if (worker_.joinable()) worker_.join();
}

std::error_code TLUSBHub::listen() {
  std::lock_guard lock(subscriptionMutex_);
  if (subscription_) return {};
  usbmuxd_subscription_context_t context = nullptr;
  const int result = usbmuxd_events_subscribe(
      &context,
      [](const usbmuxd_event_t* event, void* userData) { eventCallback(event, userData); }, this);
  if (result != 0) return posixError(-result);
  subscription_ = context;
  return {};
}

void TLUSBHub::stopListening() {
  std::lock_guard lock(subscriptionMutex_);
  if (!subscription_) return;
  // Waits for an event being delivered to finish; none arrives afterwards.
  usbmuxd_events_unsubscribe(static_cast<usbmuxd_subscription_context_t>(subscription_));
  subscription_ = nullptr;
  std::lock_guard devicesLock(devicesMutex_);
  announced_.clear();
}

void TLUSBHub::eventCallback(const void* event, void* userData) {
  static_cast<TLUSBHub*>(userData)->handleEvent(event);
}

void TLUSBHub::handleEvent(const void* rawEvent) {
  const auto* event = static_cast<const usbmuxd_event_t*>(rawEvent);
  auto self = weak_from_this().lock();
  if (!self) return;  // being destroyed
  const std::uint32_t deviceID = event->device.handle;
  if (event->event == UE_DEVICE_ADD) {
    // Devices reached over the network are not ours to drive.
    if (event->device.conn_type != CONNECTION_TYPE_USB) return;
    {
      std::lock_guard lock(devicesMutex_);
      announced_.insert(deviceID);
    }
    const std::string serial(event->device.udid,
                             ::strnlen(event->device.udid, sizeof event->device.udid));
    Value::Dictionary properties{
        {"DeviceID", Value(std::int64_t{deviceID})},
        {"ProductID", Value(std::int64_t{event->device.product_id})},
        {"SerialNumber", Value(serial)},
        {"ConnectionType", Value("USB")},
    };
    center_->post(TLUSBDeviceDidAttachNotification, self,
                  {{TLUSBHubNotificationKeyDeviceID, Value(std::int64_t{deviceID})},
                   {TLUSBHubNotificationKeyProperties, Value(std::move(properties))}});
  } else if (event->event == UE_DEVICE_REMOVE) {
    {
      std::lock_guard lock(devicesMutex_);
      if (announced_.erase(deviceID) == 0) return;
    }
    center_->post(TLUSBDeviceDidDetachNotification, self,
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
