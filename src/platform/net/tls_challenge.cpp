#include "platform/net/tls_challenge.h"

#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <chrono>

#include "platform/foundation/process_info.h"

namespace platform::net_detail {

void ChallengeWait::decide(const std::function<void()>& set) {
  {
    std::lock_guard lock(mutex_);
    if (decided_) return;
    set();
    decided_ = true;
  }
  changed_.notify_all();
  if (wake_) wake_();
}

void ChallengeWait::answer(Disposition disposition, std::optional<URLCredential> credential) {
  decide([&] {
    disposition_ = disposition;
    credential_ = std::move(credential);
  });
}

void ChallengeWait::end(URLError::Code reason) {
  decide([&] { endReason_ = reason; });
}

bool ChallengeWait::decided() const {
  std::lock_guard lock(mutex_);
  return decided_;
}

bool ChallengeWait::waitUntil(double deadlineUptime) {
  std::unique_lock lock(mutex_);
  while (!decided_) {
    const double left = deadlineUptime - systemUptime();
    if (left <= 0) return false;
    changed_.wait_for(lock, std::chrono::duration<double>(std::min(left, 1.0)));
  }
  return true;
}

std::optional<URLError::Code> ChallengeWait::endReason() const {
  std::lock_guard lock(mutex_);
  return endReason_;
}

ChallengeWait::Disposition ChallengeWait::disposition() const {
  std::lock_guard lock(mutex_);
  return disposition_;
}

const std::optional<URLCredential>& ChallengeWait::credential() const {
  std::lock_guard lock(mutex_);
  return credential_;
}

std::vector<SecCertificatePtr> presentedCertificates(X509_STORE_CTX* context) {
  std::vector<SecCertificatePtr> certificates;
  X509* leaf = X509_STORE_CTX_get0_cert(context);
  if (leaf == nullptr) return certificates;
  if (auto c = SecCertificate::fromX509(leaf)) certificates.push_back(std::move(c));
  STACK_OF(X509)* sent = X509_STORE_CTX_get0_untrusted(context);
  for (int i = 0; i < sk_X509_num(sent); ++i) {
    X509* c = sk_X509_value(sent, i);
    if (X509_cmp(c, leaf) == 0) continue;
    if (auto wrapped = SecCertificate::fromX509(c)) certificates.push_back(std::move(wrapped));
  }
  return certificates;
}

std::optional<int> defaultEvaluation(const std::vector<SecCertificatePtr>& presented,
                                     const std::string& host) {
  auto trust = SecTrust::create(presented, {SecPolicy::createSSL(true, host)});
  if (!trust) return X509_V_ERR_UNSPECIFIED;
  ErrorPtr error;
  if (trust->evaluateWithError(&error)) return std::nullopt;
  if (auto* failure = dynamic_cast<const SecTrustError*>(error.get())) {
    return failure->verifyCode();
  }
  return X509_V_ERR_UNSPECIFIED;
}

URLError::Code codeForVerification(int verifyCode) {
  switch (verifyCode) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return URLError::Code::serverCertificateHasBadDate;
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return URLError::Code::serverCertificateNotYetValid;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      return URLError::Code::serverCertificateHasUnknownRoot;
    default:
      return URLError::Code::serverCertificateUntrusted;
  }
}

}  // namespace platform::net_detail
