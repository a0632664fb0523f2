// A session's URL cache against a server that counts its hits: what is stored, when a stored
// response is served or revalidated, the four cache policies, and the delegate's say over
// what is stored.

#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <mutex>

#include "platform/dispatch/main_queue.h"
#include "platform/net/support/recording_delegate.h"
#include "platform/net/support/test_server.h"
#include "platform/net/url_cache.h"
#include "platform/net/url_error.h"
#include "platform/net/url_session.h"

namespace {

using platform::Bytes;
using platform::CachedURLResponse;
using platform::CachedURLResponsePtr;
using platform::HTTPURLResponse;
using platform::URL;
using platform::URLCache;
using platform::URLError;
using platform::URLRequest;
using platform::URLSession;
using platform::URLSessionConfiguration;
using Policy = platform::URLRequest::CachePolicy;
using FetchType = platform::URLSessionTaskTransactionMetrics::ResourceFetchType;
using Fields = std::vector<std::pair<std::string, std::string>>;

std::string httpDateIn(long seconds) {
  std::time_t when = std::time(nullptr) + seconds;
  std::tm parts{};
  gmtime_r(&when, &parts);
  char text[64];
  std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts);
  return text;
}

// How `willCacheResponse` answers.
enum class CacheAnswer { proposal, none, notAllowed, drop, otherBytes };

class CachingDelegate : public nettest::RecordingDelegate {
 public:
  CacheAnswer cacheAnswer = CacheAnswer::proposal;

  void willCacheResponse(const SessionPtr&, const DataTaskPtr& task,
                         const CachedURLResponsePtr& proposed,
                         std::function<void(CachedURLResponsePtr)> completionHandler) override {
    {
      std::lock_guard lock(mutex_);
      ++proposals_;
      proposedBodies_[task->taskIdentifier()] =
          std::string(proposed->data().begin(), proposed->data().end());
    }
    switch (cacheAnswer) {
      case CacheAnswer::proposal:
        return completionHandler(proposed);
      case CacheAnswer::none:
        return completionHandler(nullptr);
      case CacheAnswer::notAllowed:
        return completionHandler(std::make_shared<const CachedURLResponse>(
            proposed->response(), proposed->data(), std::any{},
            CachedURLResponse::StoragePolicy::notAllowed));
      case CacheAnswer::drop:
        return;
      case CacheAnswer::otherBytes: {
        const std::string other = "other bytes";
        return completionHandler(std::make_shared<const CachedURLResponse>(
            proposed->response(), Bytes(other.begin(), other.end())));
      }
    }
  }
  void didFinishCollectingMetrics(const SessionPtr& session, const TaskPtr& task,
                                  const platform::URLSessionTaskMetrics& metrics) override {
    {
      std::lock_guard lock(mutex_);
      // Where the proposal came among the task's callbacks.
      order_[task->taskIdentifier()] = proposedBodies_.count(task->taskIdentifier()) > 0;
    }
    RecordingDelegate::didFinishCollectingMetrics(session, task, metrics);
  }
  int proposals() const {
    std::lock_guard lock(mutex_);
    return proposals_;
  }
  bool proposedBeforeMetrics(std::uint64_t task) const {
    std::lock_guard lock(mutex_);
    auto found = order_.find(task);
    return found != order_.end() && found->second;
  }

 private:
  mutable std::mutex mutex_;
  int proposals_ = 0;
  std::map<std::uint64_t, std::string> proposedBodies_;
  std::map<std::uint64_t, bool> order_;
};

