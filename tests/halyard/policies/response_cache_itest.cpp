// Cached-response handlers deciding what a session's URL cache keeps, against a server that
// counts its hits.

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>

#include "halyard/core/data_request.h"
#include "halyard/core/session.h"
#include "halyard/policies/response_cacher.h"
#include "halyard/support/test_server.h"
#include "halyard/support/wait.h"

namespace {

using halyard::ResponseCacher;
using halyard::Session;
using halyardtest::TestServer;
using halyardtest::waitUntil;
using FetchType = platform::URLSessionTaskTransactionMetrics::ResourceFetchType;

struct Outcome {
  std::string body;
  bool failed = true;
  FetchType fetchType = FetchType::unknown;
};

class ResponseCacheITest : public testing::Test {
 protected:
  void SetUp() override {
    // "/c?cc=...": the Cache-Control to send; the body names the hit.
    server_.server().Get("/c",
                         [this](const httplib::Request& request, httplib::Response& response) {
                           int hit;
                           {
                             std::lock_guard lock(mutex_);
                             hit = ++hits_[request.target];
                           }
                           response.set_header("Cache-Control", request.get_param_value("cc"));
                           response.set_content("hit " + std::to_string(hit), "text/plain");
                         });
    base_ = server_.start();
  }

  int hits(const std::string& target) {
    std::lock_guard lock(mutex_);
    return hits_[target];
  }

  static Outcome run(const std::shared_ptr<Session>& session, const std::string& url,
                     std::shared_ptr<halyard::CachedResponseHandler> handler) {
    auto request = session->makeDataRequest(platform::URLRequest(*platform::URL::fromString(url)));
    if (handler) request->setCachedResponseHandler(std::move(handler));
    std::optional<halyard::DataResponse<std::string>> received;
    request->responseAsString([&](const auto& r) { received = r; });
    EXPECT_TRUE(waitUntil([&] { return received.has_value(); }, 20));
    Outcome outcome;
    if (!received || !received->result) return outcome;
    outcome.failed = false;
    outcome.body = *received->result;
    auto metrics = request->lastMetrics();
    if (metrics && !metrics->transactionMetrics.empty()) {
      outcome.fetchType = metrics->transactionMetrics.back().resourceFetchType;
    }
    return outcome;
  }

  // A session of its own (and so a cache of its own) with `handler` for every request.
  static std::shared_ptr<Session> sessionWith(
      std::shared_ptr<halyard::CachedResponseHandler> handler) {
    return Session::initWithConfiguration(platform::URLSessionConfiguration::ephemeral(),
                                          std::make_shared<halyard::SessionDelegate>(), nullptr,
                                          true, nullptr, nullptr, nullptr, nullptr, nullptr,
                                          std::move(handler));
  }

  TestServer server_;
  std::string base_;
  std::mutex mutex_;
  std::map<std::string, int> hits_;
};

TEST_F(ResponseCacheITest, HandlersDecideWhatIsStoredAndTheRequestsOwnWins) {
  auto otherBytes = std::make_shared<ResponseCacher>(
      ResponseCacher::modify([](const auto&, const platform::CachedURLResponsePtr& proposed) {
        const std::string other = "other bytes";
        return std::make_shared<const platform::CachedURLResponse>(
            proposed->response(), platform::Bytes(other.begin(), other.end()));
      }));
  struct Row {
    const char* what;
    std::shared_ptr<halyard::CachedResponseHandler> sessionHandler;
    std::shared_ptr<halyard::CachedResponseHandler> requestHandler;
    int hits;
    std::string secondBody;
    FetchType secondType;
  };
  const Row rows[] = {
      {"no handler stores", nullptr, nullptr, 1, "hit 1", FetchType::localCache},
      {"cache", ResponseCacher::sharedCache(), nullptr, 1, "hit 1", FetchType::localCache},
      {"do not cache", ResponseCacher::sharedDoNotCache(), nullptr, 2, "hit 2",
       FetchType::networkLoad},
      {"modify stores other bytes", nullptr, otherBytes, 1, "other bytes", FetchType::localCache},
      {"the request's do-not-cache wins", ResponseCacher::sharedCache(),
       ResponseCacher::sharedDoNotCache(), 2, "hit 2", FetchType::networkLoad},
      {"the request's cache wins", ResponseCacher::sharedDoNotCache(),
       ResponseCacher::sharedCache(), 1, "hit 1", FetchType::localCache},
  };
  int index = 0;
  for (const auto& row : rows) {
    auto session = sessionWith(row.sessionHandler);
    const std::string target = "/c?cc=max-age%3D60&row=" + std::to_string(++index);
    auto first = run(session, base_ + target, row.requestHandler);
    ASSERT_FALSE(first.failed) << row.what;
    EXPECT_EQ(first.body, "hit 1") << row.what;
    EXPECT_EQ(first.fetchType, FetchType::networkLoad) << row.what;
    auto second = run(session, base_ + target, row.requestHandler);
    ASSERT_FALSE(second.failed) << row.what;
    EXPECT_EQ(hits(target), row.hits) << row.what;
    EXPECT_EQ(second.body, row.secondBody) << row.what;
    EXPECT_EQ(second.fetchType, row.secondType) << row.what;
  }
}

TEST_F(ResponseCacheITest, NoStoreIsNeverPutToTheHandler) {
  std::atomic<int> asked{0};
  auto counting = std::make_shared<ResponseCacher>(
      ResponseCacher::modify([&](const auto&, const platform::CachedURLResponsePtr& proposed) {
        ++asked;
        return proposed;
      }));
  auto session = sessionWith(counting);
  const std::string target = "/c?cc=no-store";
  EXPECT_EQ(run(session, base_ + target, nullptr).body, "hit 1");
  EXPECT_EQ(run(session, base_ + target, nullptr).body, "hit 2");
  EXPECT_EQ(asked.load(), 0);
  // A storable response does reach it, so the count above means something.
  run(session, base_ + "/c?cc=max-age%3D60", nullptr);
  EXPECT_EQ(asked.load(), 1);
}

}  // namespace
