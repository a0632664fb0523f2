#pragma once

// The pieces of TLS authentication the URL session shares between its I/O thread and the
// delegate queue: the wait for a challenge's answer, the trust a handshake presents, and how a
// refused chain maps onto URL errors.

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/net/url_credential.h"
#include "platform/net/url_error.h"
#include "platform/net/url_session.h"

typedef struct x509_store_ctx_st X509_STORE_CTX;

namespace platform::net_detail {

// One challenge waiting for its answer. The answer comes from the delegate (any thread, once),
// or the wait ends without one: the task was cancelled, the session ended, the request timed
// out. Whatever comes first wins; later calls do nothing.
class ChallengeWait {
 public:
  using Disposition = URLSessionDelegate::AuthChallengeDisposition;

  // `wake` runs (outside the lock) once the wait is decided, so the waiting side looks again.
  explicit ChallengeWait(std::function<void()> wake) : wake_(std::move(wake)) {}

  void answer(Disposition disposition, std::optional<URLCredential> credential);
  void end(URLError::Code reason);

  bool decided() const;
  // Blocks until decided or `deadlineUptime` (system uptime) passes; false on the deadline.
  bool waitUntil(double deadlineUptime);

  // Valid once decided.
  std::optional<URLError::Code> endReason() const;
  Disposition disposition() const;
  const std::optional<URLCredential>& credential() const;

 private:
  void decide(const std::function<void()>& set);
  std::function<void()> wake_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool decided_ = false;
  std::optional<URLError::Code> endReason_;
  Disposition disposition_ = Disposition::cancelAuthenticationChallenge;
  std::optional<URLCredential> credential_;
};

// The certificates a peer presented, leaf first, from the verification context of a handshake.
std::vector<SecCertificatePtr> presentedCertificates(X509_STORE_CTX* context);

// Evaluates the chain afresh against the system's anchors and the host, whatever was done to
// any trust before. No value when trusted, else OpenSSL's verification code.
std::optional<int> defaultEvaluation(const std::vector<SecCertificatePtr>& presented,
                                     const std::string& host);

// The URL error of a chain the default evaluation refused.
URLError::Code codeForVerification(int verifyCode);

}  // namespace platform::net_detail
