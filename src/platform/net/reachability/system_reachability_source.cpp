// The kernel's answers for reachability: route lookups and dumps over a NETLINK_ROUTE socket
// (what `ip route get` and `ip route show` ask; nothing is sent on any network), interface
// states from getifaddrs, names through getaddrinfo, and changes from netlink's multicast
// groups. Linux has no reachability service of its own, and no Debian library offers these
// answers, so they are put together here from the kernel's interfaces.

#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <thread>

#include "platform/net/reachability/network_reachability.h"

namespace platform {

namespace {

namespace rf = reachability_flags;

// What one route says.
struct Route {
  unsigned char type = RTN_UNSPEC;
  unsigned flags = 0;
  unsigned char dstLength = 0;
  std::uint32_t table = RT_TABLE_UNSPEC;
  int outputInterface = 0;
  bool hasGateway = false;
};

bool isLocalhostName(std::string_view host) {
  if (!host.empty() && host.back() == '.') host.remove_suffix(1);
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  auto endsWith = [&](std::string_view suffix) {
    if (host.size() < suffix.size()) return false;
    for (std::size_t i = 0; i < suffix.size(); ++i)
      if (lower(host[host.size() - suffix.size() + i]) != suffix[i]) return false;
    return true;
  };
  return endsWith("localhost") &&
         (host.size() == std::string_view("localhost").size() || endsWith(".localhost"));
}

std::vector<sockaddr_storage> loopbackAddresses() {
  std::vector<sockaddr_storage> result(2);
  auto* v4 = reinterpret_cast<sockaddr_in*>(&result[0]);
  v4->sin_family = AF_INET;
  v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&result[1]);
  v6->sin6_family = AF_INET6;
  v6->sin6_addr = in6addr_loopback;
  return result;
}

class NetlinkSocket {
 public:
  NetlinkSocket() { fd_ = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE); }
  ~NetlinkSocket() {
    if (fd_ >= 0) close(fd_);
  }
  NetlinkSocket(const NetlinkSocket&) = delete;
  NetlinkSocket& operator=(const NetlinkSocket&) = delete;
  bool isOpen() const { return fd_ >= 0; }

  // Sends one route request and collects the routes of the answer; nothing when the kernel
  // could not be asked. A lookup the kernel refuses (no route) answers no routes.
  std::optional<std::vector<Route>> routes(int family, const void* destination,
                                           std::size_t destinationLength, bool dump) {
    struct {
      nlmsghdr header;
      rtmsg message;
      std::array<char, 64> attributes;
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST | (dump ? NLM_F_DUMP : 0);
    request.header.nlmsg_seq = ++sequence_;
    request.message.rtm_family = static_cast<unsigned char>(family);
    if (destination) {
      auto* attribute = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&request.header) +
                                                  NLMSG_ALIGN(request.header.nlmsg_len));
      attribute->rta_type = RTA_DST;
      attribute->rta_len = static_cast<unsigned short>(RTA_LENGTH(destinationLength));
      std::memcpy(RTA_DATA(attribute), destination, destinationLength);
      request.header.nlmsg_len =
          NLMSG_ALIGN(request.header.nlmsg_len) + RTA_ALIGN(attribute->rta_len);
      request.message.rtm_dst_len = static_cast<unsigned char>(destinationLength * 8);
    }
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(fd_, &request, request.header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof kernel) < 0) {
      return std::nullopt;
    }
    std::vector<Route> result;
    std::vector<char> buffer(32768);
    while (true) {
      const auto received = recv(fd_, buffer.data(), buffer.size(), 0);
      if (received < 0) {
        if (errno == EINTR) continue;
        return std::nullopt;
      }
      auto length = static_cast<unsigned>(received);
      for (auto* header = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(header, length);
           header = NLMSG_NEXT(header, length)) {
        if (header->nlmsg_seq != sequence_) continue;
        if (header->nlmsg_type == NLMSG_DONE) return result;
        if (header->nlmsg_type == NLMSG_ERROR) {
          const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
          if (error->error == 0) return result;
          // No route to the address is an answer; anything else is a failure to ask.
          if (error->error == -ENETUNREACH || error->error == -EHOSTUNREACH ||
              error->error == -EINVAL || error->error == -EACCES) {
            return result;
          }
          return std::nullopt;
        }
        if (header->nlmsg_type != RTM_NEWROUTE) continue;
        result.push_back(parse(header));
        if (!dump) return result;
      }
    }
  }

 private:
  static Route parse(nlmsghdr* header) {
    const auto* message = static_cast<const rtmsg*>(NLMSG_DATA(header));
    Route route;
    route.type = message->rtm_type;
    route.flags = message->rtm_flags;
    route.dstLength = message->rtm_dst_len;
    route.table = message->rtm_table;
    int length = static_cast<int>(RTM_PAYLOAD(header));
    for (auto* attribute = RTM_RTA(message); RTA_OK(attribute, length);
         attribute = RTA_NEXT(attribute, length)) {
      switch (attribute->rta_type) {
        case RTA_OIF:
          std::memcpy(&route.outputInterface, RTA_DATA(attribute), sizeof(int));
          break;
        case RTA_GATEWAY:
        case RTA_VIA:
          route.hasGateway = true;
          break;
        case RTA_TABLE:
          std::memcpy(&route.table, RTA_DATA(attribute), sizeof(std::uint32_t));
          break;
        case RTA_MULTIPATH:
          route.hasGateway = true;  // a route over several next hops goes through gateways
          break;
        default:
          break;
      }
    }
    return route;
  }

  int fd_ = -1;
  std::uint32_t sequence_ = 0;
};

