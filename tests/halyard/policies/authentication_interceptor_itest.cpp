// The authentication interceptor: signing, deferred adapts around a refresh, the refresh window,
// and the retry path through a real session against a server that accepts one token.

#include "halyard/policies/authentication_interceptor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "halyard/core/data_request.h"
#include "halyard/core/session.h"
#include "halyard/support/test_server.h"
#include "halyard/support/wait.h"
#include "support/recorder.h"

namespace {

using halyard::AdaptationResult;
using halyard::AuthenticationError;
using halyard::Session;
using halyardtest::TestServer;
using halyardtest::waitUntil;

struct Token {
  std::string value;
  bool expired = false;
  bool requiresRefresh() const { return expired; }
};

using RefreshDone = std::function<void(std::expected<Token, platform::ErrorPtr>)>;

// Refreshes are held until the test answers them, unless `onRefresh` answers at once.
class TestAuthenticator {
 public:
  using Credential = Token;
  std::function<void(RefreshDone)> onRefresh;
  std::function<void()> onJudge;
  mutable std::atomic<int> refreshes{0};

  void applyCredential(const Token& token, platform::URLRequest& request) const {
    request.setValueForHTTPHeaderField("Bearer " + token.value, "Authorization");
  }
  void refreshCredential(const Token&, const std::shared_ptr<Session>&, RefreshDone done) const {
    ++refreshes;
    if (onRefresh) return onRefresh(std::move(done));
    std::lock_guard lock(mutex_);
    pending_.push_back(std::move(done));
  }
  bool didRequestFailDueToAuthentication(const platform::URLRequest&,
                                         const platform::HTTPURLResponse& response,
                                         const platform::ErrorPtr&) const {
    return response.statusCode() == 401;
  }
  bool isRequestAuthenticatedWithCredential(const platform::URLRequest& request,
                                            const Token& token) const {
    if (onJudge) onJudge();
    return request.valueForHTTPHeaderField("Authorization") == "Bearer " + token.value;
  }

  std::size_t held() const {
    std::lock_guard lock(mutex_);
    return pending_.size();
  }
  RefreshDone take() {
    std::lock_guard lock(mutex_);
    if (pending_.empty()) return [](std::expected<Token, platform::ErrorPtr>) {};
    auto done = std::move(pending_.front());
    pending_.erase(pending_.begin());
    return done;
  }

