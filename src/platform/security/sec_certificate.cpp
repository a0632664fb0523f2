#include "platform/security/sec_certificate.h"

#include <openssl/bio.h>
#include <openssl/x509.h>

namespace platform {

SecCertificatePtr SecCertificate::createWithData(const std::vector<std::uint8_t>& der) {
  // The size check comes first: d2i takes a long, and a DER certificate is never near 2 GiB.
  if (der.empty() || der.size() > static_cast<std::size_t>(INT32_MAX)) return nullptr;
  const unsigned char* cursor = der.data();
  X509* certificate = d2i_X509(nullptr, &cursor, static_cast<long>(der.size()));
  if (certificate == nullptr) return nullptr;
  if (cursor != der.data() + der.size()) {
    X509_free(certificate);
    return nullptr;
  }
  return SecCertificatePtr(new SecCertificate(certificate, der));
}

SecCertificatePtr SecCertificate::fromX509(X509* certificate) {
  if (certificate == nullptr) return nullptr;
  unsigned char* out = nullptr;
  const int length = i2d_X509(certificate, &out);
  if (length <= 0) return nullptr;
  std::vector<std::uint8_t> der(out, out + length);
  OPENSSL_free(out);
  if (X509_up_ref(certificate) != 1) return nullptr;
  return SecCertificatePtr(new SecCertificate(certificate, std::move(der)));
}

SecCertificate::~SecCertificate() {
  X509_free(x509_);
}

std::string SecCertificate::subjectSummary() const {
  BIO* bio = BIO_new(BIO_s_mem());
  if (bio == nullptr) return {};
  X509_NAME_print_ex(bio, X509_get_subject_name(x509_), 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
  char* text = nullptr;
  const long length = BIO_get_mem_data(bio, &text);
  std::string summary(text, length > 0 ? static_cast<std::size_t>(length) : 0);
  BIO_free(bio);
  return summary;
}

SecKeyPtr SecCertificate::publicKey() const {
  EVP_PKEY* key = X509_get0_pubkey(x509_);
  return SecKey::fromEVP(key);
}

}  // namespace platform
