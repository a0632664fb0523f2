#pragma once

// A throw-away self-signed certificate for 127.0.0.1, written as PEM files, so a test can run
// an HTTPS server that no trust store knows.

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdio.h>

#include <filesystem>
#include <string>

namespace nettest {

struct SelfSignedCertificate {
  std::filesystem::path certificatePath;
  std::filesystem::path keyPath;

  SelfSignedCertificate() {
    auto dir = std::filesystem::temp_directory_path() /
               ("tovarine-tls-" + std::to_string(::getpid()) + "-" +
                std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    std::filesystem::create_directories(dir);
    certificatePath = dir / "cert.pem";
    keyPath = dir / "key.pem";

    EVP_PKEY* key = EVP_RSA_gen(2048);
    X509* certificate = X509_new();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), -60);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 3600);
    X509_set_pubkey(certificate, key);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(certificate, name);
    X509_EXTENSION* san =
        X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name, "IP:127.0.0.1");
    X509_add_ext(certificate, san, -1);
    X509_EXTENSION_free(san);
    X509_sign(certificate, key, EVP_sha256());

    FILE* out = fopen(certificatePath.c_str(), "w");
    PEM_write_X509(out, certificate);
    fclose(out);
    out = fopen(keyPath.c_str(), "w");
    PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
    fclose(out);
    X509_free(certificate);
    EVP_PKEY_free(key);
  }

  ~SelfSignedCertificate() {
    std::error_code ignored;
    std::filesystem::remove_all(certificatePath.parent_path(), ignored);
  }
};

}  // namespace nettest
