#include "halyard/core/request_interceptor.h"

#include <gtest/gtest.h>

#include "halyard/core/halyard_error.h"
#include "halyard/core/session.h"

namespace {

using halyard::AdaptationResult;
using halyard::Interceptor;
using halyard::RetryResult;

platform::URLRequest requestTo(const std::string& path) {
  return platform::URLRequest(*platform::URL::fromString("http://127.0.0.1" + path));
}

std::shared_ptr<halyard::Adapter> appending(const std::string& header, int* calls = nullptr) {
  return halyard::adapterUsing([header, calls](const platform::URLRequest& request,
                                               const std::shared_ptr<halyard::Session>&,
                                               halyard::AdaptCompletion completion) {
    if (calls) ++*calls;
    auto adapted = request;
    adapted.addValueForHTTPHeaderField(header, "X-Chain");
    completion(AdaptationResult(adapted));
  });
}

std::shared_ptr<halyard::Retrier> answering(RetryResult answer, int* calls = nullptr) {
  return halyard::retrierUsing(
      [answer, calls](const auto&, const auto&, const auto&, halyard::RetryCompletion completion) {
        if (calls) ++*calls;
        completion(answer);
      });
}

std::optional<AdaptationResult> adapt(Interceptor& interceptor) {
  std::optional<AdaptationResult> result;
  interceptor.adaptForSession(requestTo("/"), nullptr,
                              [&](AdaptationResult r) { result = std::move(r); });
  return result;
}

std::optional<RetryResult> decide(Interceptor& interceptor) {
  std::optional<RetryResult> result;
  interceptor.decideRetry(nullptr, nullptr, nullptr, [&](RetryResult r) { result = r; });
  return result;
}

TEST(RequestInterceptorTest, EmptyListsPassThroughAndDoNotRetry) {
  Interceptor empty;
  auto adapted = adapt(empty);
  ASSERT_TRUE(adapted && *adapted);
  EXPECT_EQ(**adapted, requestTo("/"));
  EXPECT_TRUE(decide(empty)->isDoNotRetry());
}

TEST(RequestInterceptorTest, AdaptersChainAndTheFirstFailureEndsTheChain) {
  Interceptor chain(Interceptor::Adapters{appending("A"), appending("B")});
  auto adapted = adapt(chain);
  ASSERT_TRUE(adapted && *adapted);
  EXPECT_EQ((*adapted)->valueForHTTPHeaderField("X-Chain"), "A, B");

  int laterCalls = 0;
  auto failing = halyard::adapterUsing(
      [](const platform::URLRequest&, const auto&, halyard::AdaptCompletion completion) {
        completion(
            std::unexpected(halyard::makeErrorPtr(halyard::HalyardError::explicitlyCancelled())));
      });
  Interceptor broken(Interceptor::Adapters{failing, appending("B", &laterCalls)});
  auto failed = adapt(broken);
  ASSERT_TRUE(failed && !*failed);
  EXPECT_TRUE(halyard::toHalyardError(failed->error())->isExplicitlyCancelled());
  EXPECT_EQ(laterCalls, 0);
}

TEST(RequestInterceptorTest, TheFirstRetrierThatDoesNotDeclineDecides) {
  int third = 0;
  Interceptor chain(Interceptor::Adapters{},
                    Interceptor::Retriers{answering(RetryResult::doNotRetry()),
                                          answering(RetryResult::retryWithDelay(2)),
                                          answering(RetryResult::retry(), &third)});
  auto decided = decide(chain);
  ASSERT_TRUE(decided && decided->isRetryWithDelay());
  EXPECT_EQ(decided->delay(), 2.0);
  EXPECT_EQ(third, 0);

  Interceptor refusing(Interceptor::Adapters{},
                       Interceptor::Retriers{answering(RetryResult::doNotRetryWithError(nullptr)),
                                             answering(RetryResult::retry(), &third)});
  EXPECT_TRUE(decide(refusing)->isDoNotRetryWithError());
  EXPECT_EQ(third, 0);
}

TEST(RequestInterceptorTest, InterceptorsJoinBothLists) {
  auto adapter = appending("A");
  auto retrier = answering(RetryResult::retry());
  auto both = halyard::interceptorWithPair(appending("I"), answering(RetryResult::retry()));
  auto lists = halyard::interceptorWithLists({adapter}, {retrier}, {both});
  ASSERT_EQ(lists->adapters().size(), 2u);
  ASSERT_EQ(lists->retriers().size(), 2u);
  EXPECT_EQ(lists->adapters()[0], adapter);
  EXPECT_EQ(lists->adapters()[1], both);
  EXPECT_EQ(lists->retriers()[0], retrier);
  EXPECT_EQ(lists->retriers()[1], both);
}

TEST(RequestInterceptorTest, AnAdapterAskedWithStateGetsTheStatesSession) {
  std::shared_ptr<halyard::Session> seen = nullptr;
  bool called = false;
  auto adapter = halyard::adapterUsing([&](const platform::URLRequest& request,
                                           const std::shared_ptr<halyard::Session>& session,
                                           halyard::AdaptCompletion completion) {
    called = true;
    seen = session;
    completion(AdaptationResult(request));
  });
  auto session = halyard::Session::initWithConfiguration();
  adapter->adaptWithState(requestTo("/"), halyard::RequestAdapterState{platform::UUID(), session},
                          [](AdaptationResult) {});
  EXPECT_TRUE(called);
  EXPECT_EQ(seen, session);
  // The protocol's defaults: adapt passes through, decide declines.
  struct Plain : halyard::RequestInterceptor {};
  Plain plain;
  std::optional<RetryResult> answer;
  plain.decideRetry(nullptr, nullptr, nullptr, [&](RetryResult r) { answer = r; });
  EXPECT_TRUE(answer->isDoNotRetry());
}

}  // namespace
