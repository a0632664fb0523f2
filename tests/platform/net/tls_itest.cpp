// TLS connections of URL sessions against HTTPS servers of the test PKI on 127.0.0.1.

#include <gtest/gtest.h>

#include <atomic>

#include "platform/dispatch/main_queue.h"
#include "platform/net/support/recording_delegate.h"
#include "platform/net/support/test_server.h"
#include "platform/net/url_error.h"
#include "platform/net/url_session.h"
#include "support/https_test_server.h"
#include "support/recorder.h"
#include "support/test_pki.h"

namespace {

using platform::URL;
using platform::URLCredential;
using platform::URLError;
using platform::URLProtectionSpace;
using platform::URLRequest;
using platform::URLSession;
using platform::URLSessionConfiguration;
using Challenge = platform::URLSessionDelegate::AuthChallengeDisposition;
using testpki::PKI;
using testsupport::HttpsOptions;
using testsupport::HttpsTestServer;

// Records every challenge and answers it as the test says (default handling unless told).
class ChallengeDelegate : public nettest::RecordingDelegate {
 public:
  using Answerer = std::function<void(const ChallengePtr&, ChallengeHandler&)>;
  Answerer answerer;

  void didReceiveChallenge(const SessionPtr&, const TaskPtr&, const ChallengePtr& challenge,
                           ChallengeHandler completionHandler) override {
    challenges_.add(challenge);
    if (answerer) {
      answerer(challenge, completionHandler);
    } else {
      completionHandler(Challenge::performDefaultHandling, std::nullopt);
    }
  }
  std::vector<ChallengePtr> challenges() const { return challenges_.entries(); }

 private:
  testsupport::Recorder<ChallengePtr> challenges_;
};

class TLSTest : public testing::Test {
 protected:
  void TearDown() override {
    if (session_) {
      const bool delegated = session_->delegate() != nullptr;
      session_->invalidateAndCancel();
      if (delegated) platform::runMainUntil([&] { return delegate_->invalidated(); }, 10);
    }
    session_.reset();
    platform::drainMainQueue();
  }

  void startSession(bool withDelegate = true,
                    URLSessionConfiguration configuration = URLSessionConfiguration::ephemeral()) {
    session_ = URLSession::make(std::move(configuration), withDelegate ? delegate_ : nullptr,
                                nettest::mainDelegateQueue());
  }

  // Runs a GET to `url`; the record of the finished task (without a delegate, only its error
  // and response).
  nettest::TaskRecord get(const std::string& url, double timeout = 60) {
    if (!session_) startSession();
    URLRequest request(*URL::fromString(url));
    request.timeoutInterval = timeout;
    auto task = session_->dataTask(request);
    task->resume();
    if (!session_->delegate()) {
      EXPECT_TRUE(platform::runMainUntil(
          [&] { return task->state() == platform::URLSessionTask::State::completed; }, 20));
      nettest::TaskRecord record;
      record.error = task->error();
      record.response = task->response();
      return record;
    }
    EXPECT_TRUE(
        platform::runMainUntil([&] { return delegate_->isComplete(task->taskIdentifier()); }, 20));
    return delegate_->record(task->taskIdentifier());
  }

  static std::optional<URLError::Code> code(const nettest::TaskRecord& record) {
    if (auto* error = nettest::urlError(record.error)) return error->code();
    return std::nullopt;
  }

  std::shared_ptr<ChallengeDelegate> delegate_ = std::make_shared<ChallengeDelegate>();
  std::shared_ptr<URLSession> session_;
};

void serveHello(HttpsTestServer& server) {
  server.server().Get("/hello", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("hello", "text/plain");
  });
}

