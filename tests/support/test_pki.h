#pragma once

// A throw-away public-key infrastructure made at run time with OpenSSL: a root CA, an
// intermediate CA, leaves for localhost and 127.0.0.1 in every state a test needs, and a
// loopback revocation server (an OCSP responder and CRLs, both counting their hits) that the
// revocable certificates name. EC P-256 keys keep it fast.
//
// `testpki::PKI::shared()` is made once per process. Programs that evaluate trust register
// `testpki::TrustEnvironment`, which points SSL_CERT_FILE at a file holding only the test root
// (and SSL_CERT_DIR at an empty folder) before anything is evaluated, so the system's own
// anchors are never seen.

#ifndef TESTPKI_NO_GTEST
#include <gtest/gtest.h>
#endif
#include <httplib.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/ocsp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/security/sec_certificate.h"
#include "platform/security/sec_key.h"

namespace testpki {

using Bytes = std::vector<std::uint8_t>;
constexpr long day = 24 * 3600;

struct Identity {
  std::shared_ptr<X509> certificate;
  std::shared_ptr<EVP_PKEY> key;

  long serial() const { return ASN1_INTEGER_get(X509_get0_serialNumber(certificate.get())); }
  Bytes der() const {
    unsigned char* out = nullptr;
    const int n = i2d_X509(certificate.get(), &out);
    Bytes bytes(out, out + n);
    OPENSSL_free(out);
    return bytes;
  }
  std::string pem() const {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, certificate.get());
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<std::size_t>(n));
    BIO_free(bio);
    return text;
  }
  platform::SecCertificatePtr sec() const {
    return platform::SecCertificate::createWithData(der());
  }
  platform::SecKeyPtr publicKey() const { return platform::SecKey::fromEVP(key.get()); }
};

inline std::shared_ptr<EVP_PKEY> newKey() {
  return std::shared_ptr<EVP_PKEY>(EVP_EC_gen("P-256"), EVP_PKEY_free);
}

struct CertificateSpec {
  std::string commonName;
  const Identity* issuer = nullptr;  // none: self-signed
  bool ca = false;
  long notBefore = -60;  // seconds from now
  long notAfter = 30 * day;
  std::string subjectAltName = "DNS:localhost, IP:127.0.0.1";
  std::string extendedKeyUsage = "serverAuth";
  std::optional<std::string> ocspURL = std::nullopt;
  std::optional<std::string> crlURL = std::nullopt;
};

inline long nextSerial() {
  static std::atomic<long> serial{1000};
  return ++serial;
}

inline void addExtension(X509* certificate, X509V3_CTX* context, int nid,
                         const std::string& value) {
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, context, nid, value.c_str());
  if (extension == nullptr) throw std::runtime_error("bad extension " + value);
  X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
}

inline Identity makeCertificate(const CertificateSpec& spec) {
  Identity identity{std::shared_ptr<X509>(X509_new(), X509_free), newKey()};
  X509* c = identity.certificate.get();
  X509_set_version(c, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(c), nextSerial());
  X509_gmtime_adj(X509_getm_notBefore(c), spec.notBefore);
  X509_gmtime_adj(X509_getm_notAfter(c), spec.notAfter);
  X509_set_pubkey(c, identity.key.get());
  X509_NAME* name = X509_get_subject_name(c);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Tovarine Test"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(spec.commonName.c_str()), -1,
                             -1, 0);
  X509* issuerCertificate = spec.issuer ? spec.issuer->certificate.get() : c;
  X509_set_issuer_name(c, X509_get_subject_name(issuerCertificate));
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuerCertificate, c, nullptr, nullptr, 0);
  if (spec.ca) {
    addExtension(c, &context, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(c, &context, NID_key_usage, "critical,keyCertSign,cRLSign,digitalSignature");
  } else {
    addExtension(c, &context, NID_basic_constraints, "critical,CA:FALSE");
    addExtension(c, &context, NID_key_usage, "critical,digitalSignature");
    if (!spec.extendedKeyUsage.empty()) {
      addExtension(c, &context, NID_ext_key_usage, spec.extendedKeyUsage);
    }
    if (!spec.subjectAltName.empty()) {
      addExtension(c, &context, NID_subject_alt_name, spec.subjectAltName);
    }
  }
  addExtension(c, &context, NID_subject_key_identifier, "hash");
  if (spec.issuer) addExtension(c, &context, NID_authority_key_identifier, "keyid:always");
  if (spec.ocspURL) addExtension(c, &context, NID_info_access, "OCSP;URI:" + *spec.ocspURL);
  if (spec.crlURL) addExtension(c, &context, NID_crl_distribution_points, "URI:" + *spec.crlURL);
  EVP_PKEY* signingKey = spec.issuer ? spec.issuer->key.get() : identity.key.get();
  X509_sign(c, signingKey, EVP_sha256());
  return identity;
}

