#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "halyard/core/halyard_error.h"
#include "halyard/core/server_trust_manager.h"
#include "platform/foundation/bundle.h"
#include "platform/security/sec_trust.h"

namespace halyard {

// The system's validation, with or without the host check.
class DefaultTrustEvaluator final : public ServerTrustEvaluating {
 public:
  explicit DefaultTrustEvaluator(bool validateHost = true) : validateHost(validateHost) {}
  void evaluateTrust(const platform::SecTrustPtr& trust, const std::string& host) const override;
  const bool validateHost;
};

class RevocationTrustEvaluator final : public ServerTrustEvaluating {
 public:
  // Bits passed unchanged to the revocation policy.
  struct Options {
    std::uint32_t rawValue = 0;
    static constexpr std::uint32_t useCRL = 2;
    static constexpr std::uint32_t disableNetworkAccess = 16;
    static constexpr std::uint32_t useOCSP = 1;
    static constexpr std::uint32_t preferCRL = 4;
    static constexpr std::uint32_t requirePositiveResponse = 8;
    static constexpr std::uint32_t useAnyMethod = 3;
  };

  explicit RevocationTrustEvaluator(bool performDefaultValidation = true, bool validateHost = true,
                                    Options options = {Options::useAnyMethod})
      : performDefaultValidation(performDefaultValidation),
        validateHost(validateHost),
        options(options) {}
  void evaluateTrust(const platform::SecTrustPtr& trust, const std::string& host) const override;
  const bool performDefaultValidation;
  const bool validateHost;
  const Options options;
};

// Accepts a chain that holds one of the pinned certificates.
class PinnedCertificatesTrustEvaluator final : public ServerTrustEvaluating {
 public:
  // The certificates of the main bundle.
  PinnedCertificatesTrustEvaluator();
  explicit PinnedCertificatesTrustEvaluator(std::vector<platform::SecCertificatePtr> certificates,
                                            bool acceptSelfSignedCertificates = false,
                                            bool performDefaultValidation = true,
                                            bool validateHost = true)
      : certificates(std::move(certificates)),
        acceptSelfSignedCertificates(acceptSelfSignedCertificates),
        performDefaultValidation(performDefaultValidation),
        validateHost(validateHost) {}
  void evaluateTrust(const platform::SecTrustPtr& trust, const std::string& host) const override;
  const std::vector<platform::SecCertificatePtr> certificates;
  const bool acceptSelfSignedCertificates;
  const bool performDefaultValidation;
  const bool validateHost;
};

// Accepts a chain that holds one of the pinned public keys.
class PublicKeysTrustEvaluator final : public ServerTrustEvaluating {
 public:
  // The public keys of the main bundle's certificates.
  PublicKeysTrustEvaluator();
  explicit PublicKeysTrustEvaluator(std::vector<platform::SecKeyPtr> keys,
                                    bool performDefaultValidation = true, bool validateHost = true)
      : keys(std::move(keys)),
        performDefaultValidation(performDefaultValidation),
        validateHost(validateHost) {}
  void evaluateTrust(const platform::SecTrustPtr& trust, const std::string& host) const override;
  const std::vector<platform::SecKeyPtr> keys;
  const bool performDefaultValidation;
  const bool validateHost;
};

// Runs its evaluators in order; the first refusal is the answer.
class CompositeTrustEvaluator final : public ServerTrustEvaluating {
 public:
  explicit CompositeTrustEvaluator(std::vector<ServerTrustEvaluatingPtr> evaluators)
      : evaluators(std::move(evaluators)) {}
  void evaluateTrust(const platform::SecTrustPtr& trust, const std::string& host) const override;
  const std::vector<ServerTrustEvaluatingPtr> evaluators;
};

// Accepts every chain. For development servers only.
class DisabledTrustEvaluator final : public ServerTrustEvaluating {
 public:
  void evaluateTrust(const platform::SecTrustPtr&, const std::string&) const override {}
};

// ---- Helpers, grouped by the type they act on ------------------------------------------------

// Trust objects.
void applyPolicy(const platform::SecTrustPtr& trust, const platform::SecPolicyPtr& policy);
void evaluateOrThrow(const platform::SecTrustPtr& trust);
void validateWithPolicy(const platform::SecTrustPtr& trust, const platform::SecPolicyPtr& policy);
void applyDefaultValidation(const platform::SecTrustPtr& trust, const std::string& host);
void applyHostValidation(const platform::SecTrustPtr& trust, const std::string& host);
std::vector<platform::SecCertificatePtr> certificateChain(const platform::SecTrustPtr& trust);
std::vector<std::vector<std::uint8_t>> certificateChainData(const platform::SecTrustPtr& trust);
std::vector<platform::SecKeyPtr> publicKeysOfChain(const platform::SecTrustPtr& trust);

// Policies.
const platform::SecPolicyPtr& defaultSSLPolicy();
platform::SecPolicyPtr sslPolicyForHost(const std::string& host);
platform::SecPolicyPtr revocationPolicy(RevocationTrustEvaluator::Options options);

// Lists of certificates and evaluators.
std::vector<std::vector<std::uint8_t>> certificateData(
    const std::vector<platform::SecCertificatePtr>& certificates);
std::vector<platform::SecKeyPtr> publicKeysOfCertificates(
    const std::vector<platform::SecCertificatePtr>& certificates);
void evaluateAllTrust(const std::vector<ServerTrustEvaluatingPtr>& evaluators,
                      const platform::SecTrustPtr& trust, const std::string& host);

// Certificates.
platform::SecKeyPtr publicKey(const platform::SecCertificatePtr& certificate);

// Bundles.
std::vector<std::filesystem::path> pathsForResourceTypes(const platform::Bundle& bundle,
                                                         const std::vector<std::string>& types);
std::vector<platform::SecCertificatePtr> certificates(const platform::Bundle& bundle);
std::vector<platform::SecKeyPtr> publicKeys(const platform::Bundle& bundle);

// Status codes and results.
inline bool isNoError(platform::OSStatus status) {
  return status == 0;
}
inline bool isProceedOrUnspecified(platform::SecTrustResultType result) {
  return result == platform::SecTrustResultType::proceed ||
         result == platform::SecTrustResultType::unspecified;
}

}  // namespace halyard
