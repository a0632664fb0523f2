#include "platform/security/sec_identity.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace platform {

SecIdentityPtr SecIdentity::create(SecCertificatePtr certificate, EVP_PKEY* privateKey) {
  if (!certificate || privateKey == nullptr) return nullptr;
  if (X509_check_private_key(certificate->x509(), privateKey) != 1) return nullptr;
  if (EVP_PKEY_up_ref(privateKey) != 1) return nullptr;
  return SecIdentityPtr(new SecIdentity(std::move(certificate), privateKey));
}

SecIdentity::~SecIdentity() {
  EVP_PKEY_free(key_);
}

}  // namespace platform
