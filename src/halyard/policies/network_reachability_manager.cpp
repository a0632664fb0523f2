#include "halyard/policies/network_reachability_manager.h"

#include "halyard/core/halyard_info.h"

namespace halyard {

namespace rf = platform::reachability_flags;
using Status = NetworkReachabilityManager::NetworkReachabilityStatus;

Status Status::fromFlags(platform::NetworkReachabilityFlags flags) {
  if (!(flags & rf::reachable)) return notReachable();
  if (!(flags & rf::connectionRequired)) return reachable(ConnectionType::ethernetOrWiFi);
  if (!(flags & (rf::connectionOnTraffic | rf::connectionOnDemand))) return notReachable();
  if (flags & rf::interventionRequired) return notReachable();
  return reachable(ConnectionType::ethernetOrWiFi);
}

std::shared_ptr<NetworkReachabilityManager> NetworkReachabilityManager::create(
    std::string host, std::shared_ptr<platform::ReachabilitySource> source) {
  auto reachability =
      platform::NetworkReachability::createWithName(std::move(host), std::move(source));
  if (!reachability) return nullptr;
  return std::shared_ptr<NetworkReachabilityManager>(
      new NetworkReachabilityManager(std::move(reachability)));
}

std::shared_ptr<NetworkReachabilityManager> NetworkReachabilityManager::create(
    std::shared_ptr<platform::ReachabilitySource> source) {
  sockaddr_in zero{};
  zero.sin_family = AF_INET;
  auto reachability = platform::NetworkReachability::createWithAddress(zero, std::move(source));
  if (!reachability) return nullptr;
  return std::shared_ptr<NetworkReachabilityManager>(
      new NetworkReachabilityManager(std::move(reachability)));
}

const std::shared_ptr<NetworkReachabilityManager>& NetworkReachabilityManager::sharedDefault() {
  static const auto manager = create();
  return manager;
}

NetworkReachabilityManager::NetworkReachabilityManager(
    std::shared_ptr<platform::NetworkReachability> reachability)
    : reachabilityQueue_(
          platform::DispatchQueue::serial(HalyardInfo::labelPrefix + ".reachabilityQueue")),
      reachability_(std::move(reachability)) {}

NetworkReachabilityManager::~NetworkReachabilityManager() {
  stop();
}

std::optional<platform::NetworkReachabilityFlags> NetworkReachabilityManager::flags() const {
  return reachability_->flags();
}

Status NetworkReachabilityManager::status() const {
  const auto current = flags();
  return current ? Status::fromFlags(*current) : Status::unknown();
}

bool NetworkReachabilityManager::isReachableOnCellular() const {
  return status() == Status::reachable(Status::ConnectionType::cellular);
}

bool NetworkReachabilityManager::isReachableOnEthernetOrWiFi() const {
  return status() == Status::reachable(Status::ConnectionType::ethernetOrWiFi);
}

bool NetworkReachabilityManager::isReachable() const {
  return isReachableOnCellular() || isReachableOnEthernetOrWiFi();
}

bool NetworkReachabilityManager::startListening(platform::DispatchQueuePtr queue,
                                                Listener listener) {
  stopListening();
  mutableState_.mutateValue([&](MutableState& state) {
    state.listenerQueue = std::move(queue);
    state.listener = std::move(listener);
  });
  // The system's callback holds the manager weakly: it never keeps it alive.
  const std::weak_ptr<NetworkReachabilityManager> weak = weak_from_this();
  const bool queueSet = reachability_->setDispatchQueue(reachabilityQueue_);
  const bool callbackSet =
      reachability_->setCallback([weak](platform::NetworkReachabilityFlags flags) {
        if (const auto manager = weak.lock()) manager->notifyListener(flags);
      });
  if (const auto current = flags()) {
    reachabilityQueue_->async([weak, flags = *current] {
      if (const auto manager = weak.lock()) manager->notifyListener(flags);
    });
  }
  return queueSet && callbackSet;
}

void NetworkReachabilityManager::stopListening() {
  stop();
}

void NetworkReachabilityManager::stop() {
  reachability_->setCallback(nullptr);
  reachability_->setDispatchQueue(nullptr);
  MutableState old;
  mutableState_.mutateValue([&](MutableState& state) { std::swap(old, state); });
  // The old listener is released outside the lock.
}

void NetworkReachabilityManager::notifyListener(platform::NetworkReachabilityFlags flags) {
  const auto status = Status::fromFlags(flags);
  mutableState_.mutateValue([&](MutableState& state) {
    if (state.previousStatus && *state.previousStatus == status) return;
    state.previousStatus = status;
    if (state.listenerQueue && state.listener) {
      state.listenerQueue->async([listener = state.listener, status] { listener(status); });
    }
  });
}

std::string NetworkReachabilityManager::flagsDescription(platform::NetworkReachabilityFlags flags) {
  auto bit = [flags](platform::NetworkReachabilityFlags mask, char mark) {
    return (flags & mask) ? mark : '-';
  };
  return std::string{'-',
                     bit(rf::reachable, 'R'),
                     ' ',
                     bit(rf::connectionRequired, 'c'),
                     bit(rf::transientConnection, 't'),
                     bit(rf::interventionRequired, 'i'),
                     bit(rf::connectionOnTraffic, 'C'),
                     bit(rf::connectionOnDemand, 'D'),
                     bit(rf::isLocalAddress, 'l'),
                     bit(rf::isDirect, 'd'),
                     bit(rf::connectionOnTraffic, 'a')};
}

}  // namespace halyard
