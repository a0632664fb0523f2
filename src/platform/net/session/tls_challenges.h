#pragma once

#include <curl/curl.h>
#include <openssl/ssl.h>

#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "platform/net/url_session.h"

namespace platform::net_detail {

class ChallengeWait;
class TransferEngine;
struct Transfer;

// The TLS authentication of a loop's connections, inside their handshakes: the server's trust
// and the client's certificate, each put to the delegate as a challenge, and the handshakes
// that wait for its answer. I/O thread only, except `endAll`.
class TlsChallenges {
 public:
  explicit TlsChallenges(TransferEngine& engine) : engine_(engine) {}

  // The verify callback's and the client-certificate callback's work, for `transfer`'s
  // handshake.
  int verifyPeer(Transfer& transfer, X509_STORE_CTX* context);
  int provideClientCertificate(Transfer& transfer, SSL* ssl, X509** certificate, EVP_PKEY** key);

  // Ends every wait of a handshake, and every wait from now on (the session is stopping). Any
  // thread.
  void endAll();

 private:
  struct Origin {
    std::string host;
    int port;
  };
  Origin originOf(Transfer& transfer);
  // Raises `challenge` to the delegate and waits for the decision. False when there is no
  // delegate to ask.
  bool await(Transfer& transfer, const std::shared_ptr<ChallengeWait>& wait,
             URLSessionDelegate::ChallengePtr challenge);
  std::shared_ptr<ChallengeWait> makeWait();

  TransferEngine& engine_;
  std::mutex mutex_;
  bool ended_ = false;                                // guarded by mutex_
  std::set<std::shared_ptr<ChallengeWait>> waiting_;  // guarded by mutex_: handshakes waiting
};

// The TLS options of every request of `transfer` on `easy`: the verify callback decides every
// new connection, through the transfer's loop's `TlsChallenges`.
void setTrustOptions(CURL* easy, Transfer& transfer);

}  // namespace platform::net_detail
