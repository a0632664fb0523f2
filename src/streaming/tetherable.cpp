#include "streaming/tetherable.h"

#include <fmt/format.h>

#include <cerrno>
#include <cmath>
#include <utility>

#include "platform/coding/value_description.h"
#include "platform/foundation/log.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/utf8.h"
#include "platform/tether/tl_address.h"
#include "platform/tether/tl_error.h"
#include "streaming/magic_packet.h"
#include "streaming/notification_names.h"

namespace streaming {

using platform::DispatchQueue;
using platform::NotificationCenter;
using platform::TLChannel;
using platform::Value;

namespace {

// A screen description or a device-info object is a few hundred bytes; these bounds are
// generous for that and keep a hostile peer from making the decoders build millions of nodes
// on the channel's thread.
platform::DecodeLimits deviceTextLimits() {
  platform::DecodeLimits limits;
  limits.maxBytes = Tetherable::kMaxDescriptionBytes;
  limits.maxDepth = 16;
  limits.maxElements = 4096;
  return limits;
}

// The console line for a device-info object stays short whatever the device sends.
constexpr std::size_t kMaxDeviceInfoLine = 1024;

// A device id as the hub announces it: a whole number, held as a platform::Value or as a
// plain integer.
std::optional<std::int64_t> numberFrom(const std::any& value) {
  if (const auto* v = std::any_cast<Value>(&value)) {
    if (const auto* i = std::get_if<std::int64_t>(&v->storage())) return *i;
    if (const auto* u = std::get_if<std::uint64_t>(&v->storage())) {
      if (*u <= static_cast<std::uint64_t>(INT64_MAX)) return static_cast<std::int64_t>(*u);
      return std::nullopt;
    }
    if (const auto* d = std::get_if<double>(&v->storage())) {
      if (std::isfinite(*d) && std::trunc(*d) == *d && std::fabs(*d) < 9.0e18) {
        return static_cast<std::int64_t>(*d);
      }
    }
    return std::nullopt;
  }
  if (const auto* i = std::any_cast<std::int64_t>(&value)) return *i;
  if (const auto* u = std::any_cast<std::uint32_t>(&value)) return std::int64_t{*u};
  if (const auto* i = std::any_cast<int>(&value)) return std::int64_t{*i};
  return std::nullopt;
}

std::optional<std::int64_t> deviceIDFrom(const platform::Notification& notification) {
  auto it = notification.userInfo.find(platform::TLUSBHubNotificationKeyDeviceID);
  if (it == notification.userInfo.end()) return std::nullopt;
  return numberFrom(it->second);
}

// A channel's user information as text, for the console.
std::optional<std::string> describeUserInfo(const std::any& info) {
  if (!info.has_value()) return std::nullopt;
  if (const auto* text = std::any_cast<std::string>(&info)) return *text;
  if (const auto* address = std::any_cast<platform::TLAddress>(&info)) {
    return address->description();
  }
  if (auto number = numberFrom(info)) return std::to_string(*number);
  return std::nullopt;
}

// The line for a screen description no display is made of, in the words of the other
// refusals; the reason may quote what the device sent.
void logRefusedDescription(const std::string& reason) {
  platform::log("Refused a screen description: " + platform::utf8::escapedForConsole(reason, 256));
}

}  // namespace

std::shared_ptr<Tetherable> Tetherable::make(std::uint16_t port, double retryDelay,
                                             std::shared_ptr<platform::TLUSBHub> hub) {
  if (!hub) hub = platform::TLUSBHub::sharedHub();
  std::shared_ptr<Tetherable> tetherable(new Tetherable(port, retryDelay, std::move(hub)));
  tetherable->start();
  return tetherable;
}

Tetherable::Tetherable(std::uint16_t port, double retryDelay,
                       std::shared_ptr<platform::TLUSBHub> hub)
    : port_(port),
      retryDelay_(retryDelay),
      hub_(std::move(hub)),
      notConnectedQueue_(DispatchQueue::serial("Tether.notConnectedQueue")) {}

Tetherable::~Tetherable() {
  // The channel would otherwise live on in the reactor with nobody listening to it.
  std::shared_ptr<TLChannel> channel;
  {
    std::lock_guard lock(mutex_);
    channel = std::move(connectedChannel_);
  }
  if (channel) channel->close();
}

void Tetherable::start() {
  startListeningForDevices();
  enqueueConnectToLocalIPv4Port();
  platform::print("Ready for action — connecting at will.");
  ping();
}

void Tetherable::startListeningForDevices() {
  std::weak_ptr<Tetherable> weak = weak_from_this();
  auto center = NotificationCenter::defaultCenter();
  attachObserver_ = center->addObserver(
      platform::TLUSBDeviceDidAttachNotification,
      [weak](const platform::Notification& notification) {
        if (auto self = weak.lock()) self->handleDeviceAttached(notification);
      },
      hub_.get());
  detachObserver_ = center->addObserver(
      platform::TLUSBDeviceDidDetachNotification,
      [weak](const platform::Notification& notification) {
        if (auto self = weak.lock()) self->handleDeviceDetached(notification);
      },
      hub_.get());
}

void Tetherable::enqueueOnNotConnectedQueue(void (Tetherable::*attempt)()) {
  std::weak_ptr<Tetherable> weak = weak_from_this();
  notConnectedQueue_->async([weak, attempt] {
    DispatchQueue::main()->async([weak, attempt] {
      if (auto self = weak.lock()) (self.get()->*attempt)();
    });
  });
}

void Tetherable::enqueueConnectToLocalIPv4Port() {
  enqueueOnNotConnectedQueue(&Tetherable::connectToLocalIPv4Port);
}

void Tetherable::enqueueConnectToUSBDevice() {
  enqueueOnNotConnectedQueue(&Tetherable::connectToUSBDevice);
}

// The delayed calls all run on the main queue: completions arrive on the channel's reactor
// thread, which has no run loop to carry them.
void Tetherable::afterRetryDelay(void (Tetherable::*call)()) {
  std::weak_ptr<Tetherable> weak = weak_from_this();
  DispatchQueue::main()->asyncAfter(retryDelay_, [weak, call] {
    if (auto self = weak.lock()) (self.get()->*call)();
  });
}

void Tetherable::handleDeviceAttached(const platform::Notification& notification) {
  const auto deviceID = deviceIDFrom(notification);
  if (!deviceID) return;
  platform::log(fmt::format("TLUSBDeviceDidAttachNotification: {}", *deviceID));
  Value::Dictionary properties;
  auto it = notification.userInfo.find(platform::TLUSBHubNotificationKeyProperties);
  if (it != notification.userInfo.end()) {
    if (const auto* value = std::any_cast<Value>(&it->second)) {
      if (const auto* dictionary = value->asDictionary()) properties = *dictionary;
    }
  }
  std::weak_ptr<Tetherable> weak = weak_from_this();
  notConnectedQueue_->async([weak, id = *deviceID, properties = std::move(properties)] {
    auto self = weak.lock();
    if (!self) return;
    std::shared_ptr<TLChannel> replaced;
    {
      std::lock_guard lock(self->mutex_);
      if (self->connectingToDeviceID_ == id) return;
      if (self->connectedDeviceID_ && self->connectedChannel_) {
        replaced = std::move(self->connectedChannel_);
        self->connectedChannel_.reset();
        self->pings_.clear();
      }
      self->connectingToDeviceID_ = id;
      self->connectedDeviceProperties_ = properties;
    }
    if (replaced) self->endReplacedChannel(replaced);
    self->enqueueConnectToUSBDevice();
    NotificationCenter::defaultCenter()->post(deviceUsbAttached());
  });
}

void Tetherable::handleDeviceDetached(const platform::Notification& notification) {
  const auto deviceID = deviceIDFrom(notification);
  if (!deviceID) return;
  platform::log(fmt::format("TLUSBDeviceDidDetachNotification: {}", *deviceID));
  // The same serial queue as attach, so a detach never overtakes the attach before it.
  std::weak_ptr<Tetherable> weak = weak_from_this();
  notConnectedQueue_->async([weak, id = *deviceID] {
    auto self = weak.lock();
    if (!self) return;
    std::shared_ptr<TLChannel> channel;
    {
      std::lock_guard lock(self->mutex_);
      if (self->connectingToDeviceID_ != id) return;
      self->connectedDeviceProperties_.reset();
      self->connectingToDeviceID_.reset();
      channel = self->connectedChannel_;  // the field keeps it until the channel ends
    }
    // Only the unplugged device's own channel goes; a loopback peer is not affected.
    if (channel && numberFrom(channel->userInfo()) == id) channel->close();
    NotificationCenter::defaultCenter()->post(deviceUsbDetached());
  });
}

void Tetherable::connectToUSBDevice() {
  auto channel = TLChannel::make(nullptr, weak_from_this());
  std::optional<std::int64_t> deviceID;
  {
    std::lock_guard lock(mutex_);
    deviceID = connectingToDeviceID_;
  }
  channel->setUserInfo(deviceID ? std::any(*deviceID) : std::any());
  channel->setDelegate(weak_from_this());
  if (!deviceID) return;
  std::weak_ptr<Tetherable> weak = weak_from_this();
  // The channel keeps its callback, so the callback holds the channel weakly; the channel is
  // alive whenever the callback runs.
  std::weak_ptr<TLChannel> weakChannel = channel;
  channel->connectToPort(port_, hub_, static_cast<std::uint32_t>(*deviceID),
                         [weak, weakChannel, id = *deviceID](std::error_code error) {
                           auto channel = weakChannel.lock();
                           if (!channel) return;
                           if (auto self = weak.lock()) {
                             self->didConnectToUSBDevice(channel, id, error);
                           } else if (!error) {
                             channel->close();
                           }
                         });
}

void Tetherable::didConnectToUSBDevice(const std::shared_ptr<TLChannel>& channel,
                                       std::int64_t deviceID, std::error_code error) {
  if (error) {
    // Retried quietly until it works; a detach or another device's attach in the meantime
    // ends the retries.
    if (numberFrom(channel->userInfo()) == deviceID) retryUSBDevice(deviceID);
    return;
  }
  std::optional<std::int64_t> connectingTo;
  std::shared_ptr<TLChannel> replaced;
  {
    std::lock_guard lock(mutex_);
    connectingTo = connectingToDeviceID_;
    replaced = std::exchange(connectedChannel_, channel);
    pings_.clear();
  }
  setConnectedDeviceID(connectingTo);
  if (replaced && replaced != channel) endReplacedChannel(replaced);
}

void Tetherable::retryUSBDevice(std::int64_t deviceID) {
  std::weak_ptr<Tetherable> weak = weak_from_this();
  DispatchQueue::main()->asyncAfter(retryDelay_, [weak, deviceID] {
    auto self = weak.lock();
    if (!self) return;
    {
      std::lock_guard lock(self->mutex_);
      // A device attached meanwhile has an attempt of its own; a second one would open a
      // second channel to it and end the first one's session at once.
      if (self->connectingToDeviceID_ != deviceID) return;
      if (self->connectedDeviceID_ == deviceID && self->connectedChannel_) return;
    }
    self->enqueueConnectToUSBDevice();
  });
}

void Tetherable::connectToLocalIPv4Port() {
  bool connected;
  {
    std::lock_guard lock(mutex_);
    connected = connectedChannel_ != nullptr;
  }
  // A live channel, over USB or loopback, is never displaced by a loopback peer: only try
  // while there is none.
  if (connected) {
    afterRetryDelay(&Tetherable::enqueueConnectToLocalIPv4Port);
    return;
  }
  auto channel = TLChannel::make(nullptr, weak_from_this());
  channel->setUserInfo(fmt::format("127.0.0.1:{}", port_));
  std::weak_ptr<Tetherable> weak = weak_from_this();
  std::weak_ptr<TLChannel> weakChannel = channel;
  channel->connectToPort(
      port_, platform::kTLLoopbackIPv4,
      [weak, weakChannel](std::error_code error, std::optional<platform::TLAddress> address) {
        auto channel = weakChannel.lock();
        if (!channel) return;
        auto self = weak.lock();
        if (!self) {
          if (!error) channel->close();
          return;
        }
        if (error) {
          if (!platform::isPOSIXError(error, ECONNREFUSED) &&
              !platform::isPOSIXError(error, ETIMEDOUT)) {
            platform::log(
                fmt::format("Failed to connect to 127.0.0.1:{}: {}", self->port_, error.message()));
          }
        } else {
          bool adopted = false;
          {
            std::lock_guard lock(self->mutex_);
            if (!self->connectedChannel_) {
              self->connectedChannel_ = channel;
              self->pings_.clear();
              adopted = true;
            }
          }
          if (!adopted) {
            channel->close();
          } else if (address) {
            channel->setUserInfo(*address);
            platform::log(fmt::format("Connected to {}", address->description()));
          }
        }
        self->afterRetryDelay(&Tetherable::enqueueConnectToLocalIPv4Port);
      });
}

void Tetherable::ping() {
  std::shared_ptr<TLChannel> channel;
  {
    std::lock_guard lock(mutex_);
    channel = connectedChannel_;
  }
  if (!channel) {
    afterRetryDelay(&Tetherable::ping);
    return;
  }
  const std::uint32_t tag = channel->protocol()->newTag();
  const double now = platform::systemUptime();
  {
    std::lock_guard lock(mutex_);
    // A peer that never answers must not make the table grow for ever.
    std::erase_if(pings_, [now](const auto& entry) { return now - entry.second > kPingExpiry; });
    pings_[tag] = now;
  }
  std::weak_ptr<Tetherable> weak = weak_from_this();
  channel->sendFrame(static_cast<std::uint32_t>(FrameType::ping), tag, std::nullopt,
                     [weak, tag](std::error_code error) {
                       auto self = weak.lock();
                       if (!self) return;
                       self->afterRetryDelay(&Tetherable::ping);
                       if (error) {
                         std::lock_guard lock(self->mutex_);
                         self->pings_.erase(tag);
                       }
                     });
}

void Tetherable::handlePong(std::uint32_t tag) {
  double sentAt = 0;
  {
    std::lock_guard lock(mutex_);
    auto it = pings_.find(tag);
    if (it == pings_.end()) return;
    sentAt = it->second;
    pings_.erase(it);
  }
  platform::print(fmt::format("Ping total roundtrip time: {:.3f} ms",
                              (platform::systemUptime() - sentAt) * 1000.0));
}

bool Tetherable::shouldAcceptFrame(const std::shared_ptr<TLChannel>& channel, std::uint32_t type,
                                   std::uint32_t, std::uint32_t) {
  return acceptsFrameType(channel, type);
}

void Tetherable::didReceiveFrame(const std::shared_ptr<TLChannel>&, std::uint32_t type,
                                 std::uint32_t tag, const platform::TLData* payload) {
  handleFrame(type, tag, payload);
}

void Tetherable::didEnd(const std::shared_ptr<TLChannel>& channel, std::error_code error) {
  handleChannelEnd(channel, error);
}

bool Tetherable::acceptsFrameType(const std::shared_ptr<TLChannel>& channel, std::uint32_t type) {
  switch (type) {
    case static_cast<std::uint32_t>(FrameType::deviceInfo):
    case static_cast<std::uint32_t>(FrameType::screenImage):
    case static_cast<std::uint32_t>(FrameType::magicPacket):
    case static_cast<std::uint32_t>(FrameType::ping):
    case static_cast<std::uint32_t>(FrameType::pong):
    case 0:
      return true;
    default:
      platform::log(fmt::format("Unexpected frame of type {}", type));
      channel->close();
      return false;
  }
}

void Tetherable::handleFrame(std::uint32_t type, std::uint32_t tag,
                             const platform::TLData* payload) {
  if (!payload) return;
  switch (type) {
    case static_cast<std::uint32_t>(FrameType::magicPacket): {
      // A description no display comes of is said on the console, once, with what was wrong;
      // one with a size still goes out to those that read it.
      auto dictionary = platform::dictionaryWithContentsOfData(*payload, deviceTextLimits());
      if (!dictionary) return logRefusedDescription(dictionary.error().message);
      if (auto problem = MagicPacket::problemWith(*dictionary)) logRefusedDescription(*problem);
      auto packet = MagicPacket::make(*dictionary);
      if (!packet->width() || !packet->height()) return;
      NotificationCenter::defaultCenter()->post(deviceConnected(), packet);
      return;
    }
    case static_cast<std::uint32_t>(FrameType::pong):
      handlePong(tag);
      return;
    case static_cast<std::uint32_t>(FrameType::deviceInfo): {
      auto json = platform::decodeJSON(*payload, deviceTextLimits());
      if (!json) return;
      // Only an object describes a device.
      if (json->asDictionary()) {
        platform::print("Connected to " + platform::utf8::escapedForConsole(
                                              platform::describeValue(*json), kMaxDeviceInfoLine));
      }
      return;
    }
    default:
      return;
  }
}

void Tetherable::handleChannelEnd(const std::shared_ptr<TLChannel>& channel,
                                  std::error_code error) {
  if (error) {
    std::optional<std::int64_t> connected;
    {
      std::lock_guard lock(mutex_);
      connected = connectedDeviceID_;
    }
    if (connected && numberFrom(channel->userInfo()) == connected) {
      platform::log("Disconnected from device");
      setConnectedDeviceID(std::nullopt, connected);
      // The app on a device that stays plugged in closed or crashed; it may well start again,
      // and no attach would tell us.
      retryUSBDevice(*connected);
    }
  }
  bool wasConnected = false;
  {
    std::lock_guard lock(mutex_);
    if (connectedChannel_ == channel) {
      connectedChannel_.reset();
      pings_.clear();
      wasConnected = true;
    }
  }
  if (!wasConnected) return;
  announceDisconnect(*channel, error);
  // An app that is quit closes its end cleanly; the tablet stays plugged in and its app may
  // listen again, so its port is tried again until it answers or the tablet is unplugged
  // (a detach clears the device being connected to, which ends the retries).
  if (!error) {
    if (auto deviceID = numberFrom(channel->userInfo())) retryUSBDevice(*deviceID);
  }
}

void Tetherable::endReplacedChannel(const std::shared_ptr<TLChannel>& channel) {
  // The channel is no longer the connected one, so its end will not announce itself: its
  // display session ends here, exactly as when the channel itself ends.
  channel->close();
  announceDisconnect(*channel, {});
}

void Tetherable::announceDisconnect(const TLChannel& channel, std::error_code error) {
  std::string line =
      "Disconnected from " +
      platform::utf8::escapedForConsole(describeUserInfo(channel.userInfo()).value_or("Unknown"));
  if (error) line += ": " + platform::utf8::escapedForConsole(error.message());
  platform::print(line);
  NotificationCenter::defaultCenter()->post(deviceDisconnected());
}

void Tetherable::setConnectedDeviceID(std::optional<std::int64_t> id,
                                      std::optional<std::int64_t> onlyIfEqualTo) {
  connectedDeviceIDChanges_.send(KeyValueChange::willChange);
  {
    std::lock_guard lock(mutex_);
    if (!onlyIfEqualTo || connectedDeviceID_ == onlyIfEqualTo) connectedDeviceID_ = id;
  }
  connectedDeviceIDChanges_.send(KeyValueChange::didChange);
}

std::shared_ptr<TLChannel> Tetherable::connectedChannel() const {
  std::lock_guard lock(mutex_);
  return connectedChannel_;
}

std::optional<std::int64_t> Tetherable::connectedDeviceID() const {
  std::lock_guard lock(mutex_);
  return connectedDeviceID_;
}

std::optional<std::int64_t> Tetherable::connectingToDeviceID() const {
  std::lock_guard lock(mutex_);
  return connectingToDeviceID_;
}

std::optional<Value::Dictionary> Tetherable::connectedDeviceProperties() const {
  std::lock_guard lock(mutex_);
  return connectedDeviceProperties_;
}

std::size_t Tetherable::outstandingPingCount() const {
  std::lock_guard lock(mutex_);
  return pings_.size();
}

}  // namespace streaming
