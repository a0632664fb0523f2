#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"

namespace platform {

// Reachability bits. Only reachable, local address and direct are ever set here: this platform
// knows no connections made on demand or by intervention.
using NetworkReachabilityFlags = std::uint32_t;
namespace reachability_flags {
inline constexpr NetworkReachabilityFlags transientConnection = 0x1;
inline constexpr NetworkReachabilityFlags reachable = 0x2;
inline constexpr NetworkReachabilityFlags connectionRequired = 0x4;
inline constexpr NetworkReachabilityFlags connectionOnTraffic = 0x8;
inline constexpr NetworkReachabilityFlags interventionRequired = 0x10;
inline constexpr NetworkReachabilityFlags connectionOnDemand = 0x20;
inline constexpr NetworkReachabilityFlags isLocalAddress = 0x10000;
inline constexpr NetworkReachabilityFlags isDirect = 0x20000;
}  // namespace reachability_flags

// What the operating system answers about routes, names and changes. The system source asks
// the kernel's routing tables over netlink; tests hand in a fake.
class ReachabilitySource {
 public:
  // Stops the change notifications when destroyed (never from inside one).
  class Watch {
   public:
    virtual ~Watch() = default;
  };

  virtual ~ReachabilitySource() = default;
  // The flags of one address (AF_INET or AF_INET6); nothing when the system cannot be asked.
  virtual std::optional<NetworkReachabilityFlags> flagsForAddress(
      const sockaddr_storage& address) = 0;
  // The flags of the network in general (a usable default route).
  virtual std::optional<NetworkReachabilityFlags> generalFlags() = 0;
  // The addresses of a name, in the resolver's order; empty when it does not resolve.
  virtual std::vector<sockaddr_storage> resolve(const std::string& host) = 0;
  // Calls `changed` (on a thread of the source's own) after each burst of changes of links,
  // addresses or routes, until the watch is destroyed. Null when changes cannot be watched.
  virtual std::unique_ptr<Watch> watchChanges(std::function<void()> changed) = 0;

  // The kernel's answers.
  static std::shared_ptr<ReachabilitySource> system();
};

// Whether a host name, an address or the network in general can be reached, and a callback
// on a queue whenever that changes.
class NetworkReachability {
 public:
  using Callback = std::function<void(NetworkReachabilityFlags)>;

  // No object for an empty name or one holding a NUL byte.
  static std::shared_ptr<NetworkReachability> createWithName(
      std::string host, std::shared_ptr<ReachabilitySource> source = ReachabilitySource::system());
  // The zero address stands for the network in general.
  static std::shared_ptr<NetworkReachability> createWithAddress(
      const sockaddr_in& address,
      std::shared_ptr<ReachabilitySource> source = ReachabilitySource::system());

  ~NetworkReachability();
  NetworkReachability(const NetworkReachability&) = delete;
  NetworkReachability& operator=(const NetworkReachability&) = delete;

  // Nothing when the system cannot be asked.
  std::optional<NetworkReachabilityFlags> flags() const;

  // Once either has been set to null and the call has returned, no new callback starts (one
  // running on another thread is waited for; the callback itself may make these calls).
  bool setCallback(Callback callback);
  bool setDispatchQueue(DispatchQueuePtr queue);

  // The state callbacks and the change watch share (opaque).
  struct Core;

 private:
  explicit NetworkReachability(std::shared_ptr<Core> core);
  std::shared_ptr<Core> core_;
};

}  // namespace platform
