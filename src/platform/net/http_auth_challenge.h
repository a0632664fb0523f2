#pragma once

// HTTP authentication as a URL session answers a 401: the challenges of "WWW-Authenticate"
// (RFC 7235), the protection space and failure count of each, and what the delegate's answer
// makes of the transfer. Basic, NTLM and Negotiate are sent by libcurl; Digest is answered
// here (RFC 7616), because libcurl would first send the request again without credentials to
// learn a challenge this layer already holds.
//
// The parsing and the Digest computation are our own: the few dozen lines of RFC 7235 grammar
// and RFC 7616 arithmetic are smaller than any library that offers them, and the hashing itself
// is OpenSSL's.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/net/url.h"
#include "platform/net/url_credential.h"
#include "platform/net/url_session.h"

typedef void CURL;
struct curl_slist;

namespace platform::net_detail {

// One challenge of a "WWW-Authenticate" field: its scheme, and either a token (NTLM and
// Negotiate carry their handshake that way) or parameters.
struct AuthOffer {
  std::string scheme;                             // lower case
  std::string token68;                            // empty unless the challenge is a token
  std::map<std::string, std::string> parameters;  // names in lower case, values unquoted

  std::optional<std::string> parameter(const std::string& name) const;
};

// Every challenge of the given field values, in order: several may share one field, several
// fields may follow each other. Parsing a field stops at the first piece that breaks the
// grammar; the challenges before it are kept.
std::vector<AuthOffer> parseAuthenticateFields(const std::vector<std::string>& values);

// The schemes this layer answers, in the order it prefers them.
enum class AuthScheme { digest, basic, ntlm, negotiate };
std::optional<AuthScheme> authSchemeOf(const AuthOffer& offer);
const char* authenticationMethodFor(AuthScheme scheme);

// What a Digest answer is computed from besides the challenge.
struct DigestInput {
  std::string user;
  std::string password;
  std::string method;  // "GET", …
  std::string uri;     // the request target as sent: path and query
  std::string cnonce;
  std::uint32_t nonceCount = 1;
};

// Whether a Digest challenge can be answered: it names a nonce, an algorithm of MD5 or
// SHA-256 (either with "-sess"), and, when it names qualities of protection, "auth" among
// them.
bool canAnswerDigest(const AuthOffer& offer);
// The "Authorization" value answering a Digest challenge; nothing when it cannot be answered.
std::optional<std::string> digestAuthorization(const AuthOffer& offer, const DigestInput& input);

// The HTTP authentication of one task: the challenges of its last 401, the failures per
// protection space, and the credential its next request carries. I/O thread only.
class HTTPAuthentication {
 public:
  using Disposition = URLSessionDelegate::AuthChallengeDisposition;
  using ChallengePtr = std::shared_ptr<const URLAuthenticationChallenge>;

  enum class Step {
    deliver,    // the 401 is the task's response
    challenge,  // raise `challenge()` to the delegate
    replay,     // send the request again with `applyTo`
    cancel,     // the task fails as cancelled
    ignore,     // libcurl's own handshake (NTLM, Negotiate): wait for the transfer's end
  };

  // A 401 arrived for `url` with these "WWW-Authenticate" values.
  Step unauthorized(const URL& url, const std::vector<std::string>& fields, URLResponsePtr response,
                    const std::shared_ptr<URLCredentialStorage>& storage);
  // The delegate's answer to `challenge()` (default handling when there is no delegate).
  Step answer(Disposition disposition, const std::optional<URLCredential>& credential);

  // The challenge to raise after `challenge` came back.
  const ChallengePtr& challenge() const { return challenge_; }

  // Sets the credential of a `replay` step on `easy`; a Digest answer is appended to
  // `headers`. `method` and `url` are those of the request that goes out again.
  void applyTo(CURL* easy, curl_slist*& headers, const std::string& method, const URL& url);
  // The next request goes elsewhere (a redirect): no credential goes along.
  void forget(CURL* easy);
  // A `replay` step waits for the request to go out again.
  bool replaying() const { return pending_.has_value(); }
  // A 401 of libcurl's own handshake (NTLM, Negotiate): its body belongs to nobody, and it is
  // judged only when the transfer ends with it (`deferred`, then `settle`).
  bool discardingBody() const { return discardingBody_; }
  bool deferred() const { return deferred_; }
  Step settle();
  void headStarted() {
    discardingBody_ = false;
    deferred_ = false;
  }

 private:
  struct Pending {
    AuthOffer offer;
    AuthScheme scheme;
    URLProtectionSpace space;
    URLCredential credential;
  };
  Step evaluate();
  Step raise();
  Step replayWith(const URLCredential& credential);
  std::optional<URLCredential> defaultCredential(const URLProtectionSpace& space) const;

  std::vector<std::pair<AuthScheme, AuthOffer>> offers_;  // of the last 401, preferred first
  std::size_t current_ = 0;
  std::optional<URL> url_;
  std::vector<std::string> fields_;
  URLResponsePtr response_;
  std::shared_ptr<URLCredentialStorage> storage_;
  ChallengePtr challenge_;
  std::map<URLProtectionSpace, int> failures_;
  std::optional<Pending> pending_;  // to send with the next request
  std::optional<Pending> inUse_;    // sent with the request in flight
  std::map<std::string, std::uint32_t> nonceCounts_;
  // Credentials refused under a challenge-response scheme (Digest, NTLM, Negotiate).
  std::vector<URLCredential> refusedSecrets_;
  // Requests sent again with a credential; past the bound a 401 is delivered as it is.
  static constexpr int kMaximumReplays = 16;
  int replays_ = 0;
  bool discardingBody_ = false;
  bool deferred_ = false;
};

}  // namespace platform::net_detail
