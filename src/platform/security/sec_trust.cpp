#include "platform/security/sec_trust.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <filesystem>

#include "platform/security/revocation.h"

namespace platform {
namespace {

using StorePtr = std::shared_ptr<X509_STORE>;

void addPEMFile(X509_STORE* store, const std::filesystem::path& path) {
  // Every file ends with OpenSSL noting that no further certificate starts, and a file that is
  // not PEM adds more: what this reading noted is dropped, or it would stay in the thread's
  // queue and end up in the text of the next TLS failure on the thread.
  ERR_set_mark();
  BIO* bio = BIO_new_file(path.c_str(), "r");
  if (bio != nullptr) {
    while (X509* certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
      X509_STORE_add_cert(store, certificate);  // duplicates are ignored
      X509_free(certificate);
    }
    BIO_free(bio);
  }
  ERR_pop_to_mark();
}

// The system's anchors, read once: OpenSSL's default file and folder, or what SSL_CERT_FILE
// and SSL_CERT_DIR name instead. The folder is read whole rather than looked up by hash on
// demand, so that evaluations with extra anchors can copy it.
const StorePtr& systemAnchors() {
  static const StorePtr store = [] {
    StorePtr s(X509_STORE_new(), X509_STORE_free);
    const char* fileEnv = std::getenv(X509_get_default_cert_file_env());
    addPEMFile(s.get(), fileEnv != nullptr ? fileEnv : X509_get_default_cert_file());
    const char* dirEnv = std::getenv(X509_get_default_cert_dir_env());
    std::string dirs = dirEnv != nullptr ? dirEnv : X509_get_default_cert_dir();
    std::size_t start = 0;
    while (start <= dirs.size()) {
      const std::size_t end = std::min(dirs.find(':', start), dirs.size());
      const std::filesystem::path dir = dirs.substr(start, end - start);
      std::error_code ec;
      if (!dir.empty() && std::filesystem::is_directory(dir, ec)) {
        for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
          if (entry.is_regular_file(ec)) addPEMFile(s.get(), entry.path());
        }
      }
      start = end + 1;
    }
    return s;
  }();
  return store;
}

std::vector<X509*> objectsOf(X509_STORE* store) {
  std::vector<X509*> certificates;
  STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(store);
  for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i) {
    if (X509* c = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i))) {
      certificates.push_back(c);
    }
  }
  return certificates;
}

StorePtr anchorStore(const std::vector<SecCertificatePtr>& anchors, bool anchorsOnly) {
  if (anchors.empty() && !anchorsOnly) return systemAnchors();
  StorePtr store(X509_STORE_new(), X509_STORE_free);
  if (!anchorsOnly) {
    // The system store is only read here; X509_STORE guards its object list with its own lock.
    X509_STORE* system = systemAnchors().get();
    X509_STORE_lock(system);
    const auto certificates = objectsOf(system);
    for (X509* c : certificates)
      X509_STORE_add_cert(store.get(), c);
    X509_STORE_unlock(system);
  }
  for (const auto& anchor : anchors)
    X509_STORE_add_cert(store.get(), anchor->x509());
  return store;
}

bool isAddressLiteral(const std::string& host) {
  unsigned char buffer[16];
  return inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
         inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

std::string subjectOf(X509* certificate) {
  if (certificate == nullptr) return {};
  auto wrapped = SecCertificate::fromX509(certificate);
  return wrapped ? wrapped->subjectSummary() : std::string();
}

bool signedBy(X509* subject, X509* issuer) {
  if (X509_NAME_cmp(X509_get_issuer_name(subject), X509_get_subject_name(issuer)) != 0) {
    return false;
  }
  EVP_PKEY* key = X509_get0_pubkey(issuer);
  return key != nullptr && X509_verify(subject, key) == 1;
}

}  // namespace

std::string SecTrustError::localizedDescription() const {
  std::string text = "The certificate";
  if (!subject_.empty()) text += " \"" + subject_ + "\"";
  return text + " is not trusted: " + reason_ + ".";
}

