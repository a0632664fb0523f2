#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "platform/dispatch/main_queue.h"
#include "platform/net/support/recording_delegate.h"
#include "platform/net/support/self_signed_certificate.h"
#include "platform/net/url_error.h"
#include "platform/net/url_session.h"
#include "support/recorder.h"
#include "support/web_socket_frames.h"

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
// upgrade and then that text as one unmasked frame. With `acknowledge`, it takes the upgrade
// and answers each whole data message with the text "ack:<length>", and a close with its echo.
class RecordingTLSServer {
 public:
  explicit RecordingTLSServer(const nettest::SelfSignedCertificate& certificate,
                              std::string greeting = {}, bool acknowledge = false) {
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
    thread_ = std::thread([this, greeting, acknowledge] {
      while (!stopping_) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) continue;
        SSL* ssl = SSL_new(context_);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) == 1 && !greeting.empty()) greet(ssl, greeting);
        if (acknowledge) acknowledgeMessages(ssl);
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

  // Reads the upgrade request; answers it and returns true when it asked for a web socket.
  static bool accept(SSL* ssl, std::vector<std::uint8_t>& rest) {
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
      const int n = SSL_read(ssl, buffer, sizeof buffer);
      if (n <= 0) return false;
      head.append(buffer, std::size_t(n));
    }
    const auto end = head.find("\r\n\r\n") + 4;
    rest.assign(head.begin() + std::ptrdiff_t(end), head.end());
    const std::string field = "Sec-WebSocket-Key: ";
    const auto at = head.find(field);
    if (at == std::string::npos) return false;
    const std::string key =
        head.substr(at + field.size(), head.find("\r\n", at) - at - field.size());
    const std::string answer =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Accept: " +
        acceptFor(key) + "\r\n\r\n";
    return SSL_write(ssl, answer.data(), int(answer.size())) > 0;
  }

  static void acknowledgeMessages(SSL* ssl) {
    std::vector<std::uint8_t> bytes;
    if (!accept(ssl, bytes)) return;
    std::vector<std::uint8_t> buffer(256 * 1024);
    std::size_t message = 0;
    while (true) {
      while (auto frame = testing_support::takeFrame(bytes)) {
        if (frame->opcode == 8) {
          auto echo = testing_support::serverFrame(8, frame->text().substr(0, 2));
          SSL_write(ssl, echo.data(), int(echo.size()));
          return;
        }
        if (frame->opcode > 2 || frame->opcode == 0) {
          message += frame->payload.size();
        } else {
          message = frame->payload.size();
        }
        if (frame->fin && frame->opcode < 8) {
          auto ack = testing_support::serverFrame(1, "ack:" + std::to_string(message));
          if (SSL_write(ssl, ack.data(), int(ack.size())) <= 0) return;
        }
      }
      const int n = SSL_read(ssl, buffer.data(), int(buffer.size()));
      if (n <= 0) return;
      bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + n);
    }
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

// Large messages back to back over TLS: the socket fills in the middle of each, so every one
// is written in many attempts, some of them from another call than the one that began it.
TEST(WebSocketTLSTest, LargeMessagesBackToBackArriveWhole) {
  nettest::SelfSignedCertificate certificate;
  RecordingTLSServer server(certificate, {}, true);
  const std::vector<std::pair<std::size_t, int>> rows = {
      {8u << 20, 2}, {4u << 20, 3}, {16u << 20, 2}};
  for (const auto& [size, count] : rows) {
    SCOPED_TRACE(std::to_string(size) + " x " + std::to_string(count));
    auto delegate = std::make_shared<TrustingDelegate>();
    auto session = URLSession::make(platform::URLSessionConfiguration::ephemeral(), delegate,
                                    nettest::mainDelegateQueue());
    auto socket = session->webSocketTask(platform::URLRequest(
        *platform::URL::fromString("wss://127.0.0.1:" + std::to_string(server.port()) + "/")));
    socket->resume();
    std::vector<std::string> events;
    // Each message goes once the one before it was written, as a caller streaming them would.
    std::function<void(int)> sendFrom = [&](int i) {
      if (i == count) return;
      socket->send(platform::URLSessionWebSocketTask::Message(
                       platform::Bytes(size, static_cast<std::uint8_t>(i))),
                   [&, i](platform::ErrorPtr error) {
                     events.push_back(error ? "send failed: " + error->debugDescription() : "sent");
                     if (!error) sendFrom(i + 1);
                   });
    };
    sendFrom(0);
    for (int i = 0; i < count; ++i) {
      socket->receive([&events](auto result) {
        events.push_back(result && result->isText()
                             ? result->text()
                             : "receive failed: " + (result ? std::string("bytes")
                                                            : result.error()->debugDescription()));
      });
    }
    ASSERT_TRUE(
        platform::runMainUntil([&] { return events.size() == std::size_t(2 * count); }, 60));
    std::vector<std::string> expected;
    for (int i = 0; i < count; ++i)
      expected.push_back("sent");
    for (int i = 0; i < count; ++i)
      expected.push_back("ack:" + std::to_string(size));
    std::vector<std::string> sorted = events;
    std::stable_partition(sorted.begin(), sorted.end(),
                          [](const std::string& e) { return !e.starts_with("ack:"); });
    EXPECT_EQ(sorted, expected);
    socket->cancel(platform::URLSessionWebSocketCloseCode::normalClosure, std::nullopt);
    EXPECT_TRUE(platform::runMainUntil(
        [&] { return delegate->record(socket->taskIdentifier()).completed; }, 10));
  }
}

}  // namespace
