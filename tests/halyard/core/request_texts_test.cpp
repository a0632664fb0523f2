#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "halyard/core/data_request.h"
#include "halyard/support/fake_request_delegate.h"
#include "halyard/support/wait.h"

namespace {

using halyard::DataRequest;
using platform::URLCredential;
using platform::URLProtectionSpace;

// A delegate whose configuration the test sets: fresh storages, no default headers.
class ConfiguredDelegate : public halyardtest::FakeRequestDelegate {
 public:
  const platform::URLSessionConfiguration& urlConfiguration() const override {
    return configuration;
  }
  platform::URLSessionConfiguration configuration = platform::URLSessionConfiguration::ephemeral();
};

platform::URLRequest makeURLRequest(const std::string& url, std::optional<std::string> method,
                                    std::vector<std::pair<std::string, std::string>> headers = {},
                                    std::optional<std::string> body = std::nullopt) {
  platform::URLRequest request(*platform::URL::fromString(url));
  request.httpMethod = std::move(method);
  for (const auto& [name, value] : headers)
    request.setValueForHTTPHeaderField(value, name);
  if (body) request.httpBody = platform::Bytes(body->begin(), body->end());
  return request;
}

class RequestTextsTest : public ::testing::Test {
 protected:
  std::shared_ptr<DataRequest> make() {
    return std::make_shared<DataRequest>(
        halyard::RequestContext{platform::UUID(), queue, queue, nullptr, nullptr, delegate},
        halyard::makeURLRequestConvertible(makeURLRequest("http://127.0.0.1/", "GET")));
  }
  void record(const std::shared_ptr<DataRequest>& request, const platform::URLRequest& urlRequest,
              bool final = true) {
    queue->sync([&] {
      request->recordInitialURLRequest(urlRequest);
      if (final) request->recordFinalURLRequest(urlRequest);
    });
  }

  platform::DispatchQueuePtr queue = platform::DispatchQueue::serial("request.texts.test");
  std::shared_ptr<ConfiguredDelegate> delegate = std::make_shared<ConfiguredDelegate>();
};

constexpr const char* kSep = " \\\n\t";

std::string lines(std::vector<std::string> components) {
  std::string text;
  for (std::size_t i = 0; i < components.size(); ++i)
    text += (i ? kSep : "") + components[i];
  return text;
}

struct Row {
  const char* name;
  platform::URLRequest urlRequest;
  std::string expected;
};

TEST_F(RequestTextsTest, CommandTextQuotesEveryValueForTheShell) {
  delegate->configuration.httpAdditionalHeaders =
      platform::HTTPHeaderFields{{"X-Session", "s"}, {"Accept", "session"}};
  const std::string base = "$ curl -v";
  const std::vector<Row> rows{
      {"no method", makeURLRequest("http://h/p", std::nullopt),
       "$ curl command could not be created"},
      {"no host", makeURLRequest("file:///tmp/x", "GET"), "$ curl command could not be created"},
      {"double quote in a header stands as it is",
       makeURLRequest("http://h/p", "GET", {{"X-Q", "a\"b"}}),
       lines({base, "-X GET", "-H 'Accept: session'", "-H 'X-Session: s'", "-H 'X-Q: a\"b'",
              "'http://h/p'"})},
      {"single quote and command substitution",
       makeURLRequest("http://h/p?q=$(id)", "GET", {{"X-Run", "it's $(touch M)"}}),
       lines({base, "-X GET", "-H 'Accept: session'", "-H 'X-Session: s'",
              "-H 'X-Run: it'\\''s $(touch M)'", "'http://h/p?q=$(id)'"})},
      {"request header replaces the session header in place, in its own case",
       makeURLRequest("http://h/p", "GET", {{"ACCEPT", "mine"}}),
       lines({base, "-X GET", "-H 'ACCEPT: mine'", "-H 'X-Session: s'", "'http://h/p'"})},
      {"Cookie is skipped, cookie is kept",
       makeURLRequest("http://h/p", "GET", {{"Cookie", "a=1"}}),
       lines({base, "-X GET", "-H 'Accept: session'", "-H 'X-Session: s'", "'http://h/p'"})},
      {"lower-case cookie header is kept", makeURLRequest("http://h/p", "GET", {{"cookie", "a=1"}}),
       lines({base, "-X GET", "-H 'Accept: session'", "-H 'X-Session: s'", "-H 'cookie: a=1'",
              "'http://h/p'"})},
      {"empty header value", makeURLRequest("http://h/p", "GET", {{"X-Empty", ""}}),
       lines({base, "-X GET", "-H 'Accept: session'", "-H 'X-Session: s'", "-H 'X-Empty;'",
              "'http://h/p'"})},
      {"body backslashes and quotes stand as they are",
       makeURLRequest("http://h/p", "POST", {}, R"({"a":"b\"c"}\)"),
       lines({base, "-X POST", "-H 'Accept: session'", "-H 'X-Session: s'", R"(-d '{"a":"b\"c"}\')",
              "'http://h/p'"})},
      {"empty body still counts", makeURLRequest("http://h/p", "PUT", {}, ""),
       lines(
           {base, "-X PUT", "-H 'Accept: session'", "-H 'X-Session: s'", "-d ''", "'http://h/p'"})},
      {"body beginning with @ is raw data",
       makeURLRequest("http://h/p", "POST", {}, "@/etc/passwd"),
       lines({base, "-X POST", "-H 'Accept: session'", "-H 'X-Session: s'",
              "--data-raw '@/etc/passwd'", "'http://h/p'"})},
      {"method with other characters is quoted", makeURLRequest("http://h/p", "M-SEARCH;ls"),
       lines({base, "-X 'M-SEARCH;ls'", "-H 'Accept: session'", "-H 'X-Session: s'",
              "'http://h/p'"})},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto request = make();
    record(request, row.urlRequest);
    EXPECT_EQ(request->curlCommandText(), row.expected);
  }
}