std::string SecTrustError::debugDescription() const {
  return localizedDescription() + " (verify code " + std::to_string(verifyCode_) + ", depth " +
         std::to_string(depth_) + ")";
}

std::shared_ptr<SecTrust> SecTrust::create(std::vector<SecCertificatePtr> certificates,
                                           std::vector<SecPolicyPtr> policies) {
  if (certificates.empty()) return nullptr;
  for (const auto& c : certificates) {
    if (!c) return nullptr;
  }
  for (const auto& p : policies) {
    if (!p) return nullptr;
  }
  return std::shared_ptr<SecTrust>(new SecTrust(std::move(certificates), std::move(policies)));
}

SecTrust::SecTrust(std::vector<SecCertificatePtr> certificates, std::vector<SecPolicyPtr> policies)
    : presented_(std::move(certificates)), policies_(std::move(policies)) {}

OSStatus SecTrust::setPolicies(std::vector<SecPolicyPtr> policies) {
  if (policies.empty()) return errSecParam;
  for (const auto& p : policies) {
    if (!p) return errSecParam;
  }
  std::lock_guard lock(mutex_);
  policies_ = std::move(policies);
  result_ = SecTrustResultType::invalid;
  return errSecSuccess;
}

std::vector<SecPolicyPtr> SecTrust::policies() const {
  std::lock_guard lock(mutex_);
  return policies_;
}

OSStatus SecTrust::setAnchorCertificates(std::vector<SecCertificatePtr> anchors) {
  for (const auto& a : anchors) {
    if (!a) return errSecParam;
  }
  std::lock_guard lock(mutex_);
  anchors_ = std::move(anchors);
  result_ = SecTrustResultType::invalid;
  return errSecSuccess;
}

OSStatus SecTrust::setAnchorCertificatesOnly(bool only) {
  std::lock_guard lock(mutex_);
  anchorsOnly_ = only;
  result_ = SecTrustResultType::invalid;
  return errSecSuccess;
}

void SecTrust::setStapledOCSPResponse(std::vector<std::uint8_t> response) {
  std::lock_guard lock(mutex_);
  stapledResponse_ = std::move(response);
}

