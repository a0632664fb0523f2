#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The loopback address in host byte order.
inline constexpr std::uint32_t kTLLoopbackIPv4 = 0x7f000001;

// The address of a channel's peer on an IPv4 connection.
class TLAddress {
 public:
  TLAddress(std::uint32_t ipv4Address, std::uint16_t port) : address_(ipv4Address), port_(port) {}

  std::uint32_t ipv4Address() const { return address_; }  // host byte order
  std::uint16_t port() const { return port_; }
  std::string name() const;         // dotted quad, "127.0.0.1"
  std::string description() const;  // "127.0.0.1:2345"

  bool operator==(const TLAddress&) const = default;

 private:
  std::uint32_t address_;
  std::uint16_t port_;
};

}  // namespace platform