// Serves /c with what its query asks for: "cc" (Cache-Control), "etag", "lm" (Last-Modified),
// "vary", "status", "expires" (seconds from now), "size" (body bytes). Answers 304 to a
// request whose validators match. Counts hits per target and keeps the validators it saw.
class CacheServer {
 public:
  CacheServer() {
    auto handler = [this](const httplib::Request& req, httplib::Response& res) {
      int hit;
      {
        std::lock_guard lock(mutex_);
        hit = ++hits_[req.target];
        seen_[req.target] =
            req.get_header_value("If-None-Match") + "|" + req.get_header_value("If-Modified-Since");
      }
      auto param = [&](const char* name) {
        return req.has_param(name) ? req.get_param_value(name) : std::string();
      };
      res.set_header("Date", httpDateIn(0));
      if (!param("cc").empty()) res.set_header("Cache-Control", param("cc"));
      if (!param("vary").empty()) res.set_header("Vary", param("vary"));
      if (!param("expires").empty()) {
        res.set_header("Expires", httpDateIn(std::stol(param("expires"))));
      }
      const std::string etag = param("etag").empty() ? "" : "\"" + param("etag") + "\"";
      if (!etag.empty()) res.set_header("ETag", etag);
      if (!param("lm").empty()) res.set_header("Last-Modified", param("lm"));
      bool matches =
          (!etag.empty() && req.get_header_value("If-None-Match") == etag) ||
          (!param("lm").empty() && req.get_header_value("If-Modified-Since") == param("lm"));
      if (matches) {
        res.status = 304;
        return;
      }
      res.status = param("status").empty() ? 200 : std::stoi(param("status"));
      std::string body = "body-" + std::to_string(hit);
      if (!param("size").empty()) body.resize(std::stoul(param("size")), '.');
      res.set_content(body, "text/plain");
    };
    server_.server().Get("/c", handler);
    server_.server().Post("/c", handler);
    // A redirect to a response that may be kept a minute and varies with "X-Extra".
    server_.server().Get("/moved", [](const httplib::Request& req, httplib::Response& res) {
      res.set_redirect("/c?cc=max-age%3D60&vary=X-Extra&row=" + req.get_param_value("row"), 302);
    });
    base_ = server_.start();
  }
  int hits(const std::string& target) const {
    std::lock_guard lock(mutex_);
    auto found = hits_.find(target);
    return found == hits_.end() ? 0 : found->second;
  }
  std::string validatorsSeen(const std::string& target) const {
    std::lock_guard lock(mutex_);
    auto found = seen_.find(target);
    return found == seen_.end() ? "" : found->second;
  }
  const std::string& base() const { return base_; }
  void stop() { server_.stop(); }

 private:
  nettest::TestServer server_{true};  // one request per connection: stopping never waits
  std::string base_;
  mutable std::mutex mutex_;
  std::map<std::string, int> hits_;
  std::map<std::string, std::string> seen_;
};

class URLCacheSessionTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (session_) {
      session_->invalidateAndCancel();
      auto delegate = delegate_;
      platform::runMainUntil([&] { return delegate->invalidated(); }, 10);
    }
    server_.stop();
    platform::drainMainQueue();
  }

  // A fresh session on a cache of its own.
  void makeSession(std::int64_t memoryCapacity = 1 << 20,
                   std::optional<platform::HTTPHeaderFields> additional = std::nullopt) {
    if (session_) {
      session_->invalidateAndCancel();
      auto old = delegate_;
      platform::runMainUntil([&] { return old->invalidated(); }, 10);
    }
    auto configuration = URLSessionConfiguration::ephemeral();
    cache_ = std::make_shared<URLCache>(memoryCapacity, 0);
    configuration.urlCache = cache_;
    configuration.httpAdditionalHeaders = std::move(additional);
    delegate_ = std::make_shared<CachingDelegate>();
    session_ = URLSession::make(configuration, delegate_, nettest::mainDelegateQueue());
  }

  nettest::TaskRecord run(const URLRequest& request, std::uint64_t* identifier = nullptr) {
    auto task = session_->dataTask(request);
    task->resume();
    EXPECT_TRUE(
        platform::runMainUntil([&] { return delegate_->isComplete(task->taskIdentifier()); }, 10));
    if (identifier) *identifier = task->taskIdentifier();
    return delegate_->record(task->taskIdentifier());
  }

  URLRequest request(const std::string& target, const Fields& fields = {},
                     Policy policy = Policy::useProtocolCachePolicy) {
    URLRequest r(*URL::fromString(server_.base() + target), policy);
    for (const auto& [name, value] : fields)
      r.setValueForHTTPHeaderField(value, name);
    return r;
  }

  CacheServer server_;
  std::shared_ptr<URLCache> cache_;
  std::shared_ptr<CachingDelegate> delegate_;
  std::shared_ptr<URLSession> session_;
};

FetchType fetchTypeOf(const nettest::TaskRecord& record) {
  if (record.metrics.transactionMetrics.empty()) return FetchType::unknown;
  return record.metrics.transactionMetrics.back().resourceFetchType;
}

int statusOf(const nettest::TaskRecord& record) {
  auto http = std::dynamic_pointer_cast<const HTTPURLResponse>(record.response);
  return http ? http->statusCode() : 0;
}

