// Server trust of Halyard sessions against HTTPS servers of the test PKI on 127.0.0.1.

#include <gtest/gtest.h>

#include <atomic>

#include "halyard/core/data_request.h"
#include "halyard/core/session.h"
#include "halyard/policies/server_trust_evaluation.h"
#include "halyard/support/wait.h"
#include "platform/net/url_error.h"
#include "platform/security/revocation.h"
#include "support/https_test_server.h"
#include "support/test_pki.h"

namespace {

using halyard::DataResponse;
using halyard::HalyardError;
using halyard::Session;
using halyardtest::waitUntil;
using platform::URLError;
using Reason = HalyardError::ServerTrustFailureReason;
using testpki::PKI;
using testsupport::HttpsTestServer;

// Counts challenges and completed tasks. Both events reach the monitor in the order they were
// raised, so once a task's completion has been counted, so has its challenge; the response's
// handler, on another road, can run before either.
class ChallengeCounter : public halyard::EventMonitor {
 public:
  std::atomic<int> challenges{0};
  std::atomic<int> completions{0};
  void taskDidReceiveChallenge(const halyard::URLSessionPtr&, const halyard::URLSessionTaskPtr&,
                               const halyard::AuthenticationChallengePtr&) override {
    ++challenges;
  }
  void taskDidComplete(const halyard::URLSessionPtr&, const halyard::URLSessionTaskPtr&,
                       const platform::ErrorPtr&) override {
    ++completions;
  }
  int challengesOnceCompleted(int tasks) {
    EXPECT_TRUE(waitUntil([&] { return completions.load() >= tasks; }, 20));
    return challenges.load();
  }
};

struct Outcome {
  std::optional<std::string> body;
  std::optional<HalyardError> error;
};

Outcome fetch(const std::shared_ptr<Session>& session, const std::string& url) {
  std::optional<DataResponse<std::string>> received;
  session->makeDataRequest(url)->responseAsString([&](const auto& r) { received = r; });
  EXPECT_TRUE(waitUntil([&] { return received.has_value(); }, 20));
  if (!received) return {};
  if (received->result) return {*received->result, std::nullopt};
  return {std::nullopt, received->result.error()};
}

std::optional<URLError::Code> urlCode(const Outcome& outcome) {
  if (!outcome.error) return std::nullopt;
  if (auto* e = dynamic_cast<const URLError*>(outcome.error->wrappedError().get())) {
    return e->code();
  }
  return std::nullopt;
}

// The index of the server-trust reason, or -1.
int trustReason(const Outcome& outcome) {
  if (!outcome.error) return -1;
  auto* failed = outcome.error->as<HalyardError::ServerTrustEvaluationFailed>();
  return failed ? static_cast<int>(failed->reason.storage.index()) : -1;
}

template <class R, std::size_t I = 0>
constexpr int reason() {
  if constexpr (std::is_same_v<std::variant_alternative_t<I, Reason::Storage>, R>) {
    return static_cast<int>(I);
  } else {
    return reason<R, I + 1>();
  }
}

void serveHello(HttpsTestServer& server) {
  server.server().Get("/hello", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("hello", "text/plain");
  });
}

std::shared_ptr<Session> sessionWith(std::shared_ptr<halyard::ServerTrustManager> manager,
                                     std::shared_ptr<ChallengeCounter> counter = nullptr) {
  std::vector<halyard::EventMonitorPtr> monitors;
  if (counter) monitors.push_back(counter);
  return Session::initWithConfiguration(platform::URLSessionConfiguration::ephemeral(),
                                        std::make_shared<halyard::SessionDelegate>(), nullptr, true,
                                        nullptr, nullptr, nullptr, std::move(manager), nullptr,
                                        nullptr, std::move(monitors));
}

TEST(ServerTrustITest, WithoutAManagerTheSystemDecides) {
  auto& p = PKI::shared();
  struct Row {
    const char* name;
    const testpki::Identity* leaf;
    std::optional<URLError::Code> failure;
  } rows[] = {
      {"valid", &p.leaf, std::nullopt},
      {"expired", &p.expired, URLError::Code::serverCertificateHasBadDate},
      {"not yet valid", &p.notYetValid, URLError::Code::serverCertificateNotYetValid},
      {"self-signed", &p.selfSigned, URLError::Code::serverCertificateHasUnknownRoot},
      {"wrong host", &p.wrongHost, URLError::Code::serverCertificateUntrusted},
  };
  for (const auto& row : rows) {
    HttpsTestServer server(*row.leaf,
                           {.chain = row.leaf == &p.selfSigned ? nullptr : &p.intermediate});
    serveHello(server);
    const auto base = server.start();
    auto counter = std::make_shared<ChallengeCounter>();
    auto session = sessionWith(nullptr, counter);
    auto outcome = fetch(session, base + "/hello");
    EXPECT_EQ(urlCode(outcome), row.failure) << row.name;
    int tasks = 1;
    if (!row.failure) {
      EXPECT_EQ(outcome.body, "hello") << row.name;
      fetch(session, base + "/hello");  // the same connection again: no new challenge
      ++tasks;
    }
    EXPECT_EQ(counter->challengesOnceCompleted(tasks), 1) << row.name;
  }
}

