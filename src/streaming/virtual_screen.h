#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/net_service.h"
#include "platform/foundation/notification_center.h"
#include "streaming/magic_packet.h"
#include "streaming/virtual_display_builder.h"
#include "streaming/virtual_display_entry.h"

namespace streaming {

// The service type of the (never published) description of this computer's displays.
inline constexpr const char* kDisplayServiceType = "_tovarine-displays._tcp.";
inline constexpr const char* kDisplayServiceDomain = "local.";

// The smallest and largest screen side a device description may ask for.
inline constexpr std::int32_t kMinScreenSide = 1;
inline constexpr std::int32_t kMaxScreenSide = 16384;
// Frames are 20 pixels shorter than the screen, so the screen must be taller than that.
inline constexpr std::int32_t kMinScreenHeight = 21;

// Owns the virtual displays. A complete device description ("com.device.connected") is
// announced ("com.streaming.magicpacket") and becomes a virtual display of the device's size;
// the next change of screen parameters hands the new display's id to `screenId` and announces
// "com.deviceUsb.streaming"; the end of the channel ("com.device.disconnected") removes the
// display again.
//
// A channel session has at most one display: a description that repeats on the same channel
// replaces the session's display (an identical one is ignored; the new display takes the next
// key), and the end of the channel removes it and returns the counter to where the session
// began. Notifications arrive on the channel's thread and on the main queue, so every
// field lives under one mutex, which is never held while posting, calling `screenId` or
// talking to the X server. Displays are made and removed on a serial queue of their own, in
// the order descriptions and ends arrived; descriptions that arrive while one is being made
// collapse into the newest.
//
// It also keeps the description of this computer's displays as a network service with a TXT
// record; the service is never published and the browser never searches.
class VirtualScreen : public platform::NetServiceDelegate,
                      public platform::NetServiceBrowserDelegate,
                      public std::enable_shared_from_this<VirtualScreen> {
 public:
  using ScreenIdHandler = std::function<void(std::uint32_t displayID)>;

  // Records the active displays and starts observing; see the class comment.
  static std::shared_ptr<VirtualScreen> make();
  ~VirtualScreen() override;
  VirtualScreen(const VirtualScreen&) = delete;
  VirtualScreen& operator=(const VirtualScreen&) = delete;

  // Called with the id of each new display, once; set by the coordinator.
  void setScreenId(ScreenIdHandler handler);

  // Notification handlers.
  void handleDisplayConnection(const platform::Notification& notification);
  void didDeviceConnected(const platform::Notification& notification);
  void didDeviceDisconnected();

  // Waits until every description and end received so far has taken effect.
  void flushPendingWork();

  std::vector<Resolution> activeDisplays() const;
  std::int64_t virtualDisplayCounter() const;
  std::map<std::int64_t, VirtualDisplayEntry> virtualDisplays() const;
  std::optional<std::uint32_t> screenIdentifier() const;

  // The display service description.
  const std::shared_ptr<platform::NetService>& ns() const { return ns_; }
  const std::shared_ptr<platform::NetServiceBrowser>& browser() const { return browser_; }
  std::map<std::string, std::shared_ptr<platform::NetService>> discoveredServices() const;

  // Sets the "displays" record of `activeDisplays` on the service.
  void makeTXTRecord(platform::NetService& service);
  // Sets a record of the given type on the service and prints whether it was taken.
  void setTXTRecord(const std::string& type, platform::TXTRecord record,
                    platform::NetService& service);
  // The record as text: entries "key=value" in ascending key order, joined by ",".
  static std::string formatTXTRecord(const platform::TXTRecord& record);
  // Reacts to another computer's record.
  void interpretTXTRecord(platform::NetService& service, const std::vector<std::uint8_t>& data);

  // NetServiceDelegate
  void netServiceDidPublish(platform::NetService& service) override;
  void netServiceDidNotPublish(platform::NetService& service,
                               const platform::NetServiceErrorInfo& error) override;
  void netServiceDidStop(platform::NetService& service) override;
  void netServiceDidAcceptConnection(platform::NetService& service,
                                     std::shared_ptr<platform::NetServiceStream> input,
                                     std::shared_ptr<platform::NetServiceStream> output) override;
  void netServiceDidUpdateTXTRecordData(platform::NetService& service,
                                        const std::vector<std::uint8_t>& data) override;
  // NetServiceBrowserDelegate
  void netServiceBrowserDidNotSearch(platform::NetServiceBrowser& browser,
                                     const platform::NetServiceErrorInfo& error) override;
  void netServiceBrowserDidFindService(platform::NetServiceBrowser& browser,
                                       std::shared_ptr<platform::NetService> service,
                                       bool moreComing) override;
  void netServiceBrowserDidRemoveService(platform::NetServiceBrowser& browser,
                                         std::shared_ptr<platform::NetService> service,
                                         bool moreComing) override;
  void netServiceBrowserDidStopSearch(platform::NetServiceBrowser& browser) override;

 private:
  VirtualScreen();
  void start();
  void readActiveDisplays();
  void handleDeviceConnected(const std::shared_ptr<const MagicPacket>& packet);
  void handleScreenParametersChange();
  void removeNewestDisplay();
  void buildPendingDisplay(std::uint64_t session);
  static void logRefusal(const std::string& deviceName, const std::string& reason);
  void createSessionDisplay(const std::string& name, std::int32_t width, std::int32_t height,
                            std::int32_t ppi, std::shared_ptr<const MagicPacket> packet);
  // Takes the session's display out of the table (under the mutex).
  std::shared_ptr<platform::VirtualDisplay> takeSessionDisplayLocked();

  const platform::DispatchQueuePtr builderQueue_;
  mutable std::mutex mutex_;
  std::shared_ptr<const MagicPacket> pendingPacket_;
  bool buildScheduled_ = false;
  // Counts the ends of channels; a build job queued before an end belongs to the ended session
  // and must not take a description that arrived after it.
  std::uint64_t channelSession_ = 0;
  std::uint64_t parameterChanges_ = 0;
  std::map<std::string, std::shared_ptr<platform::NetService>> discoveredServices_;
  std::shared_ptr<platform::NetService> ns_;
  std::shared_ptr<platform::NetServiceBrowser> browser_;
  std::vector<Resolution> activeDisplays_;
  std::int64_t virtualDisplayCounter_ = 0;
  std::map<std::int64_t, VirtualDisplayEntry> virtualDisplays_;
  ScreenIdHandler screenId_;
  std::optional<std::uint32_t> screenIdentifier_;
  // The display of the current channel session, by key, and the description it was made for;
  // the key of the session's first display, where the counter returns when the session ends.
  std::optional<std::int64_t> sessionKey_;
  std::shared_ptr<const MagicPacket> sessionPacket_;
  std::optional<std::int64_t> sessionFirstKey_;

  platform::ObserverToken screenParametersObserver_;
  platform::ObserverToken connectedObserver_;
  platform::ObserverToken disconnectedObserver_;
};

// A TXT value as a signed decimal integer with an optional leading '+' or '-'; absent when
// the key is missing, the value is not UTF-8 or not such a number, or it overflows.
std::optional<std::int64_t> txtIntegerValue(const platform::TXTRecord& record,
                                            const std::string& key);

}  // namespace streaming
