#include "halyard/policies/response_cacher.h"

#include <gtest/gtest.h>

#include "halyard/core/session_delegate.h"

namespace {

using halyard::ResponseCacher;
using platform::CachedURLResponse;
using platform::CachedURLResponsePtr;

CachedURLResponsePtr proposal(std::string body) {
  auto response = std::make_shared<const platform::HTTPURLResponse>(
      *platform::URL::fromString("http://a.test/"), 200, "HTTP/1.1", platform::HTTPHeaderFields());
  return std::make_shared<const CachedURLResponse>(response,
                                                   platform::Bytes(body.begin(), body.end()));
}

// Only the session's cached-response handler is known.
class HandlerProvider : public halyard::SessionStateProvider {
 public:
  std::shared_ptr<halyard::CachedResponseHandler> handler;
  std::shared_ptr<halyard::ServerTrustManager> serverTrustManager() const override {
    return nullptr;
  }
  std::shared_ptr<halyard::RedirectHandler> redirectHandler() const override { return nullptr; }
  std::shared_ptr<halyard::CachedResponseHandler> cachedResponseHandler() const override {
    return handler;
  }
  halyard::RequestPtr requestForTask(const halyard::URLSessionTaskPtr&) override { return nullptr; }
  void didGatherMetricsForTask(const halyard::URLSessionTaskPtr&) override {}
  void didCompleteTask(const halyard::URLSessionTaskPtr&, std::function<void()>) override {}
  std::optional<platform::URLCredential> credentialForTask(
      const halyard::URLSessionTaskPtr&, const platform::URLProtectionSpace&) override {
    return std::nullopt;
  }
  void cancelRequestsForSessionInvalidation(const platform::ErrorPtr&) override {}
};

TEST(ResponseCacherTest, BehavioursAnswerOnceAndSynchronously) {
  const auto proposed = proposal("proposed");
  const auto other = proposal("other");
  const std::shared_ptr<platform::URLSessionDataTask> task;
  bool sawArguments = false;
  auto modifying = ResponseCacher::modify([&](const auto& t, const auto& r) {
    sawArguments = t == task && r == proposed;
    return other;
  });
  auto refusing = ResponseCacher::modify([](const auto&, const auto&) { return nullptr; });
  struct Row {
    const char* name;
    const halyard::CachedResponseHandler* handler;
    CachedURLResponsePtr answer;
  } rows[] = {
      {"cache", ResponseCacher::sharedCache().get(), proposed},
      {"do not cache a cacheable response", ResponseCacher::sharedDoNotCache().get(), nullptr},
      {"modify", &modifying, other},
      {"modify answering nothing", &refusing, nullptr},
  };
  for (const auto& row : rows) {
    int calls = 0;
    CachedURLResponsePtr answer = proposal("unset");
    row.handler->decideCaching(task, proposed, [&](CachedURLResponsePtr r) {
      ++calls;
      answer = std::move(r);
    });
    EXPECT_EQ(calls, 1) << row.name;
    EXPECT_EQ(answer, row.answer) << row.name;
  }
  EXPECT_TRUE(sawArguments);
}

TEST(ResponseCacherTest, TheDelegateAsksTheSessionsHandlerOrPassesTheProposal) {
  const auto proposed = proposal("proposed");
  struct Row {
    const char* name;
    bool withProvider;
    std::shared_ptr<halyard::CachedResponseHandler> sessionHandler;
    CachedURLResponsePtr answer;
  } rows[] = {
      {"no state provider", false, nullptr, proposed},
      {"no handler", true, nullptr, proposed},
      {"session handler refuses", true, ResponseCacher::sharedDoNotCache(), nullptr},
  };
  for (const auto& row : rows) {
    halyard::SessionDelegate delegate;
    auto provider = std::make_shared<HandlerProvider>();
    provider->handler = row.sessionHandler;
    if (row.withProvider) delegate.setStateProvider(provider);
    int calls = 0;
    CachedURLResponsePtr answer = proposal("unset");
    delegate.willCacheResponse(nullptr, nullptr, proposed, [&](CachedURLResponsePtr r) {
      ++calls;
      answer = std::move(r);
    });
    EXPECT_EQ(calls, 1) << row.name;
    EXPECT_EQ(answer, row.answer) << row.name;
  }
}

}  // namespace