// An OCSP response about `subject` signed by `issuer` itself.
inline Bytes ocspResponse(const Identity& subject, const Identity& issuer, bool revoked) {
  OCSP_BASICRESP* basic = OCSP_BASICRESP_new();
  OCSP_CERTID* id = OCSP_cert_to_id(nullptr, subject.certificate.get(), issuer.certificate.get());
  ASN1_TIME* thisUpdate = X509_gmtime_adj(nullptr, -60);
  ASN1_TIME* nextUpdate = X509_gmtime_adj(nullptr, 3600);
  ASN1_TIME* revokedAt = X509_gmtime_adj(nullptr, -3600);
  OCSP_basic_add1_status(basic, id, revoked ? V_OCSP_CERTSTATUS_REVOKED : V_OCSP_CERTSTATUS_GOOD,
                         revoked ? OCSP_REVOKED_STATUS_KEYCOMPROMISE : -1,
                         revoked ? revokedAt : nullptr, thisUpdate, nextUpdate);
  OCSP_basic_sign(basic, issuer.certificate.get(), issuer.key.get(), EVP_sha256(), nullptr,
                  OCSP_NOCERTS);
  OCSP_RESPONSE* response = OCSP_response_create(OCSP_RESPONSE_STATUS_SUCCESSFUL, basic);
  unsigned char* out = nullptr;
  const int n = i2d_OCSP_RESPONSE(response, &out);
  Bytes bytes(out, out + n);
  OPENSSL_free(out);
  OCSP_RESPONSE_free(response);
  OCSP_BASICRESP_free(basic);
  OCSP_CERTID_free(id);
  ASN1_TIME_free(thisUpdate);
  ASN1_TIME_free(nextUpdate);
  ASN1_TIME_free(revokedAt);
  return bytes;
}

// A CRL of `issuer` listing `revokedSerials`.
inline Bytes crl(const Identity& issuer, const std::set<long>& revokedSerials) {
  X509_CRL* list = X509_CRL_new();
  X509_CRL_set_version(list, 1);
  X509_CRL_set_issuer_name(list, X509_get_subject_name(issuer.certificate.get()));
  ASN1_TIME* last = X509_gmtime_adj(nullptr, -60);
  ASN1_TIME* next = X509_gmtime_adj(nullptr, 3600);
  X509_CRL_set1_lastUpdate(list, last);
  X509_CRL_set1_nextUpdate(list, next);
  for (long serial : revokedSerials) {
    X509_REVOKED* entry = X509_REVOKED_new();
    ASN1_INTEGER* number = ASN1_INTEGER_new();
    ASN1_INTEGER_set(number, serial);
    X509_REVOKED_set_serialNumber(entry, number);
    X509_REVOKED_set_revocationDate(entry, last);
    X509_CRL_add0_revoked(list, entry);
    ASN1_INTEGER_free(number);
  }
  X509_CRL_sort(list);
  X509_CRL_sign(list, issuer.key.get(), EVP_sha256());
  unsigned char* out = nullptr;
  const int n = i2d_X509_CRL(list, &out);
  Bytes bytes(out, out + n);
  OPENSSL_free(out);
  X509_CRL_free(list);
  ASN1_TIME_free(last);
  ASN1_TIME_free(next);
  return bytes;
}