TEST_F(RequestTextsTest, CredentialsComeFromTheStorageOrTheRequest) {
  const auto url = "http://h:8080/p";
  const URLProtectionSpace space("h", 8080, "http", "h", URLProtectionSpace::methodHTTPBasic);
  const auto storage = delegate->configuration.urlCredentialStorage;

  // Nothing stored for the space: the request's own credential.
  auto own = make();
  own->authenticateWithUserPassword("me", "it's");
  record(own, makeURLRequest(url, "GET"));
  EXPECT_EQ(own->curlCommandText(),
            lines({"$ curl -v", "-X GET", "-u 'me:it'\\''s'", "'" + std::string(url) + "'"}));

  // Stored credentials win over the request's own, in user order; one without a password is
  // left out. The realm of the space is the host.
  storage->setCredential(URLCredential("zed", "z", URLCredential::Persistence::forSession), space);
  storage->setDefaultCredential(URLCredential("amy", "a", URLCredential::Persistence::forSession),
                                space);
  storage->setCredential(URLCredential("nopass", "", URLCredential::Persistence::forSession),
                         space);
  EXPECT_EQ(own->curlCommandText(), lines({"$ curl -v", "-X GET", "-u 'amy:a'", "-u 'zed:z'",
                                           "'" + std::string(url) + "'"}));

  // Without a storage, not even the request's own credential is written.
  delegate->configuration.urlCredentialStorage = nullptr;
  EXPECT_EQ(own->curlCommandText(), lines({"$ curl -v", "-X GET", "'" + std::string(url) + "'"}));
}