TEST(ServerTrustITest, TheManagersEvaluatorDecides) {
  auto& p = PKI::shared();
  platform::removeCachedRevocationLists();
  p.revocation.reset();
  p.revocation.revoke(p.revocable.serial());
  using Manager = halyard::ServerTrustManager;
  auto manager = [](std::string host, halyard::ServerTrustEvaluatingPtr evaluator,
                    bool all = true) {
    return std::make_shared<Manager>(
        std::map<std::string, halyard::ServerTrustEvaluatingPtr>{
            {std::move(host), std::move(evaluator)}},
        all);
  };
  struct Row {
    const char* name;
    const testpki::Identity* leaf;
    std::string host;
    std::shared_ptr<Manager> manager;
    int reasonIndex;  // -1: fetched
  } rows[] = {
      {"pinned key matches", &p.leaf, "localhost",
       manager("localhost", std::make_shared<halyard::PublicKeysTrustEvaluator>(
                                std::vector{p.intermediate.publicKey()})),
       -1},
      {"pinned key differs", &p.leaf, "localhost",
       manager("localhost", std::make_shared<halyard::PublicKeysTrustEvaluator>(
                                std::vector{p.unrelatedRoot.publicKey()})),
       reason<Reason::PublicKeyPinningFailed>()},
      {"pinned self-signed accepted", &p.selfSigned, "localhost",
       manager("localhost", std::make_shared<halyard::PinnedCertificatesTrustEvaluator>(
                                std::vector{p.selfSigned.sec()}, true)),
       -1},
      {"disabled on an expired chain", &p.expired, "localhost",
       manager("localhost", std::make_shared<halyard::DisabledTrustEvaluator>()), -1},
      {"no evaluator while all hosts must be evaluated", &p.leaf, "localhost",
       manager("example.test", std::make_shared<halyard::DisabledTrustEvaluator>()),
       reason<Reason::NoRequiredEvaluator>()},
      {"capitals meet the lower-case evaluator", &p.expired, "LOCALHOST",
       manager("localhost", std::make_shared<halyard::DefaultTrustEvaluator>()),
       reason<Reason::TrustEvaluationFailed>()},
      {"revoked leaf", &p.revocable, "localhost",
       manager("localhost", std::make_shared<halyard::RevocationTrustEvaluator>()),
       reason<Reason::TrustEvaluationFailed>()},
  };
  for (const auto& row : rows) {
    HttpsTestServer server(*row.leaf,
                           {.chain = row.leaf == &p.selfSigned ? nullptr : &p.intermediate});
    serveHello(server);
    const auto base = server.start(row.host);
    auto outcome = fetch(sessionWith(row.manager), base + "/hello");
    EXPECT_EQ(trustReason(outcome), row.reasonIndex)
        << row.name << ": " << (outcome.error ? outcome.error->debugDescription() : "fetched");
    if (row.reasonIndex == -1) {
      EXPECT_EQ(outcome.body, "hello") << row.name;
    }
    if (row.reasonIndex == reason<Reason::PublicKeyPinningFailed>()) {
      auto* failed = outcome.error->as<HalyardError::ServerTrustEvaluationFailed>();
      EXPECT_EQ(std::get<Reason::PublicKeyPinningFailed>(failed->reason.storage).host, "localhost");
    }
  }
  p.revocation.reset();
}

TEST(ServerTrustITest, AStapledOCSPResponseDecidesWithoutTheNetwork) {
  auto& p = PKI::shared();
  platform::removeCachedRevocationLists();
  p.revocation.reset();
  // The responder would say revoked; with network access off it is never asked, so only a
  // stapled answer can tell.
  p.revocation.revoke(p.revocable.serial());
  using Options = halyard::RevocationTrustEvaluator::Options;
  const Options offline{Options::useOCSP | Options::disableNetworkAccess};
  struct Row {
    const char* name;
    std::optional<bool> stapledRevoked;  // none: nothing stapled
    bool fetched;
  } rows[] = {
      {"stapled revoked", true, false},
      {"stapled good", false, true},
      {"nothing stapled: undetermined, which passes", std::nullopt, true},
  };
  for (const auto& row : rows) {
    testsupport::HttpsOptions options{.chain = &p.intermediate, .onePerConnection = true};
    if (row.stapledRevoked) {
      options.stapledResponse =
          testpki::ocspResponse(p.revocable, p.intermediate, *row.stapledRevoked);
    }
    HttpsTestServer server(p.revocable, options);
    serveHello(server);
    const auto base = server.start();
    auto manager = std::make_shared<halyard::ServerTrustManager>(
        std::map<std::string, halyard::ServerTrustEvaluatingPtr>{
            {"localhost",
             std::make_shared<halyard::RevocationTrustEvaluator>(true, true, offline)}});
    auto outcome = fetch(sessionWith(manager), base + "/hello");
    EXPECT_EQ(trustReason(outcome), row.fetched ? -1 : reason<Reason::TrustEvaluationFailed>())
        << row.name << ": " << (outcome.error ? outcome.error->debugDescription() : "fetched");
    EXPECT_EQ(outcome.body.has_value(), row.fetched) << row.name;
  }
  EXPECT_EQ(p.revocation.ocspHits.load(), 0);
  EXPECT_EQ(p.revocation.crlHits.load(), 0);
  p.revocation.reset();
}

}  // namespace
