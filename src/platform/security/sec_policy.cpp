#include "platform/security/sec_policy.h"

namespace platform {

SecPolicyPtr SecPolicy::createBasicX509() {
  return SecPolicyPtr(new SecPolicy(Kind::basicX509, false, std::nullopt, 0));
}

SecPolicyPtr SecPolicy::createSSL(bool server, std::optional<std::string> host) {
  return SecPolicyPtr(new SecPolicy(Kind::ssl, server, std::move(host), 0));
}

SecPolicyPtr SecPolicy::createRevocation(std::uint32_t flags) {
  if ((flags & ~revocationDefinedBits) != 0) return nullptr;
  return SecPolicyPtr(new SecPolicy(Kind::revocation, false, std::nullopt, flags));
}

}  // namespace platform
