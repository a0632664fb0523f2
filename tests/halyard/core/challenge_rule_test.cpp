#include <gtest/gtest.h>

#include "halyard/core/session.h"
#include "halyard/core/session_delegate.h"
#include "halyard/policies/server_trust_evaluation.h"
#include "support/test_pki.h"

namespace {

using halyard::HalyardError;
using platform::URLCredential;
using platform::URLProtectionSpace;
using Disposition = platform::URLSessionDelegate::AuthChallengeDisposition;
using Reason = HalyardError::ServerTrustFailureReason;

// Answers the delegate's questions from fixed values and counts credential lookups.
class FakeStateProvider : public halyard::SessionStateProvider {
 public:
  std::shared_ptr<halyard::ServerTrustManager> manager;
  std::optional<URLCredential> credential;
  int credentialLookups = 0;

  std::shared_ptr<halyard::ServerTrustManager> serverTrustManager() const override {
    return manager;
  }
  std::shared_ptr<halyard::RedirectHandler> redirectHandler() const override { return nullptr; }
  std::shared_ptr<halyard::CachedResponseHandler> cachedResponseHandler() const override {
    return nullptr;
  }
  halyard::RequestPtr requestForTask(const halyard::URLSessionTaskPtr&) override { return nullptr; }
  void didGatherMetricsForTask(const halyard::URLSessionTaskPtr&) override {}
  void didCompleteTask(const halyard::URLSessionTaskPtr&, std::function<void()>) override {}
  std::optional<URLCredential> credentialForTask(const halyard::URLSessionTaskPtr&,
                                                 const URLProtectionSpace&) override {
    ++credentialLookups;
    return credential;
  }
  void cancelRequestsForSessionInvalidation(const platform::ErrorPtr&) override {}
};

class PlainFailure : public platform::Error {
 public:
  std::string localizedDescription() const override { return "plain failure"; }
};

struct ThrowingEvaluator : halyard::ServerTrustEvaluating {
  std::function<void()> thrower;
  void evaluateTrust(const platform::SecTrustPtr&, const std::string&) const override { thrower(); }
};

std::shared_ptr<const platform::URLAuthenticationChallenge> challenge(std::string method,
                                                                      int failures = 0) {
  platform::SecTrustPtr trust;
  if (method == URLProtectionSpace::methodServerTrust) {
    trust =
        platform::SecTrust::create(testpki::PKI::shared().presented(testpki::PKI::shared().leaf),
                                   {platform::SecPolicy::createSSL(true, "localhost")});
  }
  return std::make_shared<const platform::URLAuthenticationChallenge>(
      URLProtectionSpace("localhost", 443, "https", "realm", std::move(method), trust),
      std::nullopt, failures);
}

struct Answer {
  Disposition disposition;
  std::optional<URLCredential> credential;
};

Answer ask(halyard::SessionDelegate& delegate,
           const std::shared_ptr<const platform::URLAuthenticationChallenge>& c) {
  std::optional<Answer> answer;
  delegate.didReceiveChallenge(nullptr, nullptr, c,
                               [&](Disposition d, std::optional<URLCredential> credential) {
                                 answer = Answer{d, std::move(credential)};
                               });
  EXPECT_TRUE(answer.has_value());  // answered before returning
  return answer.value_or(Answer{Disposition::cancelAuthenticationChallenge, std::nullopt});
}

TEST(ChallengeRuleTest, CredentialMethodsUseTheSessionsCredentialOnlyOnTheFirstAttempt) {
  const URLCredential password("user", "secret", URLCredential::Persistence::forSession);
  const char* methods[] = {URLProtectionSpace::methodHTTPBasic,
                           URLProtectionSpace::methodHTTPDigest, URLProtectionSpace::methodNTLM,
                           URLProtectionSpace::methodNegotiate,
                           URLProtectionSpace::methodClientCertificate};
  struct Row {
    const char* name;
    int failures;
    bool credentialHeld;
    Disposition expected;
    int lookups;
  } rows[] = {
      {"after a failure: rejected without a lookup", 1, true, Disposition::rejectProtectionSpace,
       0},
      {"first attempt with a credential", 0, true, Disposition::useCredential, 1},
      {"first attempt without one", 0, false, Disposition::performDefaultHandling, 1},
  };
  for (const char* method : methods) {
    for (const auto& row : rows) {
      auto provider = std::make_shared<FakeStateProvider>();
      if (row.credentialHeld) provider->credential = password;
      halyard::SessionDelegate delegate;
      delegate.setStateProvider(provider);
      auto answer = ask(delegate, challenge(method, row.failures));
      EXPECT_EQ(answer.disposition, row.expected) << method << ", " << row.name;
      EXPECT_EQ(answer.credential.has_value(), row.expected == Disposition::useCredential)
          << method << ", " << row.name;
      EXPECT_EQ(provider->credentialLookups, row.lookups) << method << ", " << row.name;
    }
  }
  // Without a state provider there is nothing to look up.
  halyard::SessionDelegate orphan;
  EXPECT_EQ(ask(orphan, challenge(URLProtectionSpace::methodHTTPBasic)).disposition,
            Disposition::performDefaultHandling);
  EXPECT_EQ(ask(orphan, challenge("NSURLAuthenticationMethodHTMLForm")).disposition,
            Disposition::performDefaultHandling);
}

TEST(ChallengeRuleTest, ServerTrustGoesThroughTheTrustManager) {
  auto accepting = std::make_shared<halyard::DisabledTrustEvaluator>();
  auto plain = std::make_shared<ThrowingEvaluator>();
  plain->thrower = [] { throw PlainFailure(); };
  auto halyardFailure = std::make_shared<ThrowingEvaluator>();
  halyardFailure->thrower = [] {
    throw HalyardError::serverTrustEvaluationFailed(Reason::NoCertificatesFound{});
  };
  auto manager = [](halyard::ServerTrustEvaluatingPtr evaluator, bool all) {
    std::map<std::string, halyard::ServerTrustEvaluatingPtr> map;
    if (evaluator) map.emplace("localhost", std::move(evaluator));
    return std::make_shared<halyard::ServerTrustManager>(std::move(map), all);
  };
  constexpr int none = -1;
  struct Row {
    const char* name;
    std::shared_ptr<halyard::ServerTrustManager> manager;
    Disposition expected;
    int reasonIndex;
  } rows[] = {
      {"no trust manager", nullptr, Disposition::performDefaultHandling, none},
      {"no evaluator, not required", manager(nullptr, false), Disposition::performDefaultHandling,
       none},
      {"no evaluator, required", manager(nullptr, true), Disposition::cancelAuthenticationChallenge,
       0 /* noRequiredEvaluator */},
      {"accepted", manager(accepting, true), Disposition::useCredential, none},
      {"plain error", manager(plain, true), Disposition::cancelAuthenticationChallenge,
       9 /* customEvaluationFailed */},
      {"HalyardError unchanged", manager(halyardFailure, true),
       Disposition::cancelAuthenticationChallenge, 10 /* noCertificatesFound */},
  };
  static_assert(
      std::is_same_v<std::variant_alternative_t<0, Reason::Storage>, Reason::NoRequiredEvaluator>);
  static_assert(std::is_same_v<std::variant_alternative_t<9, Reason::Storage>,
                               Reason::CustomEvaluationFailed>);
  static_assert(
      std::is_same_v<std::variant_alternative_t<10, Reason::Storage>, Reason::NoCertificatesFound>);
  for (const auto& row : rows) {
    auto provider = std::make_shared<FakeStateProvider>();
    provider->manager = row.manager;
    halyard::SessionDelegate delegate;
    delegate.setStateProvider(provider);
    auto c = challenge(URLProtectionSpace::methodServerTrust);
    auto answer = ask(delegate, c);
    EXPECT_EQ(answer.disposition, row.expected) << row.name;
    auto evaluation = delegate.attemptServerTrustEvaluation(c);
    EXPECT_EQ(evaluation.disposition, row.expected) << row.name;
    if (row.expected == Disposition::useCredential) {
      ASSERT_TRUE(answer.credential) << row.name;
      EXPECT_EQ(answer.credential->kind(), URLCredential::Kind::serverTrust) << row.name;
      EXPECT_EQ(answer.credential->serverTrust(), c->protectionSpace().serverTrust());
    }
    if (row.reasonIndex == none) {
      EXPECT_FALSE(evaluation.error) << row.name;
      continue;
    }
    ASSERT_TRUE(evaluation.error) << row.name;
    auto* failed = evaluation.error->as<HalyardError::ServerTrustEvaluationFailed>();
    ASSERT_NE(failed, nullptr) << row.name;
    EXPECT_EQ(static_cast<int>(failed->reason.storage.index()), row.reasonIndex) << row.name;
    if (auto* custom = std::get_if<Reason::CustomEvaluationFailed>(&failed->reason.storage)) {
      EXPECT_NE(dynamic_cast<const PlainFailure*>(custom->error.get()), nullptr);
    }
  }
}

TEST(ChallengeRuleTest, ARequestsCredentialBelongsToItsOwnOrigins) {
  auto space = [](std::string host, int port, std::string protocol) {
    return URLProtectionSpace(std::move(host), port, std::move(protocol), "realm",
                              URLProtectionSpace::methodHTTPBasic);
  };
  struct Row {
    const char* name;
    std::string url;
    URLProtectionSpace space;
    bool same;
  } rows[] = {
      {"same origin", "http://api.test:8080/a", space("api.test", 8080, "http"), true},
      {"default http port", "http://api.test/a", space("api.test", 80, "http"), true},
      {"default https port", "https://api.test/a", space("api.test", 443, "https"), true},
      {"host compared without case", "http://API.test/a", space("api.TEST", 80, "http"), true},
      {"other host", "http://api.test/a", space("evil.test", 80, "http"), false},
      {"other port", "http://api.test:8080/a", space("api.test", 8081, "http"), false},
      {"other scheme", "http://api.test/a", space("api.test", 80, "https"), false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(halyard::Session::sameOrigin(platform::URL::fromString(row.url), row.space), row.same)
        << row.name;
  }
}

}  // namespace
