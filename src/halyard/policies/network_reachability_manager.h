#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "halyard/core/protected.h"
#include "platform/dispatch/dispatch_queue.h"
#include "platform/net/reachability/network_reachability.h"

namespace halyard {

// Whether a host, or the network in general, can be reached; while listening, a listener hears
// every change of that status on its queue.
//
// A manager may be destroyed on any thread, inside its own listener or on its reachability
// queue included.
class NetworkReachabilityManager : public std::enable_shared_from_this<NetworkReachabilityManager> {
 public:
  struct NetworkReachabilityStatus {
    enum class Kind { reachable, unknown, notReachable };
    enum class ConnectionType { ethernetOrWiFi, cellular };

    static NetworkReachabilityStatus reachable(ConnectionType type) {
      return {Kind::reachable, type};
    }
    static NetworkReachabilityStatus unknown() { return {Kind::unknown}; }
    static NetworkReachabilityStatus notReachable() { return {Kind::notReachable}; }
    // Never `unknown`, and never cellular here.
    static NetworkReachabilityStatus fromFlags(platform::NetworkReachabilityFlags flags);

    Kind kind = Kind::unknown;
    ConnectionType connectionType = ConnectionType::ethernetOrWiFi;  // for `reachable` only

    bool operator==(const NetworkReachabilityStatus& other) const {
      return kind == other.kind &&
             (kind != Kind::reachable || connectionType == other.connectionType);
    }
  };
  using Listener = std::function<void(NetworkReachabilityStatus)>;

  struct MutableState {
    Listener listener;
    platform::DispatchQueuePtr listenerQueue;
    std::optional<NetworkReachabilityStatus> previousStatus;
  };

  // No manager for a host the system refuses (an empty name, or one holding a NUL byte).
  static std::shared_ptr<NetworkReachabilityManager> create(
      std::string host, std::shared_ptr<platform::ReachabilitySource> source =
                            platform::ReachabilitySource::system());
  // The network in general (the zero address).
  static std::shared_ptr<NetworkReachabilityManager> create(
      std::shared_ptr<platform::ReachabilitySource> source =
          platform::ReachabilitySource::system());
  // Built once, on first use; null when that failed.
  static const std::shared_ptr<NetworkReachabilityManager>& sharedDefault();

  virtual ~NetworkReachabilityManager();
  NetworkReachabilityManager(const NetworkReachabilityManager&) = delete;
  NetworkReachabilityManager& operator=(const NetworkReachabilityManager&) = delete;

  virtual bool isReachable() const;
  virtual bool isReachableOnCellular() const;
  virtual bool isReachableOnEthernetOrWiFi() const;
  virtual std::optional<platform::NetworkReachabilityFlags> flags() const;
  virtual NetworkReachabilityStatus status() const;

  // True when both registrations with the system succeeded. The listener hears the current
  // status soon after, unless the flags cannot be read.
  virtual bool startListening(platform::DispatchQueuePtr queue, Listener listener);
  bool startListening(Listener listener) {
    return startListening(platform::DispatchQueue::main(), std::move(listener));
  }
  virtual void stopListening();
  virtual void notifyListener(platform::NetworkReachabilityFlags flags);

  // Eleven characters: "-", "R" or "-", a blank, then c t i C D l d a (each "-" when clear).
  static std::string flagsDescription(platform::NetworkReachabilityFlags flags);

  const platform::DispatchQueuePtr& reachabilityQueue() const { return reachabilityQueue_; }

 protected:
  explicit NetworkReachabilityManager(std::shared_ptr<platform::NetworkReachability> reachability);

 private:
  void stop();

  const platform::DispatchQueuePtr reachabilityQueue_;
  const std::shared_ptr<platform::NetworkReachability> reachability_;
  Protected<MutableState> mutableState_;
};

}  // namespace halyard
