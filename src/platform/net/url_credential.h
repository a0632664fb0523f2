#pragma once

#include <compare>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "platform/net/http_url_response.h"
#include "platform/security/sec_identity.h"
#include "platform/security/sec_trust.h"

namespace platform {

// What answers an authentication challenge: a user name and password, a client identity (its
// certificate, the chain that goes with it and its private key), or the acceptance of a
// server's trust. Its persistence is kept as a value; nothing stores a credential by itself.
class URLCredential {
 public:
  enum class Persistence { none, forSession, permanent, synchronizable };
  enum class Kind { password, identity, serverTrust };

  URLCredential(std::string user, std::string password, Persistence persistence)
      : kind_(Kind::password),
        user_(std::move(user)),
        password_(std::move(password)),
        persistence_(persistence) {}
  URLCredential(SecIdentityPtr identity, std::vector<SecCertificatePtr> certificates,
                Persistence persistence)
      : kind_(Kind::identity),
        persistence_(persistence),
        identity_(std::move(identity)),
        certificates_(std::move(certificates)) {}
  explicit URLCredential(SecTrustPtr trust)
      : kind_(Kind::serverTrust), persistence_(Persistence::forSession), trust_(std::move(trust)) {}

  Kind kind() const { return kind_; }
  const std::string& user() const { return user_; }
  const std::string& password() const { return password_; }
  bool hasPassword() const { return !password_.empty(); }
  Persistence persistence() const { return persistence_; }
  const SecIdentityPtr& identity() const { return identity_; }
  // The certificates sent after the identity's own (its intermediates).
  const std::vector<SecCertificatePtr>& certificates() const { return certificates_; }
  const SecTrustPtr& serverTrust() const { return trust_; }

  bool operator==(const URLCredential&) const = default;

 private:
  Kind kind_;
  std::string user_;
  std::string password_;
  Persistence persistence_;
  SecIdentityPtr identity_;
  std::vector<SecCertificatePtr> certificates_;
  SecTrustPtr trust_;
};

// Where a credential applies: a host, port and protocol, and a realm and scheme for HTTP
// authentication. A server-trust space also carries the trust to decide on, which is not part
// of its identity.
class URLProtectionSpace {
 public:
  URLProtectionSpace(std::string host, int port, std::optional<std::string> protocol,
                     std::optional<std::string> realm, std::string authenticationMethod,
                     SecTrustPtr serverTrust = nullptr)
      : host_(std::move(host)),
        port_(port),
        protocol_(std::move(protocol)),
        realm_(std::move(realm)),
        authenticationMethod_(std::move(authenticationMethod)),
        serverTrust_(std::move(serverTrust)) {}

  // Authentication methods, by their conventional names.
  static constexpr const char* methodDefault = "NSURLAuthenticationMethodDefault";
  static constexpr const char* methodHTTPBasic = "NSURLAuthenticationMethodHTTPBasic";
  static constexpr const char* methodHTTPDigest = "NSURLAuthenticationMethodHTTPDigest";
  static constexpr const char* methodNTLM = "NSURLAuthenticationMethodNTLM";
  static constexpr const char* methodNegotiate = "NSURLAuthenticationMethodNegotiate";
  static constexpr const char* methodServerTrust = "NSURLAuthenticationMethodServerTrust";
  static constexpr const char* methodClientCertificate =
      "NSURLAuthenticationMethodClientCertificate";

  const std::string& host() const { return host_; }
  int port() const { return port_; }
  const std::optional<std::string>& protocol() const { return protocol_; }
  const std::optional<std::string>& realm() const { return realm_; }
  const std::string& authenticationMethod() const { return authenticationMethod_; }
  const SecTrustPtr& serverTrust() const { return serverTrust_; }

  std::strong_ordering operator<=>(const URLProtectionSpace& other) const {
    return key() <=> other.key();
  }
  bool operator==(const URLProtectionSpace& other) const { return key() == other.key(); }

 private:
  using Key = std::tuple<const std::string&, const int&, const std::optional<std::string>&,
                         const std::optional<std::string>&, const std::string&>;
  Key key() const { return std::tie(host_, port_, protocol_, realm_, authenticationMethod_); }
  std::string host_;
  int port_;
  std::optional<std::string> protocol_;
  std::optional<std::string> realm_;
  std::string authenticationMethod_;
  SecTrustPtr serverTrust_;
};

// A server's demand for proof, raised to the delegate: where it applies, what would be sent by
// default, how often this task already failed it, and the answer that raised it.
class URLAuthenticationChallenge {
 public:
  URLAuthenticationChallenge(URLProtectionSpace protectionSpace,
                             std::optional<URLCredential> proposedCredential,
                             int previousFailureCount, URLResponsePtr failureResponse = nullptr,
                             ErrorPtr error = nullptr);

  const URLProtectionSpace& protectionSpace() const { return protectionSpace_; }
  const std::optional<URLCredential>& proposedCredential() const { return proposedCredential_; }
  int previousFailureCount() const { return previousFailureCount_; }
  const URLResponsePtr& failureResponse() const { return failureResponse_; }
  const ErrorPtr& error() const { return error_; }

 private:
  URLProtectionSpace protectionSpace_;
  std::optional<URLCredential> proposedCredential_;
  int previousFailureCount_;
  URLResponsePtr failureResponse_;
  ErrorPtr error_;
};

// Default credentials per protection space, shared by the sessions that name it. Thread-safe.
class URLCredentialStorage {
 public:
  static std::shared_ptr<URLCredentialStorage> shared();

  std::optional<URLCredential> defaultCredential(const URLProtectionSpace& space) const;
  // Also enters the credential among the space's credentials.
  void setDefaultCredential(const URLCredential& credential, const URLProtectionSpace& space);

  // The credentials stored for `space` by user name; absent when none was ever stored there.
  std::optional<std::map<std::string, URLCredential>> credentials(
      const URLProtectionSpace& space) const;
  // Stores `credential` for `space`, replacing one of the same user.
  void setCredential(const URLCredential& credential, const URLProtectionSpace& space);

 private:
  mutable std::mutex mutex_;
  std::map<URLProtectionSpace, URLCredential> defaults_;
  std::map<URLProtectionSpace, std::map<std::string, URLCredential>> credentials_;
};

}  // namespace platform