TEST_F(TLSTest, DefaultHandlingAcceptsOnlyTrustedChainsForTheHost) {
  auto& p = PKI::shared();
  struct Row {
    const char* name;
    const testpki::Identity* leaf;
    bool withDelegate;
    std::optional<URLError::Code> failure;
  } rows[] = {
      {"valid, delegate", &p.leaf, true, std::nullopt},
      {"valid, no delegate", &p.leaf, false, std::nullopt},
      {"expired", &p.expired, true, URLError::Code::serverCertificateHasBadDate},
      {"not yet valid", &p.notYetValid, true, URLError::Code::serverCertificateNotYetValid},
      {"self-signed", &p.selfSigned, true, URLError::Code::serverCertificateHasUnknownRoot},
      {"wrong host", &p.wrongHost, true, URLError::Code::serverCertificateUntrusted},
      {"wrong host, no delegate", &p.wrongHost, false, URLError::Code::serverCertificateUntrusted},
  };
  for (const auto& row : rows) {
    delegate_ = std::make_shared<ChallengeDelegate>();
    HttpsTestServer server(*row.leaf,
                           {.chain = row.leaf == &p.selfSigned ? nullptr : &p.intermediate});
    serveHello(server);
    const std::string base = server.start();
    startSession(row.withDelegate);
    auto record = get(base + "/hello");
    EXPECT_EQ(code(record), row.failure) << row.name;
    EXPECT_EQ(record.response != nullptr, !row.failure) << row.name;
    if (row.withDelegate) {
      if (!row.failure) {
        EXPECT_EQ(record.body_text(), "hello") << row.name;
      }
      ASSERT_EQ(delegate_->challenges().size(), 1u) << row.name;
      const auto& space = delegate_->challenges()[0]->protectionSpace();
      EXPECT_EQ(space.host(), "localhost") << row.name;
      EXPECT_EQ(space.port(), server.port()) << row.name;
      EXPECT_EQ(space.protocol(), "https") << row.name;
      EXPECT_EQ(space.authenticationMethod(), URLProtectionSpace::methodServerTrust) << row.name;
      ASSERT_TRUE(space.serverTrust()) << row.name;
      EXPECT_EQ(space.serverTrust()->presentedCertificates()[0]->data(), row.leaf->der())
          << row.name;
    }
    TearDown();
  }
}

// The first evaluation of the process reads the system's anchors; what OpenSSL noted on the
// way (the end of each PEM file) must not end up in the text of a trust failure.
TEST_F(TLSTest, ATrustFailureNamesOnlyItsOwnCause) {
  auto& p = PKI::shared();
  HttpsTestServer server(p.selfSigned, {});
  serveHello(server);
  const std::string base = server.start();
  startSession();
  auto record = get(base + "/hello");
  EXPECT_EQ(code(record), URLError::Code::serverCertificateHasUnknownRoot);
  ASSERT_TRUE(record.error);
  const std::string text = record.error->debugDescription();
  EXPECT_EQ(text.find("error:"), std::string::npos) << text;
  EXPECT_EQ(text.find("PEM"), std::string::npos) << text;
}

TEST_F(TLSTest, TheDelegatesAnswerDecidesTheConnection) {
  auto& p = PKI::shared();
  struct Row {
    const char* name;
    const testpki::Identity* leaf;
    std::function<void(const platform::URLSessionDelegate::ChallengePtr&,
                       platform::URLSessionDelegate::ChallengeHandler&)>
        answer;
    std::optional<URLError::Code> failure;
  } rows[] = {
      {"trust credential accepts an expired chain", &p.expired,
       [](auto& challenge, auto& handler) {
         handler(Challenge::useCredential,
                 URLCredential(challenge->protectionSpace().serverTrust()));
       },
       std::nullopt},
      {"a password counts as no credential", &p.expired,
       [](auto&, auto& handler) {
         handler(Challenge::useCredential,
                 URLCredential("u", "p", URLCredential::Persistence::none));
       },
       URLError::Code::serverCertificateHasBadDate},
      {"rejection evaluates afresh", &p.notYetValid,
       [](auto&, auto& handler) { handler(Challenge::rejectProtectionSpace, std::nullopt); },
       URLError::Code::serverCertificateNotYetValid},
      {"default handling ignores anchors an evaluator set", &p.selfSigned,
       [](auto& challenge, auto& handler) {
         auto trust = challenge->protectionSpace().serverTrust();
         trust->setAnchorCertificates({trust->presentedCertificates()[0]});
         handler(Challenge::performDefaultHandling, std::nullopt);
       },
       URLError::Code::serverCertificateHasUnknownRoot},
      {"cancel", &p.leaf,
       [](auto&, auto& handler) {
         handler(Challenge::cancelAuthenticationChallenge, std::nullopt);
       },
       URLError::Code::cancelled},
      {"a dropped handler cancels", &p.leaf, [](auto&, auto&) {}, URLError::Code::cancelled},
  };
  for (const auto& row : rows) {
    delegate_ = std::make_shared<ChallengeDelegate>();
    delegate_->answerer = row.answer;
    HttpsTestServer server(*row.leaf,
                           {.chain = row.leaf == &p.selfSigned ? nullptr : &p.intermediate});
    serveHello(server);
    const std::string base = server.start();
    startSession();
    auto record = get(base + "/hello");
    EXPECT_EQ(code(record), row.failure) << row.name;
    TearDown();
  }
}