// Two requests for one target; the second shows whether the first was stored and how it was
// used: served from the cache (one hit), revalidated (a 304 with the first body) or loaded.
TEST_F(URLCacheSessionTest, ProtocolRulesDecideWhatIsStoredServedAndRevalidated) {
  enum Second { cached, revalidated, loaded };
  constexpr auto kProtocol = Policy::useProtocolCachePolicy;
  struct Row {
    const char* query;        // of /c, as the server reads it
    const char* firstField;   // "Name: value" or ""
    const char* secondField;  // the same for the second request
    Policy policy;            // of the second request
    Second second;
    std::string validators = "|";  // If-None-Match|If-Modified-Since of the last request
    std::string method = "GET";
  };
  const std::string lm = "Wed, 21 Oct 2015 07:28:00 GMT";
  const Row rows[] = {
      {"cc=max-age%3D60", "", "", kProtocol, cached},
      {"cc=no-store%2C%20max-age%3D60", "", "", kProtocol, loaded},
      {"cc=max-age%3D60", "Cache-Control: no-store", "", kProtocol, loaded},
      {"x=no-freshness-no-validator", "", "", kProtocol, loaded},
      {"expires=60", "", "", kProtocol, cached},
      {"expires=-60", "", "", kProtocol, loaded},
      {"cc=max-age%3D0&etag=v1", "", "", kProtocol, revalidated, "\"v1\"|"},
      {"lm=Wed%2C%2021%20Oct%202015%2007%3A28%3A00%20GMT", "", "", kProtocol, revalidated,
       "|" + lm},
      {"cc=no-cache%2C%20max-age%3D60&etag=v2", "", "", kProtocol, revalidated, "\"v2\"|"},
      {"cc=max-age%3D60&etag=v3", "", "Cache-Control: no-cache", kProtocol, revalidated, "\"v3\"|"},
      {"cc=max-age%3D60", "", "Pragma: no-cache", kProtocol, loaded},
      {"cc=max-age%3D60&status=404", "", "", kProtocol, cached},
      {"cc=max-age%3D60&status=500", "", "", kProtocol, loaded},
      {"cc=max-age%3D60&vary=X-Mode", "X-Mode: a", "X-Mode: a", kProtocol, cached},
      {"cc=max-age%3D60&vary=X-Mode", "X-Mode: a", "X-Mode: b", kProtocol, loaded},
      {"cc=max-age%3D60&vary=*", "", "", kProtocol, loaded},
      {"cc=max-age%3D60", "", "", Policy::reloadIgnoringLocalCacheData, loaded},
      {"cc=max-age%3D0", "", "", Policy::returnCacheDataElseLoad, cached},
      {"x=stale", "", "", Policy::returnCacheDataDontLoad, cached},
      {"cc=max-age%3D60", "", "", kProtocol, loaded, "|", "POST"},
  };
  auto fields = [](std::string_view field) {
    auto colon = field.find(": ");
    if (colon == std::string_view::npos) return Fields{};
    return Fields{{std::string(field.substr(0, colon)), std::string(field.substr(colon + 2))}};
  };
  int index = 0;
  for (const auto& row : rows) {
    makeSession();
    // Every row counts on a target of its own.
    const std::string target = "/c?" + std::string(row.query) + "&row=" + std::to_string(++index);
    const std::string what = std::to_string(index) + ": " + target;
    auto first = request(target, fields(row.firstField));
    first.httpMethod = row.method;
    auto one = run(first);
    ASSERT_FALSE(one.error) << what;
    auto second = request(target, fields(row.secondField), row.policy);
    second.httpMethod = row.method;
    auto two = run(second);
    ASSERT_FALSE(two.error) << what;
    EXPECT_EQ(server_.hits(target), row.second == cached ? 1 : 2) << what;
    EXPECT_EQ(fetchTypeOf(two),
              row.second == cached ? FetchType::localCache : FetchType::networkLoad)
        << what;
    EXPECT_EQ(two.body_text(), row.second == loaded ? "body-2" : "body-1") << what;
    EXPECT_EQ(statusOf(two), statusOf(one)) << what;
    EXPECT_EQ(server_.validatorsSeen(target), row.validators) << what;
    EXPECT_EQ(two.events,
              (std::vector<std::string>{"created", "response", "data", "metrics", "complete"}))
        << what;
  }
}

TEST_F(URLCacheSessionTest, CacheOnlyPolicyFailsOnAnEmptyCache) {
  makeSession();
  auto record = run(request("/c?cc=max-age%3D60", {}, Policy::returnCacheDataDontLoad));
  auto* error = nettest::urlError(record.error);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), URLError::Code::resourceUnavailable);
  EXPECT_EQ(static_cast<int>(error->code()), -1008);
  EXPECT_EQ(server_.hits("/c?cc=max-age%3D60"), 0);
}

