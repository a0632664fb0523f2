#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/security/sec_key.h"

typedef struct x509_st X509;

namespace platform {

class SecCertificate;
using SecCertificatePtr = std::shared_ptr<const SecCertificate>;

// One X.509 certificate, immutable once made. Holds its own reference to the OpenSSL object.
class SecCertificate {
 public:
  // A certificate only when `der` is exactly one DER-encoded certificate: trailing bytes, PEM
  // text and anything else give none.
  static SecCertificatePtr createWithData(const std::vector<std::uint8_t>& der);
  // Takes a reference of its own to `certificate`.
  static SecCertificatePtr fromX509(X509* certificate);

  ~SecCertificate();
  SecCertificate(const SecCertificate&) = delete;
  SecCertificate& operator=(const SecCertificate&) = delete;

  // The DER encoding, as it was made or received.
  const std::vector<std::uint8_t>& data() const { return der_; }
  // The subject in one line ("CN=localhost, O=…"), for texts and logs.
  std::string subjectSummary() const;
  // The public key, or none when OpenSSL cannot read it.
  SecKeyPtr publicKey() const;

  X509* x509() const { return x509_; }

 private:
  SecCertificate(X509* certificate, std::vector<std::uint8_t> der)
      : x509_(certificate), der_(std::move(der)) {}
  X509* x509_;
  std::vector<std::uint8_t> der_;
};

}  // namespace platform