TEST_F(TLSTest, OnlyNewConnectionsAreChallengedAndTheHostIsLowerCase) {
  auto& p = PKI::shared();
  HttpsTestServer server(p.leaf, {.chain = &p.intermediate});
  serveHello(server);
  const std::string base = server.start("LOCALHOST");
  startSession();
  EXPECT_EQ(get(base + "/hello").body_text(), "hello");
  EXPECT_EQ(get(base + "/hello").body_text(), "hello");  // the kept-alive connection
  ASSERT_EQ(delegate_->challenges().size(), 1u);
  EXPECT_EQ(delegate_->challenges()[0]->protectionSpace().host(), "localhost");

  HttpsTestServer fresh(p.leaf, {.chain = &p.intermediate, .onePerConnection = true});
  serveHello(fresh);
  const std::string freshBase = fresh.start();
  get(freshBase + "/hello");
  get(freshBase + "/hello");
  EXPECT_EQ(delegate_->challenges().size(), 3u);
}

TEST_F(TLSTest, AnUnansweredChallengeEndsWithTheTaskOrItsTimeOut) {
  auto& p = PKI::shared();
  HttpsTestServer server(p.leaf, {.chain = &p.intermediate, .onePerConnection = true});
  serveHello(server);
  const std::string base = server.start();
  std::vector<platform::URLSessionDelegate::ChallengeHandler> kept;
  delegate_->answerer = [&](auto&, auto& handler) { kept.push_back(std::move(handler)); };
  startSession();

  // Cancelled while waiting.
  auto task = session_->dataTask(URLRequest(*URL::fromString(base + "/hello")));
  task->resume();
  ASSERT_TRUE(platform::runMainUntil([&] { return kept.size() == 1; }, 10));
  task->cancel();
  ASSERT_TRUE(
      platform::runMainUntil([&] { return delegate_->isComplete(task->taskIdentifier()); }, 10));
  EXPECT_EQ(code(delegate_->record(task->taskIdentifier())), URLError::Code::cancelled);

  // Timed out while waiting; an answer after the end changes nothing.
  auto record = get(base + "/hello", 0.5);
  EXPECT_EQ(code(record), URLError::Code::timedOut);
  for (auto& handler : kept)
    handler(Challenge::performDefaultHandling, std::nullopt);
}

TEST_F(TLSTest, OtherTransfersMoveWhileAHandshakeWaits) {
  auto& p = PKI::shared();
  HttpsTestServer server(p.leaf, {.chain = &p.intermediate});
  serveHello(server);
  const std::string secure = server.start();
  nettest::TestServer plain;
  plain.server().Get("/plain", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("plain", "text/plain");
  });
  const std::string base = plain.start();
  std::optional<platform::URLSessionDelegate::ChallengeHandler> held;
  delegate_->answerer = [&](auto&, auto& handler) { held = std::move(handler); };
  startSession();
  auto waiting = session_->dataTask(URLRequest(*URL::fromString(secure + "/hello")));
  waiting->resume();
  ASSERT_TRUE(platform::runMainUntil([&] { return held.has_value(); }, 10));
  EXPECT_EQ(get(base + "/plain").body_text(), "plain");
  EXPECT_FALSE(delegate_->isComplete(waiting->taskIdentifier()));
  (*held)(Challenge::performDefaultHandling, std::nullopt);
  ASSERT_TRUE(
      platform::runMainUntil([&] { return delegate_->isComplete(waiting->taskIdentifier()); }, 10));
  EXPECT_EQ(delegate_->record(waiting->taskIdentifier()).body_text(), "hello");
}

