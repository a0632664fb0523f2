#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>

namespace platform {

// A user name and password for a server.
class URLCredential {
 public:
  enum class Persistence { none, forSession, permanent, synchronizable };

  URLCredential(std::string user, std::string password, Persistence persistence)
      : user_(std::move(user)), password_(std::move(password)), persistence_(persistence) {}

  const std::string& user() const { return user_; }
  const std::string& password() const { return password_; }
  bool hasPassword() const { return !password_.empty(); }
  Persistence persistence() const { return persistence_; }

  bool operator==(const URLCredential&) const = default;

 private:
  std::string user_;
  std::string password_;
  Persistence persistence_;
};

// Where a credential applies: a host, port and protocol, and a realm and scheme for HTTP
// authentication.
class URLProtectionSpace {
 public:
  URLProtectionSpace(std::string host, int port, std::optional<std::string> protocol,
                     std::optional<std::string> realm, std::string authenticationMethod)
      : host_(std::move(host)),
        port_(port),
        protocol_(std::move(protocol)),
        realm_(std::move(realm)),
        authenticationMethod_(std::move(authenticationMethod)) {}

  // Authentication methods, by their conventional names.
  static constexpr const char* methodDefault = "NSURLAuthenticationMethodDefault";
  static constexpr const char* methodHTTPBasic = "NSURLAuthenticationMethodHTTPBasic";
  static constexpr const char* methodHTTPDigest = "NSURLAuthenticationMethodHTTPDigest";
  static constexpr const char* methodServerTrust = "NSURLAuthenticationMethodServerTrust";
  static constexpr const char* methodClientCertificate =
      "NSURLAuthenticationMethodClientCertificate";

  const std::string& host() const { return host_; }
  int port() const { return port_; }
  const std::optional<std::string>& protocol() const { return protocol_; }
  const std::optional<std::string>& realm() const { return realm_; }
  const std::string& authenticationMethod() const { return authenticationMethod_; }

  auto operator<=>(const URLProtectionSpace&) const = default;
  bool operator==(const URLProtectionSpace&) const = default;

 private:
  std::string host_;
  int port_;
  std::optional<std::string> protocol_;
  std::optional<std::string> realm_;
  std::string authenticationMethod_;
};

// Default credentials per protection space, shared by the sessions that name it. Thread-safe.
class URLCredentialStorage {
 public:
  static std::shared_ptr<URLCredentialStorage> shared();

  std::optional<URLCredential> defaultCredential(const URLProtectionSpace& space) const;
  // Also enters the credential among the space's credentials.
  void setDefaultCredential(const URLCredential& credential, const URLProtectionSpace& space);
  void removeDefaultCredential(const URLProtectionSpace& space);

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
