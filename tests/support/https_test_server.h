#pragma once

// An HTTPS server on 127.0.0.1 presenting a certificate of the test PKI (the leaf and,
// usually, the intermediate as its chain), serving on its own thread for the life of the
// object. It can ask for a client certificate issued under the test root, staple an OCSP
// response, and serve one request per connection so that every request makes a handshake.

#include <httplib.h>
#include <openssl/ssl.h>

#include <string>
#include <thread>

#include "support/test_pki.h"

namespace testsupport {

struct HttpsOptions {
  const testpki::Identity* chain = nullptr;  // sent after the leaf; none: the leaf alone
  bool requireClientCertificate = false;
  bool onePerConnection = false;
  testpki::Bytes stapledResponse = {};
};

class HttpsTestServer {
 public:
  HttpsTestServer(const testpki::Identity& leaf, HttpsOptions options)
      : options_(std::move(options)),
        server_([this, &leaf](SSL_CTX& context) { return configure(context, leaf); }) {
    if (options_.onePerConnection) server_.set_keep_alive_max_count(1);
  }
  ~HttpsTestServer() { stop(); }
  HttpsTestServer(const HttpsTestServer&) = delete;
  HttpsTestServer& operator=(const HttpsTestServer&) = delete;

  httplib::Server& server() { return server_; }

  // Binds to a free port and starts serving; returns "https://<host>:N".
  std::string start(const std::string& host = "localhost") {
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running())
      std::this_thread::yield();
    return "https://" + host + ":" + std::to_string(port_);
  }
  void stop() {
    if (thread_.joinable()) {
      server_.stop();
      thread_.join();
    }
  }
  int port() const { return port_; }

 private:
  static int staple(SSL* ssl, void* data) {
    const auto* response = static_cast<const testpki::Bytes*>(data);
    auto* copy = static_cast<unsigned char*>(OPENSSL_malloc(response->size()));
    std::copy(response->begin(), response->end(), copy);
    SSL_set_tlsext_status_ocsp_resp(ssl, copy, static_cast<long>(response->size()));
    return SSL_TLSEXT_ERR_OK;
  }

  bool configure(SSL_CTX& context, const testpki::Identity& leaf) {
    SSL_CTX_set_min_proto_version(&context, TLS1_2_VERSION);
    if (SSL_CTX_use_certificate(&context, leaf.certificate.get()) != 1) return false;
    if (SSL_CTX_use_PrivateKey(&context, leaf.key.get()) != 1) return false;
    if (options_.chain) SSL_CTX_add1_chain_cert(&context, options_.chain->certificate.get());
    if (options_.requireClientCertificate) {
      const auto& pki = testpki::PKI::shared();
      X509_STORE* store = X509_STORE_new();
      X509_STORE_add_cert(store, pki.root.certificate.get());
      X509_STORE_add_cert(store, pki.intermediate.certificate.get());
      SSL_CTX_set_cert_store(&context, store);
      SSL_CTX_set_verify(&context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    if (!options_.stapledResponse.empty()) {
      SSL_CTX_set_tlsext_status_cb(&context, &HttpsTestServer::staple);
      SSL_CTX_set_tlsext_status_arg(&context, &options_.stapledResponse);
    }
    return true;
  }

  HttpsOptions options_;
  httplib::SSLServer server_;
  std::thread thread_;
  int port_ = 0;
};

}  // namespace testsupport
