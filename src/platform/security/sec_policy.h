#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace platform {

class SecPolicy;
using SecPolicyPtr = std::shared_ptr<const SecPolicy>;

// What a trust evaluation checks besides the path to an anchor, which every evaluation checks.
class SecPolicy {
 public:
  enum class Kind { basicX509, ssl, revocation };

  // Revocation flags: the bits of the word `createRevocation` takes.
  static constexpr std::uint32_t revocationOCSPMethod = 1;
  static constexpr std::uint32_t revocationCRLMethod = 2;
  static constexpr std::uint32_t revocationPreferCRL = 4;
  static constexpr std::uint32_t revocationRequirePositiveResponse = 8;
  static constexpr std::uint32_t revocationNetworkAccessDisabled = 16;
  static constexpr std::uint32_t revocationDefinedBits = 0x1F;

  static SecPolicyPtr createBasicX509();
  // A TLS policy: `server` checks the server purpose (else the client purpose), and a host
  // name or address literal, when given, must be named by the leaf.
  static SecPolicyPtr createSSL(bool server, std::optional<std::string> host);
  // None when `flags` holds a bit outside the defined ones. Neither method bit means either
  // method.
  static SecPolicyPtr createRevocation(std::uint32_t flags);

  Kind kind() const { return kind_; }
  bool server() const { return server_; }
  const std::optional<std::string>& host() const { return host_; }
  std::uint32_t revocationFlags() const { return flags_; }

 private:
  SecPolicy(Kind kind, bool server, std::optional<std::string> host, std::uint32_t flags)
      : kind_(kind), server_(server), host_(std::move(host)), flags_(flags) {}
  Kind kind_;
  bool server_;
  std::optional<std::string> host_;
  std::uint32_t flags_;
};

}  // namespace platform