// IFF_* flags of an interface by index, from getifaddrs; nothing when it is unknown.
std::optional<unsigned> interfaceFlags(int index) {
  char name[IF_NAMESIZE] = {};
  if (index <= 0 || !if_indextoname(static_cast<unsigned>(index), name)) return std::nullopt;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return std::nullopt;
  std::optional<unsigned> flags;
  for (auto* entry = list; entry; entry = entry->ifa_next) {
    if (entry->ifa_name && std::strcmp(entry->ifa_name, name) == 0) {
      flags = entry->ifa_flags;
      break;
    }
  }
  freeifaddrs(list);
  return flags;
}

bool carriesTraffic(const Route& route) {
  if (route.flags & RTNH_F_LINKDOWN) return false;
  const auto flags = interfaceFlags(route.outputInterface);
  return flags && (*flags & IFF_UP) && (*flags & IFF_RUNNING);
}

class NetlinkWatch : public ReachabilitySource::Watch {
 public:
  static std::unique_ptr<NetlinkWatch> start(std::function<void()> changed) {
    const int netlink = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (netlink < 0) return nullptr;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE |
                      RTMGRP_IPV6_ROUTE;
    const int stop = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop < 0 || bind(netlink, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      close(netlink);
      if (stop >= 0) close(stop);
      return nullptr;
    }
    return std::unique_ptr<NetlinkWatch>(new NetlinkWatch(netlink, stop, std::move(changed)));
  }

  ~NetlinkWatch() override {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = write(stop_, &one, sizeof one);
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();  // never join oneself; the loop ends after this turn
    } else {
      thread_.join();
      close(netlink_);
      close(stop_);
    }
  }

 private:
  NetlinkWatch(int netlink, int stop, std::function<void()> changed)
      : netlink_(netlink), stop_(stop) {
    thread_ = std::thread([netlink, stop, changed = std::move(changed)] {
      std::vector<char> buffer(65536);
      while (true) {
        pollfd fds[2] = {{netlink, POLLIN, 0}, {stop, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
          if (errno == EINTR) continue;
          return;
        }
        if (fds[1].revents) return;
        // One burst: everything queued now, then one recomputation.
        bool any = false;
        while (recv(netlink, buffer.data(), buffer.size(), 0) > 0 || errno == ENOBUFS) {
          any = true;
        }
        if (any) changed();
      }
    });
  }

  int netlink_;
  int stop_;
  std::thread thread_;
};

class SystemSource : public ReachabilitySource {
 public:
  std::optional<NetworkReachabilityFlags> flagsForAddress(
      const sockaddr_storage& address) override {
    NetlinkSocket socket;
    if (!socket.isOpen()) return std::nullopt;
    std::optional<std::vector<Route>> routes;
    if (address.ss_family == AF_INET) {
      const auto& in = reinterpret_cast<const sockaddr_in&>(address);
      routes = socket.routes(AF_INET, &in.sin_addr, sizeof in.sin_addr, false);
    } else if (address.ss_family == AF_INET6) {
      const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
      routes = socket.routes(AF_INET6, &in6.sin6_addr, sizeof in6.sin6_addr, false);
    } else {
      return 0;
    }
    if (!routes) return std::nullopt;
    if (routes->empty()) return 0;
    const auto& route = routes->front();
    if (route.type != RTN_UNICAST && route.type != RTN_LOCAL) return 0;
    if (!carriesTraffic(route)) return 0;
    NetworkReachabilityFlags flags = rf::reachable;
    if (route.type == RTN_LOCAL) flags |= rf::isLocalAddress | rf::isDirect;
    if (!route.hasGateway) flags |= rf::isDirect;
    return flags;
  }

  std::optional<NetworkReachabilityFlags> generalFlags() override {
    NetlinkSocket socket;
    if (!socket.isOpen()) return std::nullopt;
    bool asked = false;
    std::optional<NetworkReachabilityFlags> best;
    for (const int family : {AF_INET, AF_INET6}) {
      const auto routes = socket.routes(family, nullptr, 0, true);
      if (!routes) continue;
      asked = true;
      for (const auto& route : *routes) {
        if (route.dstLength != 0 || route.type != RTN_UNICAST || route.table != RT_TABLE_MAIN) {
          continue;
        }
        const auto flags = interfaceFlags(route.outputInterface);
        if (!flags || (*flags & IFF_LOOPBACK) || !carriesTraffic(route)) continue;
        const NetworkReachabilityFlags found =
            rf::reachable | (route.hasGateway ? 0 : rf::isDirect);
        if (!best || (found & rf::isDirect)) best = found;
      }
    }
    if (!asked) return std::nullopt;
    return best.value_or(0);
  }

  std::vector<sockaddr_storage> resolve(const std::string& host) override {
    // "localhost" and its subdomains are the loopback addresses whatever the resolver says
    // (a system without /etc/hosts has no answer for them), as libcurl connects to them.
    if (isLocalhostName(host)) return loopbackAddresses();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    std::vector<sockaddr_storage> result;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0) return result;
    for (auto* entry = list; entry; entry = entry->ai_next) {
      if (entry->ai_addrlen > sizeof(sockaddr_storage)) continue;
      sockaddr_storage address{};
      std::memcpy(&address, entry->ai_addr, entry->ai_addrlen);
      result.push_back(address);
    }
    freeaddrinfo(list);
    return result;
  }

  std::unique_ptr<Watch> watchChanges(std::function<void()> changed) override {
    return NetlinkWatch::start(std::move(changed));
  }
};

}  // namespace

std::shared_ptr<ReachabilitySource> ReachabilitySource::system() {
  static const auto source = std::make_shared<SystemSource>();
  return source;
}

}  // namespace platform