// The delegate's answer to the proposal is what goes into the cache.
TEST_F(URLCacheSessionTest, WhatTheDelegateGivesBackIsStored) {
  struct Row {
    CacheAnswer answer;
    int hits;
    std::string secondBody;
  };
  const Row rows[] = {
      {CacheAnswer::proposal, 1, "body-1"},        {CacheAnswer::none, 2, "body-2"},
      {CacheAnswer::notAllowed, 2, "body-2"},      {CacheAnswer::drop, 2, "body-2"},
      {CacheAnswer::otherBytes, 1, "other bytes"},
  };
  for (const auto& row : rows) {
    makeSession();
    delegate_->cacheAnswer = row.answer;
    const std::string target = "/c?cc=max-age%3D60&answer=" + std::to_string(int(row.answer));
    std::uint64_t firstTask = 0;
    auto one = run(request(target), &firstTask);
    ASSERT_FALSE(one.error);
    EXPECT_EQ(delegate_->proposals(), 1) << static_cast<int>(row.answer);
    EXPECT_TRUE(delegate_->proposedBeforeMetrics(firstTask));
    auto two = run(request(target));
    EXPECT_EQ(server_.hits(target), row.hits) << static_cast<int>(row.answer);
    EXPECT_EQ(two.body_text(), row.secondBody) << static_cast<int>(row.answer);
  }
}

// A cache of 100,000 bytes gathers bodies up to 5,000 bytes; larger ones are not proposed.
TEST_F(URLCacheSessionTest, BodiesAboveOneTwentiethOfTheCacheAreNotProposed) {
  struct Row {
    const char* target;
    int proposals;
    int hits;
  };
  const Row rows[] = {
      {"/c?cc=max-age%3D60&size=4000", 1, 1},
      {"/c?cc=max-age%3D60&size=6000", 0, 2},
  };
  for (const auto& row : rows) {
    makeSession(100000);
    run(request(row.target));
    EXPECT_EQ(delegate_->proposals(), row.proposals) << row.target;
    run(request(row.target));
    EXPECT_EQ(server_.hits(row.target), row.hits) << row.target;
  }
}

// A response is stored under the request that got it, with the session's additional fields:
// after a redirect that is the redirected request, not the one the task started with.
TEST_F(URLCacheSessionTest, AResponseIsStoredUnderTheRequestThatGotIt) {
  struct Row {
    const char* name;
    bool additional;  // the session adds "X-Extra: a"
    bool redirected;  // the task starts at /moved
  };
  const Row rows[] = {
      {"plain", false, false},
      {"with additional fields", true, false},
      {"redirected", false, true},
      {"redirected with additional fields", true, true},
  };
  int index = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string number = std::to_string(index++);
    std::optional<platform::HTTPHeaderFields> additional;
    if (row.additional) additional = platform::HTTPHeaderFields{{"X-Extra", "a"}};
    makeSession(1 << 20, additional);
    const std::string target = "/c?cc=max-age%3D60&vary=X-Extra&row=" + number;
    const std::string started = row.redirected ? "/moved?row=" + number : target;
    auto first = run(request(started));
    ASSERT_FALSE(first.error);
    EXPECT_EQ(first.body_text(), "body-1");
    // The cache sees a request as the session sends it: with the additional field.
    auto stored = request(target, row.additional ? Fields{{"X-Extra", "a"}} : Fields{});
    auto entry = cache_->cachedResponse(stored);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(std::string(entry->data().begin(), entry->data().end()), "body-1");
    if (row.redirected) {
      EXPECT_EQ(cache_->cachedResponse(request(started)), nullptr);
    }
    // And the session finds it again for the same request.
    auto second = run(request(target));
    EXPECT_EQ(second.body_text(), "body-1");
    EXPECT_EQ(server_.hits(target), 1);
  }
}

TEST_F(URLCacheSessionTest, NoStoreNeverReachesTheDelegate) {
  makeSession();
  run(request("/c?cc=no-store"));
  run(request("/c?cc=max-age%3D60", {{"Cache-Control", "no-store"}}));
  EXPECT_EQ(delegate_->proposals(), 0);
  EXPECT_EQ(cache_->currentMemoryUsage(), 0);
}

TEST_F(URLCacheSessionTest, ConfigurationsChooseTheirCaches) {
  EXPECT_EQ(URLSessionConfiguration::defaultConfiguration().urlCache, URLCache::shared());
  auto ephemeral = URLSessionConfiguration::ephemeral().urlCache;
  ASSERT_TRUE(ephemeral);
  EXPECT_NE(ephemeral, URLCache::shared());
  EXPECT_NE(ephemeral, URLSessionConfiguration::ephemeral().urlCache);
  EXPECT_EQ(ephemeral->diskCapacity(), 0);
  EXPECT_GT(ephemeral->memoryCapacity(), 0);
}

}  // namespace