// Answers OCSP requests and serves CRLs for the root (about the intermediate) and the
// intermediate (about its leaves). Which serials count as revoked, and whether it answers at
// all, is up to the test.
class RevocationServer {
 public:
  std::atomic<int> ocspHits{0};
  std::atomic<int> crlHits{0};
  std::atomic<bool> down{false};

  void reset() {
    ocspHits = 0;
    crlHits = 0;
    down = false;
    std::lock_guard lock(mutex_);
    revoked_.clear();
  }
  void revoke(long serial) {
    std::lock_guard lock(mutex_);
    revoked_.insert(serial);
  }
  std::set<long> revoked() const {
    std::lock_guard lock(mutex_);
    return revoked_;
  }

  // Binds and serves; the identities are read only when requests come.
  void start(const Identity* root, const Identity* intermediate) {
    root_ = root;
    intermediate_ = intermediate;
    server_.Post(R"(/ocsp/(root|intermediate))", [this](const httplib::Request& request,
                                                        httplib::Response& response) {
      ++ocspHits;
      if (down) return void(response.status = 503);
      answerOCSP(request.matches[1] == "root" ? *root_ : *intermediate_, request.body, response);
    });
    server_.Get(R"(/crl/(root|intermediate)\.crl)", [this](const httplib::Request& request,
                                                           httplib::Response& response) {
      ++crlHits;
      if (down) return void(response.status = 503);
      const Bytes list = crl(request.matches[1] == "root" ? *root_ : *intermediate_, revoked());
      response.set_content(std::string(list.begin(), list.end()), "application/pkix-crl");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running())
      std::this_thread::yield();
  }
  ~RevocationServer() {
    if (thread_.joinable()) {
      server_.stop();
      thread_.join();
    }
  }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  void answerOCSP(const Identity& issuer, const std::string& body, httplib::Response& response) {
    const auto* cursor = reinterpret_cast<const unsigned char*>(body.data());
    OCSP_REQUEST* request = d2i_OCSP_REQUEST(nullptr, &cursor, static_cast<long>(body.size()));
    if (request == nullptr || OCSP_request_onereq_count(request) < 1) {
      OCSP_REQUEST_free(request);
      response.status = 400;
      return;
    }
    OCSP_CERTID* id = OCSP_onereq_get0_id(OCSP_request_onereq_get0(request, 0));
    ASN1_INTEGER* serialNumber = nullptr;
    OCSP_id_get0_info(nullptr, nullptr, nullptr, &serialNumber, id);
    const bool isRevoked = revoked().contains(ASN1_INTEGER_get(serialNumber));
    OCSP_BASICRESP* basic = OCSP_BASICRESP_new();
    ASN1_TIME* thisUpdate = X509_gmtime_adj(nullptr, -60);
    ASN1_TIME* nextUpdate = X509_gmtime_adj(nullptr, 3600);
    OCSP_basic_add1_status(basic, id,
                           isRevoked ? V_OCSP_CERTSTATUS_REVOKED : V_OCSP_CERTSTATUS_GOOD,
                           isRevoked ? OCSP_REVOKED_STATUS_KEYCOMPROMISE : -1,
                           isRevoked ? thisUpdate : nullptr, thisUpdate, nextUpdate);
    OCSP_basic_sign(basic, issuer.certificate.get(), issuer.key.get(), EVP_sha256(), nullptr,
                    OCSP_NOCERTS);
    OCSP_RESPONSE* answer = OCSP_response_create(OCSP_RESPONSE_STATUS_SUCCESSFUL, basic);
    unsigned char* out = nullptr;
    const int n = i2d_OCSP_RESPONSE(answer, &out);
    response.set_content(std::string(reinterpret_cast<char*>(out), static_cast<std::size_t>(n)),
                         "application/ocsp-response");
    OPENSSL_free(out);
    OCSP_RESPONSE_free(answer);
    OCSP_BASICRESP_free(basic);
    ASN1_TIME_free(thisUpdate);
    ASN1_TIME_free(nextUpdate);
    OCSP_REQUEST_free(request);
  }

  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  const Identity* root_ = nullptr;
  const Identity* intermediate_ = nullptr;
  mutable std::mutex mutex_;
  std::set<long> revoked_;
};

struct PKI {
  RevocationServer revocation;
  Identity root;
  Identity intermediate;   // names the revocation server
  Identity leaf;           // valid, for localhost and 127.0.0.1
  Identity expired;        // not after yesterday
  Identity notYetValid;    // not before tomorrow
  Identity wrongHost;      // wrong.invalid only
  Identity selfSigned;     // a leaf that signed itself
  Identity revocable;      // names the revocation server
  Identity client;         // for client authentication
  Identity unrelatedRoot;  // a CA nothing chains to
  std::filesystem::path folder;

