#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/security/sec_certificate.h"
#include "platform/security/sec_key.h"
#include "platform/security/sec_policy.h"

namespace platform {

using OSStatus = std::int32_t;
inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecParam = -50;

// The outcome of the last evaluation, by the platform's numbers.
enum class SecTrustResultType : std::uint32_t {
  invalid = 0,
  proceed = 1,
  deny = 3,
  unspecified = 4,
  recoverableTrustFailure = 5,
  fatalTrustFailure = 6,
  otherError = 7,
};

// Why an evaluation refused a chain: OpenSSL's verification code and text, the depth of the
// certificate at fault (0 = leaf) and its subject.
class SecTrustError : public Error {
 public:
  SecTrustError(int verifyCode, std::string reason, int depth, std::string subject)
      : verifyCode_(verifyCode),
        reason_(std::move(reason)),
        depth_(depth),
        subject_(std::move(subject)) {}

  int verifyCode() const { return verifyCode_; }
  const std::string& reason() const { return reason_; }
  int depth() const { return depth_; }
  const std::string& subject() const { return subject_; }

  std::string localizedDescription() const override;
  std::string debugDescription() const override;

 private:
  int verifyCode_;
  std::string reason_;
  int depth_;
  std::string subject_;
};

// Whether a server's (or client's) certificates lead to a trusted anchor under a list of
// policies.
//
// Evaluation rules:
//  1. Every evaluation builds and verifies the path from the leaf to an anchor, validity
//     dates included; the basic X.509 checks are always in force. An SSL policy adds the TLS
//     purpose and, with a host, the host check (no partial wildcards; an address literal is
//     compared as an address). A revocation policy adds revocation checking (rule 4). So a
//     revocation-only evaluation still refuses a chain that leads to no anchor.
//  2. Anchors are the system's unless set: OpenSSL's default file and folder (which honour
//     SSL_CERT_FILE and SSL_CERT_DIR), read once per process and kept. Anchors set on a trust
//     add to those; with `setAnchorCertificatesOnly(true)` only the set ones count. Any anchor
//     ends a path, whether self-signed or not.
//  3. `certificateChain` answers the chain the last successful evaluation built, leaf first,
//     up to the anchor. Otherwise it answers the leaf followed by each presented certificate
//     that really signed its predecessor (issuer name matches and the signature verifies),
//     stopping at the first that did not. A certificate merely sent along never appears, so
//     pinning against this chain cannot be satisfied by attaching a public CA certificate.
//  4. Revocation covers every certificate of the built chain but the anchor, by OCSP (a
//     stapled response for the leaf when one is held, else the responder named by the
//     certificate) and by CRL (the certificate's distribution points). See revocation.h.
//
// One evaluation runs at a time; a trust belongs to one challenge.
class SecTrust {
 public:
  // None when `certificates` is empty or holds a null.
  static std::shared_ptr<SecTrust> create(std::vector<SecCertificatePtr> certificates,
                                          std::vector<SecPolicyPtr> policies);

  // errSecParam (-50) for an empty list or a null policy; the old list stays.
  OSStatus setPolicies(std::vector<SecPolicyPtr> policies);
  std::vector<SecPolicyPtr> policies() const;
  OSStatus setAnchorCertificates(std::vector<SecCertificatePtr> anchors);
  OSStatus setAnchorCertificatesOnly(bool only);
  // A DER OCSP response for the leaf that came with the handshake.
  void setStapledOCSPResponse(std::vector<std::uint8_t> response);

  // True when the chain is trusted; otherwise false, with a `SecTrustError` in `error` when
  // one is asked for.
  bool evaluateWithError(ErrorPtr* error = nullptr);
  SecTrustResultType result() const;
  // See rule 3.
  std::vector<SecCertificatePtr> certificateChain() const;
  // The certificates as the peer presented them, leaf first.
  const std::vector<SecCertificatePtr>& presentedCertificates() const { return presented_; }
  // The leaf's public key.
  SecKeyPtr copyKey() const;

 private:
  SecTrust(std::vector<SecCertificatePtr> certificates, std::vector<SecPolicyPtr> policies);
  std::vector<SecCertificatePtr> signedPrefix() const;

  const std::vector<SecCertificatePtr> presented_;
  mutable std::mutex mutex_;
  std::vector<SecPolicyPtr> policies_;
  std::vector<SecCertificatePtr> anchors_;
  bool anchorsOnly_ = false;
  std::optional<std::vector<std::uint8_t>> stapledResponse_;
  SecTrustResultType result_ = SecTrustResultType::invalid;
  std::vector<SecCertificatePtr> builtChain_;
  // Serialises evaluations without holding `mutex_` while the network is asked.
  std::mutex evaluationMutex_;
};

using SecTrustPtr = std::shared_ptr<SecTrust>;

}  // namespace platform
