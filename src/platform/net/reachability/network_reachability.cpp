#include "platform/net/reachability/network_reachability.h"

#include <cstring>
#include <mutex>

namespace platform {

namespace rf = reachability_flags;

// Shared with the change watch, which holds this part only: the watch thread never holds the
// object that owns it, so it is never the one to destroy it.
struct Signal {
  std::mutex mutex;
  DispatchQueuePtr queue;
  std::weak_ptr<NetworkReachability::Core> core;
};

struct NetworkReachability::Core : std::enable_shared_from_this<Core> {
  std::shared_ptr<ReachabilitySource> source;
  std::optional<std::string> host;
  sockaddr_storage address{};

  // Held while a callback runs, and by the setters: after a setter returns no callback of the
  // old setting starts. Recursive, so the callback may call the setters.
  std::recursive_mutex callMutex;
  Callback callback;
  DispatchQueuePtr queue;
  std::optional<NetworkReachabilityFlags> lastFlags;
  std::shared_ptr<Signal> signal = std::make_shared<Signal>();
  std::unique_ptr<ReachabilitySource::Watch> watch;

  std::optional<NetworkReachabilityFlags> currentFlags() const {
    if (host) {
      const auto addresses = source->resolve(*host);
      std::optional<NetworkReachabilityFlags> answer =
          addresses.empty() ? std::optional<NetworkReachabilityFlags>(0) : std::nullopt;
      for (const auto& candidate : addresses) {
        const auto flags = source->flagsForAddress(candidate);
        if (flags && (*flags & rf::reachable)) return flags;
        if (flags) answer = 0;
      }
      return answer;
    }
    const auto& in = reinterpret_cast<const sockaddr_in&>(address);
    if (address.ss_family == AF_INET && in.sin_addr.s_addr == htonl(INADDR_ANY)) {
      return source->generalFlags();
    }
    return source->flagsForAddress(address);
  }

  // Called with `callMutex` held: starts or stops watching to match the settings.
  void update() {
    const bool active = callback && queue;
    {
      std::lock_guard lock(signal->mutex);
      signal->queue = active ? queue : nullptr;
      signal->core = weak_from_this();
    }
    if (active && !watch) {
      lastFlags = currentFlags();
      watch = source->watchChanges([signal = signal] {
        std::lock_guard lock(signal->mutex);
        if (!signal->queue) return;
        signal->queue->async([weak = signal->core] {
          if (auto core = weak.lock()) core->deliver();
        });
      });
    } else if (!active && watch) {
      // Stopping the watch joins its thread, which never waits for this lock.
      watch.reset();
      lastFlags.reset();
    }
  }

  void deliver() {
    std::lock_guard lock(callMutex);
    if (!callback || !queue || !queue->isCurrent()) return;
    const auto flags = currentFlags();
    if (!flags || flags == lastFlags) return;
    lastFlags = flags;
    const auto call = callback;
    call(*flags);
  }
};

std::shared_ptr<NetworkReachability> NetworkReachability::createWithName(
    std::string host, std::shared_ptr<ReachabilitySource> source) {
  if (host.empty() || host.find('\0') != std::string::npos || !source) return nullptr;
  auto core = std::make_shared<Core>();
  core->source = std::move(source);
  core->host = std::move(host);
  return std::shared_ptr<NetworkReachability>(new NetworkReachability(std::move(core)));
}

std::shared_ptr<NetworkReachability> NetworkReachability::createWithAddress(
    const sockaddr_in& address, std::shared_ptr<ReachabilitySource> source) {
  if (address.sin_family != AF_INET || !source) return nullptr;
  auto core = std::make_shared<Core>();
  core->source = std::move(source);
  std::memcpy(&core->address, &address, sizeof address);
  return std::shared_ptr<NetworkReachability>(new NetworkReachability(std::move(core)));
}

NetworkReachability::NetworkReachability(std::shared_ptr<Core> core) : core_(std::move(core)) {}

NetworkReachability::~NetworkReachability() {
  std::lock_guard lock(core_->callMutex);
  core_->callback = nullptr;
  core_->queue = nullptr;
  core_->update();
}

std::optional<NetworkReachabilityFlags> NetworkReachability::flags() const {
  return core_->currentFlags();
}

bool NetworkReachability::setCallback(Callback callback) {
  Callback old;
  {
    std::lock_guard lock(core_->callMutex);
    old = std::exchange(core_->callback, std::move(callback));
    core_->update();
  }
  return true;
}

bool NetworkReachability::setDispatchQueue(DispatchQueuePtr queue) {
  std::lock_guard lock(core_->callMutex);
  core_->queue = std::move(queue);
  core_->update();
  return true;
}

}  // namespace platform
