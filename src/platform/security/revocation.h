#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

typedef struct x509_st X509;

namespace platform {

// Forgets every CRL held in memory (they are otherwise kept until their next update).
void removeCachedRevocationLists();

namespace security_detail {

struct RevocationFailure {
  int verifyCode;
  std::string reason;
  int depth;
};

// Checks every certificate of a verified chain (leaf first, anchor last) but the anchor,
// under the revocation flags of SecPolicy. Each certificate's status is taken from the first
// method that gives a definite answer: OCSP (a stapled response for the leaf, else the
// responder named in its authority information) and CRL (its distribution points), CRL first
// with the "prefer CRL" bit. "Revoked" always fails; an undetermined status fails only with
// "require positive response".
//
// Fetches use a private libcurl handle on the calling thread: http URLs only, five seconds for
// the whole check, bounded bodies (1 MiB for OCSP, 16 MiB for a CRL), no cookies, no proxy.
// Responses are verified (signature by the issuer or a responder it delegated to, validity
// window); CRLs by signature, issuer and dates, and are kept in memory until their next update.
std::optional<RevocationFailure> checkRevocation(const std::vector<X509*>& chain,
                                                 std::uint32_t flags,
                                                 const std::vector<std::uint8_t>* stapledLeaf);

}  // namespace security_detail
}  // namespace platform