 private:
  mutable std::mutex mutex_;
  mutable std::vector<RefreshDone> pending_;
};

using Interceptor = halyard::AuthenticationInterceptor<TestAuthenticator>;

// Collects adapt outcomes, which may arrive on any thread.
struct Adapted {
  testsupport::Recorder<std::string> outcomes;  // the Authorization sent, or "error:<kind>"
  halyard::AdaptCompletion completion() {
    return [this](AdaptationResult result) {
      if (result) {
        outcomes.add(result->valueForHTTPHeaderField("Authorization").value_or("none"));
      } else if (auto* e = dynamic_cast<const AuthenticationError*>(result.error().get())) {
        outcomes.add("error:" + std::to_string(static_cast<int>(e->kind())));
      } else {
        outcomes.add("error:" + result.error()->localizedDescription());
      }
    };
  }
  std::vector<std::string> get() { return outcomes.entries(); }
  std::size_t count() { return outcomes.size(); }
};

const std::string kMissing = "error:0", kExcessive = "error:1", kDropped = "error:2";

platform::URLRequest anyRequest(const std::string& path = "/a") {
  return platform::URLRequest(*platform::URL::fromString("http://127.0.0.1:9" + path));
}

TEST(AuthenticationInterceptorTest, AdaptSignsAtOnceOrWaitsForTheRefresh) {
  auto authenticator = std::make_shared<TestAuthenticator>();
  // A valid credential signs synchronously.
  {
    auto interceptor = Interceptor::make(authenticator, Token{"valid"});
    Adapted adapted;
    interceptor->adaptForSession(anyRequest(), nullptr, adapted.completion());
    EXPECT_EQ(adapted.get(), std::vector<std::string>{"Bearer valid"});
  }
  // No credential at all.
  {
    auto interceptor = Interceptor::make(authenticator);
    Adapted adapted;
    interceptor->adaptForSession(anyRequest(), nullptr, adapted.completion());
    EXPECT_EQ(adapted.get(), std::vector<std::string>{kMissing});
  }
  // An expired credential: both adapts wait for the one refresh and run again in order.
  {
    auto interceptor = Interceptor::make(authenticator, Token{"old", true});
    Adapted adapted;
    interceptor->adaptForSession(anyRequest("/1"), nullptr, adapted.completion());
    interceptor->adaptForSession(anyRequest("/2"), nullptr, adapted.completion());
    ASSERT_TRUE(waitUntil([&] { return authenticator->held() == 1; }));
    EXPECT_EQ(adapted.count(), 0u);
    authenticator->take()(Token{"fresh"});
    ASSERT_TRUE(waitUntil([&] { return adapted.count() == 2; }));
    EXPECT_EQ(adapted.get(), (std::vector<std::string>{"Bearer fresh", "Bearer fresh"}));
    EXPECT_EQ(authenticator->refreshes.load(), 1);
  }
}

TEST(AuthenticationInterceptorTest, TheRefreshWindowStopsLoops) {
  struct Row {
    const char* name;
    std::optional<Interceptor::RefreshWindow> window;
    int expiredAnswers;  // refreshes answered with a credential that is still expired
    std::string outcome;
    int refreshes;
  } rows[] = {
      {"third refresh in the window is refused", Interceptor::RefreshWindow{60, 2}, 2, kExcessive,
       2},
      {"no window never refuses", std::nullopt, 6, "Bearer fresh", 7},
      {"default window allows five", Interceptor::RefreshWindow{}, 4, "Bearer fresh", 5},
  };
  for (const auto& row : rows) {
    auto authenticator = std::make_shared<TestAuthenticator>();
    int answered = 0;
    authenticator->onRefresh = [&](RefreshDone done) {
      ++answered;
      done(answered <= row.expiredAnswers ? Token{"stale", true} : Token{"fresh"});
    };
    auto interceptor = Interceptor::make(authenticator, Token{"old", true}, row.window);
    Adapted adapted;
    interceptor->adaptForSession(anyRequest(), nullptr, adapted.completion());
    ASSERT_TRUE(waitUntil([&] { return adapted.count() == 1; })) << row.name;
    EXPECT_EQ(adapted.get()[0], row.outcome) << row.name;
    EXPECT_EQ(authenticator->refreshes.load(), row.refreshes) << row.name;
  }
}

TEST(AuthenticationInterceptorTest, ARefreshCompletionActsOnceAndIsNeverLost) {
  // A second call of the completion neither ends a later refresh nor puts an older credential
  // back.
  {
    auto authenticator = std::make_shared<TestAuthenticator>();
    auto interceptor = Interceptor::make(authenticator, Token{"old", true});
    Adapted adapted;
    interceptor->adaptForSession(anyRequest(), nullptr, adapted.completion());
    ASSERT_TRUE(waitUntil([&] { return authenticator->held() == 1; }));
    auto done = authenticator->take();
    done(Token{"first"});
    ASSERT_TRUE(waitUntil([&] { return adapted.count() == 1; }));
    interceptor->setCredential(Token{"expires", true});
    interceptor->adaptForSession(anyRequest(), nullptr, adapted.completion());
    ASSERT_TRUE(waitUntil([&] { return authenticator->held() == 1; }));
    done(Token{"replayed"});  // the old completion again, during the second refresh
    platform::drainMainQueue();
    ASSERT_EQ(adapted.count(), 1u);  // the second adapt still waits for its own refresh
    ASSERT_EQ(interceptor->credential()->value, "expires");
    ASSERT_EQ(authenticator->held(), 1u);
    authenticator->take()(Token{"second"});
    ASSERT_TRUE(waitUntil([&] { return adapted.count() == 2; }));
    EXPECT_EQ(adapted.get(), (std::vector<std::string>{"Bearer first", "Bearer second"}));
  }
  // A completion dropped without a call fails what waits for it.
  {
    auto authenticator = std::make_shared<TestAuthenticator>();
    authenticator->onRefresh = [](RefreshDone) {};
    auto interceptor = Interceptor::make(authenticator, Token{"old", true});
    Adapted adapted;
    interceptor->adaptForSession(anyRequest(), nullptr, adapted.completion());
    ASSERT_TRUE(waitUntil([&] { return adapted.count() == 1; }));
    EXPECT_EQ(adapted.get()[0], kDropped);
  }
  // Timestamps that left the window are forgotten; the window still counts the recent ones.
  {
    auto authenticator = std::make_shared<TestAuthenticator>();
    authenticator->onRefresh = [](RefreshDone done) { done(Token{"fresh"}); };
    auto interceptor =
        Interceptor::make(authenticator, Token{"old", true}, Interceptor::RefreshWindow{1e-9, 2});
    for (int i = 0; i < 5; ++i) {
      Adapted adapted;
      interceptor->setCredential(Token{"old", true});
      interceptor->adaptForSession(anyRequest(), nullptr, adapted.completion());
      ASSERT_TRUE(waitUntil([&] { return adapted.count() == 1; }));
      EXPECT_EQ(adapted.get()[0], "Bearer fresh");
    }
    EXPECT_EQ(interceptor->keptRefreshTimestamps(), 1u);
  }
}

// A server that accepts only the current token and counts refreshes of it.
class TokenServer {
 public:
  TokenServer() {
    server_.server().Get("/api",
                         [this](const httplib::Request& request, httplib::Response& response) {
                           std::lock_guard lock(mutex_);
                           if (request.get_header_value("Authorization") == "Bearer " + token_) {
                             response.set_content("ok", "text/plain");
                           } else {
                             response.status = 401;
                           }
                         });
    server_.server().Post("/refresh", [this](const httplib::Request&, httplib::Response& r) {
      std::lock_guard lock(mutex_);
      ++refreshes_;
      token_ = "token" + std::to_string(refreshes_);
      r.set_content(token_, "text/plain");
    });
    base_ = server_.start();
  }
  const std::string& base() const { return base_; }
  int refreshes() {
    std::lock_guard lock(mutex_);
    return refreshes_;
  }
  void rotate(std::string token) {
    std::lock_guard lock(mutex_);
    token_ = std::move(token);
  }

