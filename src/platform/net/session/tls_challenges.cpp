#include "platform/net/session/tls_challenges.h"

#include <openssl/async.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <utility>

#include "platform/foundation/process_info.h"
#include "platform/net/http_text.h"
#include "platform/net/session/transfer.h"
#include "platform/net/session/transfer_engine.h"
#include "platform/net/session/transfer_timers.h"
#include "platform/net/tls_challenge.h"
#include "platform/net/url_error.h"

namespace platform::net_detail {

// ---- TLS authentication -------------------------------------------------------------------

// Handshakes that wait for the delegate run inside OpenSSL's asynchronous jobs, which libcurl
// resumes on its next turn: the verify callback pauses its job instead of holding the I/O
// thread, so the session's other transfers keep moving. (libcurl 7.88 does not honour
// OpenSSL's retry-verify, so that simpler road is closed.) ThreadSanitizer cannot follow the
// job's stack switches; that build waits on the I/O thread instead.
#if defined(__SANITIZE_THREAD__)
constexpr bool kPauseHandshakes = false;
#else
constexpr bool kPauseHandshakes = true;
#endif

namespace {

int transferIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

int verifyCallback(X509_STORE_CTX* context, void* data) {
  auto* transfer = static_cast<Transfer*>(data);
  return transfer->tlsChallenges->verifyPeer(*transfer, context);
}

int clientCertificateCallback(SSL* ssl, X509** certificate, EVP_PKEY** key) {
  auto* transfer =
      static_cast<Transfer*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), transferIndex()));
  if (transfer == nullptr) return 0;
  return transfer->tlsChallenges->provideClientCertificate(*transfer, ssl, certificate, key);
}

// Only the handshake needs a job; reads and writes after it run plainly.
void handshakeInfoCallback(const SSL* ssl, int where, int) {
  if ((where & SSL_CB_HANDSHAKE_DONE) != 0) SSL_clear_mode(const_cast<SSL*>(ssl), SSL_MODE_ASYNC);
}

// libcurl makes a context for every new connection, for the easy handle that opens it.
CURLcode sslContextCallback(CURL*, void* sslContext, void* data) {
  auto* context = static_cast<SSL_CTX*>(sslContext);
  SSL_CTX_set_ex_data(context, transferIndex(), data);
  SSL_CTX_set_cert_verify_callback(context, &verifyCallback, data);
  SSL_CTX_set_client_cert_cb(context, &clientCertificateCallback);
  SSL_CTX_set_tlsext_status_type(context, TLSEXT_STATUSTYPE_ocsp);
  // A write that would block must be offered again with the same bytes; OpenSSL also wants
  // them at the same address unless told otherwise. A web socket's framer masks each piece
  // anew into a buffer on its stack, whose address depends on which call resumes the write
  // (a turn of the loop, or the caller's next send): the bytes are the same, the address not.
  SSL_CTX_set_mode(context, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (kPauseHandshakes) {
    SSL_CTX_set_mode(context, SSL_MODE_ASYNC);
    SSL_CTX_set_info_callback(context, &handshakeInfoCallback);
  }
  return CURLE_OK;
}

}  // namespace

// The verify callback decides every new connection (the delegate, or the default evaluation);
// libcurl must keep honouring its answer, and must not check the host itself, nor resume
// sessions that would skip the callback. The callback evaluates against the security layer's
// anchors, read once, so libcurl need not load a CA bundle of its own for every connection.
void setTrustOptions(CURL* easy, Transfer& transfer) {
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(easy, CURLOPT_SSL_SESSIONID_CACHE, 0L);
  curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
  curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
  curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &sslContextCallback);
  curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, &transfer);
}

TlsChallenges::Origin TlsChallenges::originOf(Transfer& transfer) {
  char* effective = nullptr;
  curl_easy_getinfo(transfer.easy, CURLINFO_EFFECTIVE_URL, &effective);
  std::optional<URL> url = effective ? URL::fromString(effective) : std::nullopt;
  if (!url) url = engine_.currentURL(transfer);
  Origin origin{"", 443};
  if (url) {
    // Names are compared as DNS compares them, so a host spelled in capitals meets the same
    // rules as in lower case.
    origin.host = http_text::lowercase(url->host().value_or(""));
    origin.port = url->port().value_or(443);
  }
  return origin;
}