// A download cancelled for its resume data while its handshake waits on the delegate: the
// handshake is left to end by itself, as for a plain cancel, and the connection is not
// stranded: the late answer changes nothing and the server is reached again.
TEST_F(TLSTest, CancellingForResumeDataDuringAHandshakeLetsTheHandshakeEnd) {
  auto& p = PKI::shared();
  HttpsTestServer server(p.leaf, {.chain = &p.intermediate});
  serveHello(server);
  const std::string base = server.start();
  std::vector<platform::URLSessionDelegate::ChallengeHandler> held;
  delegate_->answerer = [&](auto&, auto& handler) { held.push_back(std::move(handler)); };
  startSession();
  auto download = session_->downloadTask(URLRequest(*URL::fromString(base + "/hello")));
  download->resume();
  ASSERT_TRUE(platform::runMainUntil([&] { return held.size() == 1; }, 10));
  std::atomic<int> answers{0};
  std::optional<platform::Bytes> resumeData;
  download->cancelByProducingResumeData([&](std::optional<platform::Bytes> data) {
    resumeData = std::move(data);
    ++answers;
  });
  ASSERT_TRUE(platform::runMainUntil(
      [&] { return delegate_->isComplete(download->taskIdentifier()); }, 10));
  ASSERT_TRUE(platform::runMainUntil([&] { return answers.load() == 1; }, 10));
  EXPECT_FALSE(resumeData);  // nothing was received to continue from
  EXPECT_EQ(code(delegate_->record(download->taskIdentifier())), URLError::Code::cancelled);
  held[0](Challenge::performDefaultHandling, std::nullopt);

  delegate_->answerer = nullptr;
  auto record = get(base + "/hello", 10);
  EXPECT_FALSE(record.error) << record.error->debugDescription();
  EXPECT_EQ(record.body_text(), "hello");
  platform::drainMainQueue();
  EXPECT_EQ(answers.load(), 1);
}

TEST_F(TLSTest, ClientCertificatesAnswerServersThatAskForThem) {
  auto& p = PKI::shared();
  auto identity = platform::SecIdentity::create(p.client.sec(), p.client.key.get());
  ASSERT_TRUE(identity);
  struct Row {
    const char* name;
    std::optional<URLCredential> credential;
    std::optional<URLError::Code> failure;
  } rows[] = {
      {"identity",
       URLCredential(identity, {p.intermediate.sec()}, URLCredential::Persistence::forSession),
       std::nullopt},
      {"none", std::nullopt, URLError::Code::clientCertificateRequired},
      {"a password counts as none",
       URLCredential("user", "password", URLCredential::Persistence::none),
       URLError::Code::clientCertificateRequired},
  };
  for (const auto& row : rows) {
    delegate_ = std::make_shared<ChallengeDelegate>();
    delegate_->answerer = [&](const auto& challenge, auto& handler) {
      if (challenge->protectionSpace().authenticationMethod() ==
              URLProtectionSpace::methodClientCertificate &&
          row.credential) {
        handler(Challenge::useCredential, row.credential);
      } else {
        handler(Challenge::performDefaultHandling, std::nullopt);
      }
    };
    HttpsTestServer server(p.leaf, {.chain = &p.intermediate, .requireClientCertificate = true});
    serveHello(server);
    const std::string base = server.start();
    startSession();
    auto record = get(base + "/hello");
    EXPECT_EQ(code(record), row.failure)
        << row.name << ": " << (record.error ? record.error->debugDescription() : "");
    if (!row.failure) {
      EXPECT_EQ(record.body_text(), "hello") << row.name;
    }
    bool asked = false;
    for (const auto& c : delegate_->challenges()) {
      asked |= c->protectionSpace().authenticationMethod() ==
               URLProtectionSpace::methodClientCertificate;
    }
    EXPECT_TRUE(asked) << row.name;
    TearDown();
  }
}

}  // namespace
