#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>

#include "platform/dispatch/main_queue.h"
#include "platform/net/support/recording_delegate.h"
#include "platform/net/support/self_signed_certificate.h"
#include "platform/net/url_error.h"
#include "platform/net/url_session.h"
#include "support/recorder.h"

namespace {

using platform::URLError;
using platform::URLSession;

// The Sec-WebSocket-Accept answer to `key` (RFC 6455 §4.2.2), computed here on its own.
std::string acceptFor(const std::string& key) {
  const std::string joined = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(joined.data()), joined.size(), digest);
  unsigned char encoded[4 * ((SHA_DIGEST_LENGTH + 2) / 3) + 1];
  const int length = EVP_EncodeBlock(encoded, digest, SHA_DIGEST_LENGTH);
  return std::string(reinterpret_cast<const char*>(encoded), std::size_t(length));
}

// A TLS server of raw OpenSSL with a certificate made now; it records each client's ALPN offer.
// With `greeting`, a client that completes the handshake and asks for a web socket gets the
// upgrade and then that text as one unmasked frame.
class RecordingTLSServer {
 public:
  explicit RecordingTLSServer(const nettest::SelfSignedCertificate& certificate,
                              std::string greeting = {}) {
    context_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_file(context_, certificate.certificatePath.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(context_, certificate.keyPath.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_set_alpn_select_cb(context_, &RecordingTLSServer::selectProtocol, this);
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 8);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, greeting] {
      while (!stopping_) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) continue;
        SSL* ssl = SSL_new(context_);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) == 1 && !greeting.empty()) greet(ssl, greeting);
        SSL_free(ssl);
        ::close(fd);
      }
    });
  }
  ~RecordingTLSServer() {
    stopping_ = true;
    thread_.join();
    ::close(listener_);
    SSL_CTX_free(context_);
  }
  int port() const { return port_; }
  std::vector<std::string> offers() { return offers_.entries(); }

 private:
  static void greet(SSL* ssl, const std::string& greeting) {
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
      const int n = SSL_read(ssl, buffer, sizeof buffer);
      if (n <= 0) return;
      head.append(buffer, std::size_t(n));
    }
    const std::string field = "Sec-WebSocket-Key: ";
    const auto at = head.find(field);
    if (at == std::string::npos) return;
    const auto end = head.find("\r\n", at);
    const std::string key = head.substr(at + field.size(), end - at - field.size());
    std::string answer =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Accept: " +
        acceptFor(key) + "\r\n\r\n";
    answer += char(0x81);
    answer += char(greeting.size());  // a short text: its length fits the first length byte
    answer += greeting;
    SSL_write(ssl, answer.data(), int(answer.size()));
    // Stay until the client says something (its close), so the message is not lost to a reset.
    pollfd p{SSL_get_fd(ssl), POLLIN, 0};
    if (::poll(&p, 1, 2000) > 0) SSL_read(ssl, buffer, sizeof buffer);
  }

  static int selectProtocol(SSL*, const unsigned char** out, unsigned char* outLength,
                            const unsigned char* in, unsigned int inLength, void* data) {
    auto* self = static_cast<RecordingTLSServer*>(data);
    std::string offer;
    for (unsigned int i = 0; i < inLength; i += 1 + in[i]) {
      if (!offer.empty()) offer += ",";
      offer.append(reinterpret_cast<const char*>(in + i + 1), in[i]);
    }
    self->offers_.add(offer);
    *out = in + 1;
    *outLength = in[0];
    return SSL_TLSEXT_ERR_OK;
  }

  SSL_CTX* context_ = nullptr;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  testsupport::Recorder<std::string> offers_;
};

TEST(WebSocketTLSTest, AnUntrustedServerFailsAsForHTTPSAndOnlyHTTP11IsOffered) {
  nettest::SelfSignedCertificate certificate;
  RecordingTLSServer server(certificate);
  auto delegate = std::make_shared<nettest::RecordingDelegate>();
  auto session = URLSession::make(platform::URLSessionConfiguration::ephemeral(), delegate,
                                  nettest::mainDelegateQueue());
  const std::string origin = "127.0.0.1:" + std::to_string(server.port()) + "/";
  auto https = session->dataTask(*platform::URL::fromString("https://" + origin));
  https->resume();
  ASSERT_TRUE(platform::runMainUntil(
      [&] { return delegate->record(https->taskIdentifier()).completed; }, 10));
  auto socket =
      session->webSocketTask(platform::URLRequest(*platform::URL::fromString("wss://" + origin)));
  std::vector<std::string> receiveErrors;
  socket->receive([&](auto result) {
    receiveErrors.push_back(
        result ? "message"
               : std::to_string(static_cast<int>(nettest::urlError(result.error())->code())));
  });
  socket->resume();
  ASSERT_TRUE(platform::runMainUntil(
      [&] { return delegate->record(socket->taskIdentifier()).completed; }, 10));

  auto* httpsError = nettest::urlError(delegate->record(https->taskIdentifier()).error);
  auto* socketError = nettest::urlError(delegate->record(socket->taskIdentifier()).error);
  ASSERT_TRUE(httpsError && socketError);
  EXPECT_EQ(socketError->code(), httpsError->code());
  EXPECT_EQ(socketError->code(), URLError::Code::serverCertificateHasUnknownRoot);
  EXPECT_EQ(receiveErrors, std::vector<std::string>{std::to_string(
                               static_cast<int>(URLError::Code::serverCertificateHasUnknownRoot))});
  const auto offers = server.offers();
  ASSERT_EQ(offers.size(), 2u);
  EXPECT_EQ(offers[1], "http/1.1");
}

// Accepts whatever server the challenge shows, as a caller that pinned it by other means would.
class TrustingDelegate : public nettest::RecordingDelegate {
 public:
  void didReceiveChallenge(const SessionPtr&, const TaskPtr&, const ChallengePtr& challenge,
                           ChallengeHandler handler) override {
    ++challenges;
    handler(AuthChallengeDisposition::useCredential,
            platform::URLCredential(challenge->protectionSpace().serverTrust()));
  }
  std::atomic<int> challenges{0};
};

TEST(WebSocketTLSTest, AServerTheDelegateTrustsIsReachedOverWss) {
  nettest::SelfSignedCertificate certificate;
  RecordingTLSServer server(certificate, "hello over tls");
  auto delegate = std::make_shared<TrustingDelegate>();
  auto session = URLSession::make(platform::URLSessionConfiguration::ephemeral(), delegate,
                                  nettest::mainDelegateQueue());
  auto socket = session->webSocketTask(platform::URLRequest(
      *platform::URL::fromString("wss://127.0.0.1:" + std::to_string(server.port()) + "/")));
  std::optional<std::string> received;
  socket->receive([&](auto result) {
    received = result && result->isText() ? result->text() : std::string("(failed)");
  });
  socket->resume();
  ASSERT_TRUE(platform::runMainUntil([&] { return received.has_value(); }, 10));
  EXPECT_EQ(*received, "hello over tls");
  EXPECT_EQ(delegate->challenges.load(), 1);
  socket->cancel();
  EXPECT_TRUE(platform::runMainUntil(
      [&] { return delegate->record(socket->taskIdentifier()).completed; }, 10));
}

}  // namespace