 private:
  TestServer server_;
  std::string base_;
  std::mutex mutex_;
  std::string token_ = "token0";
  int refreshes_ = 0;
};

std::optional<int> status(const std::shared_ptr<Session>& session, const std::string& url) {
  auto result = std::make_shared<std::optional<int>>();
  session->makeDataRequest(url)->responseAsString([result](const auto& r) {
    *result = r.response ? static_cast<int>(r.response->statusCode()) : -1;
  });
  EXPECT_TRUE(waitUntil([&] { return result->has_value(); }, 20));
  return *result;
}

TEST(AuthenticationInterceptorITest, ConcurrentRejectionsShareOneRefresh) {
  TokenServer server;
  server.rotate("token-current");
  auto authenticator = std::make_shared<TestAuthenticator>();
  authenticator->onRefresh = [&server](RefreshDone done) {
    httplib::Client client(server.base());
    auto answer = client.Post("/refresh");
    if (answer && answer->status == 200) return done(Token{answer->body});
    done(std::unexpected(
        platform::makeError(AuthenticationError(AuthenticationError::Kind::missingCredential))));
  };
  auto interceptor = Interceptor::make(authenticator, Token{"expired-on-the-server"});
  auto session = Session::initWithConfiguration(platform::URLSessionConfiguration::ephemeral(),
                                                std::make_shared<halyard::SessionDelegate>(),
                                                nullptr, true, nullptr, nullptr, interceptor);
  std::atomic<int> done{0};
  std::vector<std::shared_ptr<halyard::DataRequest>> requests;
  testsupport::Recorder<int> statuses;
  for (int i = 0; i < 10; ++i) {
    auto request = session->makeDataRequest(server.base() + "/api");
    request->responseAsString([&](const auto& r) {
      statuses.add(r.response ? static_cast<int>(r.response->statusCode()) : -1);
      ++done;
    });
    requests.push_back(request);
  }
  ASSERT_TRUE(waitUntil([&] { return done == 10; }, 30));
  EXPECT_EQ(statuses.entries(), std::vector<int>(10, 200));
  EXPECT_EQ(server.refreshes(), 1);
  EXPECT_EQ(authenticator->refreshes.load(), 1);
}

TEST(AuthenticationInterceptorITest, ARetryAgainstAReplacedCredentialRetriesWithoutRefreshing) {
  TokenServer server;
  server.rotate("replacement");
  auto authenticator = std::make_shared<TestAuthenticator>();
  authenticator->onRefresh = [](RefreshDone done) { done(Token{"from-a-stale-refresh"}); };
  std::shared_ptr<Interceptor> interceptor;
  // While the retry is being judged, another thread replaces the credential.
  std::atomic<bool> replaced{false};
  authenticator->onJudge = [&] {
    if (!replaced.exchange(true)) interceptor->setCredential(Token{"replacement"});
  };
  interceptor = Interceptor::make(authenticator, Token{"rejected"});
  auto session = Session::initWithConfiguration(platform::URLSessionConfiguration::ephemeral(),
                                                std::make_shared<halyard::SessionDelegate>(),
                                                nullptr, true, nullptr, nullptr, interceptor);
  EXPECT_EQ(status(session, server.base() + "/api"), 200);
  EXPECT_EQ(authenticator->refreshes.load(), 0);
  EXPECT_EQ(interceptor->credential()->value, "replacement");
}

}  // namespace