void TlsChallenges::endAll() {
  std::set<std::shared_ptr<ChallengeWait>> waits;
  {
    std::lock_guard lock(mutex_);
    ended_ = true;
    waits = waiting_;
  }
  for (const auto& wait : waits)
    wait->end(URLError::Code::cancelled);
}

std::shared_ptr<ChallengeWait> TlsChallenges::makeWait() {
  // The decision is read by the paused handshake when libcurl resumes it: the loop looks again.
  return std::make_shared<ChallengeWait>(engine_.waker());
}

bool TlsChallenges::await(Transfer& transfer, const std::shared_ptr<ChallengeWait>& wait,
                          URLSessionDelegate::ChallengePtr challenge) {
  auto delegate = engine_.delegate();
  auto session = engine_.sessionOf(transfer);
  if (!delegate || !session) return false;
  {
    std::lock_guard lock(mutex_);
    if (ended_) {
      wait->end(URLError::Code::cancelled);
      return true;
    }
    waiting_.insert(wait);
  }
  transfer.tls.challengeWait = wait;
  bool cancelling = false;
  {
    std::lock_guard lock(transfer.shared->mutex);
    transfer.shared->challengeWait = wait;
    cancelling = transfer.shared->state == URLSessionTask::State::canceling;
  }
  if (cancelling) wait->end(URLError::Code::cancelled);

  // Dropped unanswered, the handler cancels.
  struct Answer {
    std::shared_ptr<ChallengeWait> wait;
    ~Answer() {
      if (wait)
        wait->answer(URLSessionDelegate::AuthChallengeDisposition::cancelAuthenticationChallenge,
                     std::nullopt);
    }
  };
  auto answer = std::make_shared<Answer>();
  answer->wait = wait;
  auto task = transfer.task;
  engine_.deliverCall(
      [task, challenge, answer](URLSessionDelegate& delegate,
                                const std::shared_ptr<URLSession>& session) mutable {
        URLSessionDelegate::ChallengeHandler handler =
            [answer](URLSessionDelegate::AuthChallengeDisposition disposition,
                     std::optional<URLCredential> credential) {
              answer->wait->answer(disposition, std::move(credential));
            };
        answer.reset();  // from here only the handler holds the answer
        delegate.didReceiveChallenge(session, task, challenge, std::move(handler));
      },
      session);
  answer.reset();
  engine_.flushDeliveries();  // the answer is waited for below, within this turn

  const double idle = engine_.timers().idleLimit(transfer);
  double deadline = systemUptime() + (idle > 0 ? idle : 365 * 24 * 3600.0);
  const double resourceLimit = engine_.configuration().timeoutIntervalForResource;
  if (resourceLimit > 0) deadline = std::min(deadline, transfer.startUptime + resourceLimit);
  if (kPauseHandshakes && ASYNC_get_current_job() != nullptr) {
    while (!wait->decided()) {
      if (systemUptime() >= deadline) {
        wait->end(URLError::Code::timedOut);
        break;
      }
      ASYNC_pause_job();
    }
  } else if (!wait->waitUntil(deadline)) {
    wait->end(URLError::Code::timedOut);
  }

  transfer.tls.challengeWait.reset();
  {
    std::lock_guard lock(transfer.shared->mutex);
    transfer.shared->challengeWait.reset();
  }
  {
    std::lock_guard lock(mutex_);
    waiting_.erase(wait);
  }
  if (transfer.lastActivityUptime > 0) engine_.timers().touch(transfer);
  return true;
}

