#include "platform/net/url_credential.h"

namespace platform {

std::shared_ptr<URLCredentialStorage> URLCredentialStorage::shared() {
  static const auto storage = std::make_shared<URLCredentialStorage>();
  return storage;
}

std::optional<URLCredential> URLCredentialStorage::defaultCredential(
    const URLProtectionSpace& space) const {
  std::lock_guard lock(mutex_);
  auto it = defaults_.find(space);
  if (it == defaults_.end()) return std::nullopt;
  return it->second;
}

void URLCredentialStorage::setDefaultCredential(const URLCredential& credential,
                                                const URLProtectionSpace& space) {
  std::lock_guard lock(mutex_);
  defaults_.insert_or_assign(space, credential);
  credentials_[space].insert_or_assign(credential.user(), credential);
}

std::optional<std::map<std::string, URLCredential>> URLCredentialStorage::credentials(
    const URLProtectionSpace& space) const {
  std::lock_guard lock(mutex_);
  auto it = credentials_.find(space);
  if (it == credentials_.end()) return std::nullopt;
  return it->second;
}

void URLCredentialStorage::setCredential(const URLCredential& credential,
                                         const URLProtectionSpace& space) {
  std::lock_guard lock(mutex_);
  credentials_[space].insert_or_assign(credential.user(), credential);
}

// Out of line: inlined where a caller passes std::nullopt, the move of the empty optional is
// taken by g++ 12 under ThreadSanitizer for a read of a credential it does not hold.
URLAuthenticationChallenge::URLAuthenticationChallenge(
    URLProtectionSpace protectionSpace, std::optional<URLCredential> proposedCredential,
    int previousFailureCount, URLResponsePtr failureResponse, ErrorPtr error)
    : protectionSpace_(std::move(protectionSpace)),
      proposedCredential_(std::move(proposedCredential)),
      previousFailureCount_(previousFailureCount),
      failureResponse_(std::move(failureResponse)),
      error_(std::move(error)) {}

}  // namespace platform