TEST_F(RequestTextsTest, CredentialStorageKeepsCredentialsPerSpace) {
  platform::URLCredentialStorage storage;
  const URLProtectionSpace space("h", 80, "http", "h", URLProtectionSpace::methodHTTPBasic);
  const URLProtectionSpace other("h", 81, "http", "h", URLProtectionSpace::methodHTTPBasic);
  EXPECT_FALSE(storage.credentials(space));
  const URLCredential first("u", "1", URLCredential::Persistence::forSession);
  const URLCredential second("u", "2", URLCredential::Persistence::forSession);
  storage.setCredential(first, space);
  storage.setCredential(second, space);
  ASSERT_TRUE(storage.credentials(space));
  EXPECT_EQ(storage.credentials(space)->size(), 1u);
  EXPECT_EQ(storage.credentials(space)->at("u"), second);
  EXPECT_FALSE(storage.defaultCredential(space));
  EXPECT_FALSE(storage.credentials(other));
  storage.setDefaultCredential(first, other);
  EXPECT_EQ(storage.credentials(other)->at("u"), first);
}

TEST_F(RequestTextsTest, DescriptionNamesMethodAndAddress) {
  auto none = make();
  EXPECT_EQ(none->description(), "No request created yet.");
  EXPECT_EQ(none->curlCommandText(), "$ curl command could not be created");
  auto noMethod = make();
  record(noMethod, makeURLRequest("http://h/p", std::nullopt));
  EXPECT_EQ(noMethod->description(), "No request created yet.");
  auto made = make();
  record(made, makeURLRequest("http://h/p?q=1", "DELETE"));
  EXPECT_EQ(made->description(), "DELETE http://h/p?q=1");
}

TEST_F(RequestTextsTest, HandlersRunOnceAtTheFirstFinalRequest) {
  auto request = make();
  std::atomic<int> replaced{0};
  std::atomic<int> stored{0};
  std::optional<std::string> storedText;
  request->cURLDescriptionOnQueue(queue, [&](const std::string&) { ++replaced; });
  request->cURLDescriptionOnQueue(queue, [&](const std::string& text) {
    ++stored;
    storedText = text;
  });
  queue->sync([] {});
  EXPECT_EQ(stored.load(), 0);

  const auto urlRequest = makeURLRequest("http://h/p", "GET");
  record(request, urlRequest, /*final=*/false);
  queue->sync([] {});
  EXPECT_EQ(stored.load(), 0);  // an initial request alone does not send the text
  queue->sync([&] { request->recordFinalURLRequest(urlRequest); });
  queue->sync([&] { request->recordFinalURLRequest(urlRequest); });
  queue->sync([] {});
  EXPECT_EQ(stored.load(), 1);
  EXPECT_EQ(replaced.load(), 0);
  EXPECT_EQ(storedText, lines({"$ curl -v", "-X GET", "'http://h/p'"}));

  // Registered afterwards: at once, but not on the registering thread.
  std::atomic<int> late{0};
  queue->sync([&] {
    request->cURLDescriptionOnUnderlyingQueue([&](const std::string&) { ++late; });
    EXPECT_EQ(late.load(), 0);
  });
  queue->sync([] {});
  EXPECT_EQ(late.load(), 1);
}

TEST_F(RequestTextsTest, AFailureToMakeTheRequestAlsoSendsTheText) {
  auto request = make();
  std::optional<std::string> text;
  request->cURLDescriptionOnQueue(queue, [&](const std::string& t) { text = t; });
  queue->sync([&] {
    request->recordURLRequestCreationFailure(halyard::HalyardError::explicitlyCancelled());
  });
  queue->sync([] {});
  EXPECT_EQ(text, "$ curl command could not be created");
}

TEST_F(RequestTextsTest, RegistrationRacingTheFirstRequestCallsOnce) {
  for (int round = 0; round < 50; ++round) {
    auto request = make();
    std::atomic<int> calls{0};
    const auto urlRequest = makeURLRequest("http://h/p", "GET");
    std::thread registering(
        [&] { request->cURLDescriptionOnQueue(queue, [&](const std::string&) { ++calls; }); });
    record(request, urlRequest);
    registering.join();
    queue->sync([] {});
    ASSERT_EQ(calls.load(), 1) << round;
  }
}

}  // namespace