  static PKI& shared() {
    static PKI pki;
    return pki;
  }

  // What a server presents: the leaf and the intermediate.
  std::vector<platform::SecCertificatePtr> presented(const Identity& leafIdentity) const {
    return {leafIdentity.sec(), intermediate.sec()};
  }

  ~PKI() {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }

 private:
  PKI() {
    root = makeCertificate({.commonName = "Tovarine Test Root", .ca = true, .notAfter = 365 * day});
    revocation.start(&root, &intermediate);
    intermediate = makeCertificate({.commonName = "Tovarine Test Intermediate",
                                    .issuer = &root,
                                    .ca = true,
                                    .notAfter = 180 * day,
                                    .ocspURL = revocation.url("/ocsp/root"),
                                    .crlURL = revocation.url("/crl/root.crl")});
    leaf = makeCertificate({.commonName = "localhost", .issuer = &intermediate});
    expired = makeCertificate({.commonName = "localhost",
                               .issuer = &intermediate,
                               .notBefore = -2 * day,
                               .notAfter = -day});
    notYetValid = makeCertificate({.commonName = "localhost",
                                   .issuer = &intermediate,
                                   .notBefore = day,
                                   .notAfter = 2 * day});
    wrongHost = makeCertificate({.commonName = "wrong.invalid",
                                 .issuer = &intermediate,
                                 .subjectAltName = "DNS:wrong.invalid"});
    selfSigned = makeCertificate({.commonName = "localhost"});
    revocable = makeCertificate({.commonName = "localhost",
                                 .issuer = &intermediate,
                                 .ocspURL = revocation.url("/ocsp/intermediate"),
                                 .crlURL = revocation.url("/crl/intermediate.crl")});
    client = makeCertificate({.commonName = "Tovarine Test Client",
                              .issuer = &intermediate,
                              .subjectAltName = "",
                              .extendedKeyUsage = "clientAuth"});
    unrelatedRoot = makeCertificate({.commonName = "Unrelated Root", .ca = true});

    folder =
        std::filesystem::temp_directory_path() / ("tovarine-pki-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder / "no-anchors");
    std::ofstream(folder / "anchors.pem") << root.pem();
  }
};

// Points SSL_CERT_FILE at a file holding only the test root, and SSL_CERT_DIR at an empty folder.
inline void useTestAnchorsOnly() {
  const auto& pki = PKI::shared();
  ::setenv("SSL_CERT_FILE", (pki.folder / "anchors.pem").c_str(), 1);
  ::setenv("SSL_CERT_DIR", (pki.folder / "no-anchors").c_str(), 1);
}

#ifndef TESTPKI_NO_GTEST
// Makes the test root the only anchor the program's evaluations know.
class TrustEnvironment : public testing::Environment {
 public:
  void SetUp() override { useTestAnchorsOnly(); }
};

inline testing::Environment* const trustEnvironment =
    testing::AddGlobalTestEnvironment(new TrustEnvironment);
#endif

}  // namespace testpki