bool SecTrust::evaluateWithError(ErrorPtr* error) {
  std::lock_guard evaluation(evaluationMutex_);
  std::vector<SecPolicyPtr> policies;
  std::vector<SecCertificatePtr> anchors;
  bool anchorsOnly;
  std::optional<std::vector<std::uint8_t>> stapled;
  {
    std::lock_guard lock(mutex_);
    policies = policies_;
    anchors = anchors_;
    anchorsOnly = anchorsOnly_;
    stapled = stapledResponse_;
  }

  auto fail = [&](SecTrustResultType result, int code, std::string reason, int depth,
                  std::string subject) {
    if (error != nullptr) {
      *error =
          std::make_shared<const SecTrustError>(code, std::move(reason), depth, std::move(subject));
    }
    std::lock_guard lock(mutex_);
    result_ = result;
    builtChain_.clear();
    return false;
  };

  const StorePtr store = anchorStore(anchors, anchorsOnly);
  std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)> untrusted(
      sk_X509_new_null(), [](STACK_OF(X509) * s) { sk_X509_free(s); });
  for (std::size_t i = 1; i < presented_.size(); ++i) {
    sk_X509_push(untrusted.get(), presented_[i]->x509());
  }
  std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> context(X509_STORE_CTX_new(),
                                                                          X509_STORE_CTX_free);
  if (!context || X509_STORE_CTX_init(context.get(), store.get(), presented_[0]->x509(),
                                      untrusted.get()) != 1) {
    return fail(SecTrustResultType::otherError, X509_V_ERR_UNSPECIFIED,
                "the verification could not be set up", 0, {});
  }
  X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(context.get());
  X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_PARTIAL_CHAIN);

  std::vector<std::string> extraHosts;
  bool hostSet = false;
  std::optional<std::uint32_t> revocationFlags;
  for (const auto& policy : policies) {
    switch (policy->kind()) {
      case SecPolicy::Kind::basicX509:
        break;
      case SecPolicy::Kind::ssl:
        X509_STORE_CTX_set_purpose(
            context.get(), policy->server() ? X509_PURPOSE_SSL_SERVER : X509_PURPOSE_SSL_CLIENT);
        if (policy->host() && !policy->host()->empty()) {
          if (hostSet) {
            extraHosts.push_back(*policy->host());
          } else if (isAddressLiteral(*policy->host())) {
            X509_VERIFY_PARAM_set1_ip_asc(param, policy->host()->c_str());
            hostSet = true;
          } else {
            X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            X509_VERIFY_PARAM_set1_host(param, policy->host()->c_str(), policy->host()->size());
            hostSet = true;
          }
        }
        break;
      case SecPolicy::Kind::revocation:
        // Several revocation policies: the strictest reading of their bits together.
        revocationFlags = revocationFlags.value_or(0) | policy->revocationFlags();
        break;
    }
  }

  if (X509_verify_cert(context.get()) != 1) {
    const int code = X509_STORE_CTX_get_error(context.get());
    return fail(SecTrustResultType::recoverableTrustFailure, code,
                X509_verify_cert_error_string(code), X509_STORE_CTX_get_error_depth(context.get()),
                subjectOf(X509_STORE_CTX_get_current_cert(context.get())));
  }

  std::vector<X509*> chain;
  STACK_OF(X509)* built = X509_STORE_CTX_get0_chain(context.get());
  for (int i = 0; i < sk_X509_num(built); ++i)
    chain.push_back(sk_X509_value(built, i));

  for (const auto& host : extraHosts) {
    const bool matches = isAddressLiteral(host)
                             ? X509_check_ip_asc(chain[0], host.c_str(), 0) == 1
                             : X509_check_host(chain[0], host.c_str(), host.size(),
                                               X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS, nullptr) == 1;
    if (!matches) {
      return fail(SecTrustResultType::recoverableTrustFailure, X509_V_ERR_HOSTNAME_MISMATCH,
                  X509_verify_cert_error_string(X509_V_ERR_HOSTNAME_MISMATCH), 0,
                  subjectOf(chain[0]));
    }
  }

  if (revocationFlags) {
    if (auto failure = security_detail::checkRevocation(chain, *revocationFlags,
                                                        stapled ? &*stapled : nullptr)) {
      const auto result = failure->verifyCode == X509_V_ERR_CERT_REVOKED
                              ? SecTrustResultType::fatalTrustFailure
                              : SecTrustResultType::recoverableTrustFailure;
      return fail(result, failure->verifyCode, failure->reason, failure->depth,
                  subjectOf(chain[static_cast<std::size_t>(failure->depth)]));
    }
  }

  std::vector<SecCertificatePtr> wrapped;
  for (X509* c : chain) {
    // Presented certificates keep their own objects (and so their bytes as received).
    SecCertificatePtr same;
    for (const auto& p : presented_) {
      if (p->x509() == c) same = p;
    }
    wrapped.push_back(same ? same : SecCertificate::fromX509(c));
  }
  std::lock_guard lock(mutex_);
  builtChain_ = std::move(wrapped);
  result_ = SecTrustResultType::unspecified;
  return true;
}

SecTrustResultType SecTrust::result() const {
  std::lock_guard lock(mutex_);
  return result_;
}

std::vector<SecCertificatePtr> SecTrust::signedPrefix() const {
  std::vector<SecCertificatePtr> chain{presented_[0]};
  for (std::size_t i = 1; i < presented_.size(); ++i) {
    if (!signedBy(chain.back()->x509(), presented_[i]->x509())) break;
    chain.push_back(presented_[i]);
  }
  return chain;
}

std::vector<SecCertificatePtr> SecTrust::certificateChain() const {
  {
    std::lock_guard lock(mutex_);
    if (!builtChain_.empty()) return builtChain_;
  }
  return signedPrefix();
}

SecKeyPtr SecTrust::copyKey() const {
  return presented_[0]->publicKey();
}

}  // namespace platform
