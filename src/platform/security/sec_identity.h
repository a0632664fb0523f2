#pragma once

#include <memory>
#include <vector>

#include "platform/security/sec_certificate.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace platform {

class SecIdentity;
using SecIdentityPtr = std::shared_ptr<const SecIdentity>;

// A certificate with its private key: what a client proves itself with.
class SecIdentity {
 public:
  // None when the key is missing or does not belong to the certificate. Takes a reference of
  // its own to `privateKey`.
  static SecIdentityPtr create(SecCertificatePtr certificate, EVP_PKEY* privateKey);
  ~SecIdentity();
  SecIdentity(const SecIdentity&) = delete;
  SecIdentity& operator=(const SecIdentity&) = delete;

  const SecCertificatePtr& certificate() const { return certificate_; }
  EVP_PKEY* privateKey() const { return key_; }

 private:
  SecIdentity(SecCertificatePtr certificate, EVP_PKEY* key)
      : certificate_(std::move(certificate)), key_(key) {}
  SecCertificatePtr certificate_;
  EVP_PKEY* key_;
};

}  // namespace platform
