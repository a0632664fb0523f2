#include "halyard/policies/server_trust_evaluation.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>

namespace halyard {
namespace {

using Reason = HalyardError::ServerTrustFailureReason;

[[noreturn]] void refuse(Reason::Storage reason) {
  throw HalyardError::serverTrustEvaluationFailed(std::move(reason));
}

std::vector<SecCertificateRef> constCertificates(
    const std::vector<platform::SecCertificatePtr>& certificates) {
  return {certificates.begin(), certificates.end()};
}

std::vector<SecKeyRef> constKeys(const std::vector<platform::SecKeyPtr>& keys) {
  return {keys.begin(), keys.end()};
}

// Largest file read as a certificate; a DER certificate is a few kilobytes.
constexpr std::uintmax_t maxCertificateFile = 1 << 20;

}  // namespace

void DefaultTrustEvaluator::evaluateTrust(const platform::SecTrustPtr& trust,
                                          const std::string& host) const {
  if (validateHost) applyHostValidation(trust, host);
  applyDefaultValidation(trust, host);
}

void RevocationTrustEvaluator::evaluateTrust(const platform::SecTrustPtr& trust,
                                             const std::string& host) const {
  if (performDefaultValidation) applyDefaultValidation(trust, host);
  if (validateHost) applyHostValidation(trust, host);
  auto policy = revocationPolicy(options);
  applyPolicy(trust, policy);
  evaluateOrThrow(trust);
}

PinnedCertificatesTrustEvaluator::PinnedCertificatesTrustEvaluator()
    : PinnedCertificatesTrustEvaluator(halyard::certificates(platform::Bundle::main())) {}

void PinnedCertificatesTrustEvaluator::evaluateTrust(const platform::SecTrustPtr& trust,
                                                     const std::string& host) const {
  if (certificates.empty()) refuse(Reason::NoCertificatesFound{});
  if (acceptSelfSignedCertificates) {
    platform::OSStatus status = trust->setAnchorCertificates(certificates);
    if (isNoError(status)) status = trust->setAnchorCertificatesOnly(true);
    if (!isNoError(status)) {
      refuse(Reason::SettingAnchorCertificatesFailed{status, constCertificates(certificates)});
    }
  }
  if (performDefaultValidation) applyDefaultValidation(trust, host);
  if (validateHost) applyHostValidation(trust, host);

  const auto serverData = certificateChainData(trust);
  const std::set<std::vector<std::uint8_t>> server(serverData.begin(), serverData.end());
  for (const auto& pinned : certificateData(certificates)) {
    if (server.contains(pinned)) return;
  }
  refuse(Reason::CertificatePinningFailed{host, trust, constCertificates(certificates),
                                          constCertificates(certificateChain(trust))});
}

PublicKeysTrustEvaluator::PublicKeysTrustEvaluator()
    : PublicKeysTrustEvaluator(halyard::publicKeys(platform::Bundle::main())) {}

void PublicKeysTrustEvaluator::evaluateTrust(const platform::SecTrustPtr& trust,
                                             const std::string& host) const {
  if (keys.empty()) refuse(Reason::NoPublicKeysFound{});
  if (performDefaultValidation) applyDefaultValidation(trust, host);
  if (validateHost) applyHostValidation(trust, host);
  const auto serverKeys = publicKeysOfChain(trust);
  for (const auto& serverKey : serverKeys) {
    for (const auto& pinned : keys) {
      if (pinned && *pinned == *serverKey) return;
    }
  }
  refuse(Reason::PublicKeyPinningFailed{host, trust, constKeys(keys), constKeys(serverKeys)});
}

void CompositeTrustEvaluator::evaluateTrust(const platform::SecTrustPtr& trust,
                                            const std::string& host) const {
  evaluateAllTrust(evaluators, trust, host);
}

// ---- Trust objects ---------------------------------------------------------------------------

void applyPolicy(const platform::SecTrustPtr& trust, const platform::SecPolicyPtr& policy) {
  const platform::OSStatus status = trust->setPolicies({policy});
  if (!isNoError(status)) refuse(Reason::PolicyApplicationFailed{trust, policy, status});
}

void evaluateOrThrow(const platform::SecTrustPtr& trust) {
  platform::ErrorPtr error;
  if (!trust->evaluateWithError(&error)) refuse(Reason::TrustEvaluationFailed{error});
}

void validateWithPolicy(const platform::SecTrustPtr& trust, const platform::SecPolicyPtr& policy) {
  applyPolicy(trust, policy);
  evaluateOrThrow(trust);
}

void applyDefaultValidation(const platform::SecTrustPtr& trust, const std::string&) {
  validateWithPolicy(trust, defaultSSLPolicy());
}

void applyHostValidation(const platform::SecTrustPtr& trust, const std::string& host) {
  validateWithPolicy(trust, sslPolicyForHost(host));
}

std::vector<platform::SecCertificatePtr> certificateChain(const platform::SecTrustPtr& trust) {
  return trust->certificateChain();
}

std::vector<std::vector<std::uint8_t>> certificateChainData(const platform::SecTrustPtr& trust) {
  return certificateData(certificateChain(trust));
}

std::vector<platform::SecKeyPtr> publicKeysOfChain(const platform::SecTrustPtr& trust) {
  return publicKeysOfCertificates(certificateChain(trust));
}

// ---- Policies --------------------------------------------------------------------------------

const platform::SecPolicyPtr& defaultSSLPolicy() {
  static const platform::SecPolicyPtr policy = platform::SecPolicy::createSSL(true, std::nullopt);
  return policy;
}

platform::SecPolicyPtr sslPolicyForHost(const std::string& host) {
  return platform::SecPolicy::createSSL(true, host);
}

platform::SecPolicyPtr revocationPolicy(RevocationTrustEvaluator::Options options) {
  auto policy = platform::SecPolicy::createRevocation(options.rawValue);
  if (!policy) refuse(Reason::RevocationPolicyCreationFailed{});
  return policy;
}

// ---- Lists -----------------------------------------------------------------------------------

std::vector<std::vector<std::uint8_t>> certificateData(
    const std::vector<platform::SecCertificatePtr>& certificates) {
  std::vector<std::vector<std::uint8_t>> data;
  for (const auto& c : certificates) {
    if (c) data.push_back(c->data());
  }
  return data;
}

std::vector<platform::SecKeyPtr> publicKeysOfCertificates(
    const std::vector<platform::SecCertificatePtr>& certificates) {
  std::vector<platform::SecKeyPtr> keys;
  for (const auto& c : certificates) {
    if (auto key = publicKey(c)) keys.push_back(std::move(key));
  }
  return keys;
}

void evaluateAllTrust(const std::vector<ServerTrustEvaluatingPtr>& evaluators,
                      const platform::SecTrustPtr& trust, const std::string& host) {
  for (const auto& evaluator : evaluators)
    evaluator->evaluateTrust(trust, host);
}

platform::SecKeyPtr publicKey(const platform::SecCertificatePtr& certificate) {
  if (!certificate) return nullptr;
  auto trust = platform::SecTrust::create({certificate}, {platform::SecPolicy::createBasicX509()});
  return trust ? trust->copyKey() : nullptr;
}

// ---- Bundles ---------------------------------------------------------------------------------

std::vector<std::filesystem::path> pathsForResourceTypes(const platform::Bundle& bundle,
                                                         const std::vector<std::string>& types) {
  std::vector<std::filesystem::path> all;
  for (const auto& type : types) {
    for (auto& path : bundle.pathsForResourcesOfType(type)) {
      if (std::find(all.begin(), all.end(), path) == all.end()) all.push_back(std::move(path));
    }
  }
  return all;
}

std::vector<platform::SecCertificatePtr> certificates(const platform::Bundle& bundle) {
  std::vector<platform::SecCertificatePtr> found;
  for (const auto& path :
       pathsForResourceTypes(bundle, {".cer", ".CER", ".crt", ".CRT", ".der", ".DER"})) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (error || size > maxCertificateFile) continue;
    std::ifstream file(path, std::ios::binary);
    if (!file) continue;
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                          std::istreambuf_iterator<char>());
    if (auto certificate = platform::SecCertificate::createWithData(bytes)) {
      found.push_back(std::move(certificate));
    }
  }
  return found;
}

std::vector<platform::SecKeyPtr> publicKeys(const platform::Bundle& bundle) {
  return publicKeysOfCertificates(certificates(bundle));
}

}  // namespace halyard