int TlsChallenges::verifyPeer(Transfer& transfer, X509_STORE_CTX* context) {
  const auto presented = presentedCertificates(context);
  const Origin origin = originOf(transfer);
  auto refuse = [&](URLError::Code code, int verifyCode) {
    transfer.tls.handshakeFailure = code;
    X509_STORE_CTX_set_error(context, verifyCode);
    return 0;
  };
  auto evaluateByDefault = [&] {
    if (auto failure = defaultEvaluation(presented, origin.host)) {
      return refuse(codeForVerification(*failure), *failure);
    }
    X509_STORE_CTX_set_error(context, X509_V_OK);
    return 1;
  };
  auto trust = SecTrust::create(presented, {SecPolicy::createSSL(true, origin.host)});
  if (!trust) return refuse(URLError::Code::serverCertificateUntrusted, X509_V_ERR_UNSPECIFIED);
  auto* ssl =
      static_cast<SSL*>(X509_STORE_CTX_get_ex_data(context, SSL_get_ex_data_X509_STORE_CTX_idx()));
  if (ssl != nullptr) {
    const unsigned char* staple = nullptr;
    const long length = SSL_get_tlsext_status_ocsp_resp(ssl, &staple);
    if (length > 0 && staple != nullptr)
      trust->setStapledOCSPResponse(Bytes(staple, staple + length));
  }
  auto wait = makeWait();
  auto challenge = std::make_shared<const URLAuthenticationChallenge>(
      URLProtectionSpace(origin.host, origin.port, "https", std::nullopt,
                         URLProtectionSpace::methodServerTrust, trust),
      std::nullopt, 0);
  if (!await(transfer, wait, challenge)) return evaluateByDefault();
  if (auto reason = wait->endReason()) return refuse(*reason, X509_V_ERR_APPLICATION_VERIFICATION);
  using Disposition = URLSessionDelegate::AuthChallengeDisposition;
  switch (wait->disposition()) {
    case Disposition::useCredential:
      if (wait->credential() && wait->credential()->kind() == URLCredential::Kind::serverTrust) {
        X509_STORE_CTX_set_error(context, X509_V_OK);
        return 1;
      }
      return evaluateByDefault();  // a credential of another kind counts as none
    case Disposition::cancelAuthenticationChallenge:
      return refuse(URLError::Code::cancelled, X509_V_ERR_APPLICATION_VERIFICATION);
    case Disposition::performDefaultHandling:
    case Disposition::rejectProtectionSpace:
      break;
  }
  return evaluateByDefault();
}

int TlsChallenges::provideClientCertificate(Transfer& transfer, SSL* ssl, X509** certificate,
                                            EVP_PKEY** key) {
  moveTo(transfer, TransferEvent::certificateAsked);
  const Origin origin = originOf(transfer);
  auto wait = makeWait();
  auto challenge = std::make_shared<const URLAuthenticationChallenge>(
      URLProtectionSpace(origin.host, origin.port, "https", std::nullopt,
                         URLProtectionSpace::methodClientCertificate),
      std::nullopt, 0);
  if (!await(transfer, wait, challenge)) return 0;
  using Disposition = URLSessionDelegate::AuthChallengeDisposition;
  std::optional<URLError::Code> end = wait->endReason();
  if (!end && wait->disposition() == Disposition::cancelAuthenticationChallenge) {
    end = URLError::Code::cancelled;
  }
  if (end) {
    // The handshake goes on without a certificate; the task ends as soon as it is back.
    transfer.tls.handshakeFailure = end;
    engine_.cancelLater(transfer.task->taskIdentifier());
    return 0;
  }
  const auto& credential = wait->credential();
  if (wait->disposition() != Disposition::useCredential || !credential ||
      credential->kind() != URLCredential::Kind::identity || !credential->identity()) {
    return 0;  // default handling, rejection or a credential of another kind: none is sent
  }
  for (const auto& extra : credential->certificates()) {
    if (extra) SSL_add1_chain_cert(ssl, extra->x509());
  }
  X509* own = credential->identity()->certificate()->x509();
  EVP_PKEY* privateKey = credential->identity()->privateKey();
  if (X509_up_ref(own) != 1) return 0;
  if (EVP_PKEY_up_ref(privateKey) != 1) {
    X509_free(own);
    return 0;
  }
  *certificate = own;
  *key = privateKey;
  moveTo(transfer, TransferEvent::certificateSent);
  return 1;
}

}  // namespace platform::net_detail
