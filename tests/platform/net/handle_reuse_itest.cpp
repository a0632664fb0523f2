// A session hands its libcurl handles from one transfer to the next: a request must carry
// nothing of the ones before it (method, body, fields, cookies, credentials, body callbacks).

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/dispatch/main_queue.h"
#include "platform/net/support/test_server.h"
#include "platform/net/support/transfer_delegate.h"
#include "platform/net/url_error.h"
#include "platform/net/url_session.h"

namespace {

using nettest::TestServer;
using nettest::TransferDelegate;
using nettest::urlError;
using platform::Bytes;
using platform::URL;
using platform::URLError;
using platform::URLRequest;
using platform::URLSession;
using platform::URLSessionConfiguration;
using platform::URLSessionTask;

Bytes bytes(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

// What /echo saw, as "method|body|X-Mark|Content-Type|Cookie|Authorization|Transfer-Encoding".
void echo(const httplib::Request& req, httplib::Response& res) {
  std::string seen = req.method + "|" + req.body;
  for (const char* name :
       {"X-Mark", "Content-Type", "Cookie", "Authorization", "Transfer-Encoding"}) {
    seen += "|" + req.get_header_value(name);
  }
  res.set_content(seen, "text/plain");
}

struct Step {
  const char* name;
  // Makes the step's task; `base` is the server's root, without a trailing slash.
  std::function<std::shared_ptr<URLSessionTask>(URLSession&, TransferDelegate&,
                                                const std::string& base)>
      make;
  std::string body;  // what the task receives
  std::optional<URLError::Code> failure = std::nullopt;
};

URLRequest request(const std::string& url, const char* method = "GET",
                   std::optional<std::string_view> body = std::nullopt) {
  URLRequest r(*URL::fromString(url));
  r.httpMethod = method;
  if (body) r.httpBody = bytes(*body);
  return r;
}

std::function<std::shared_ptr<URLSessionTask>(URLSession&, TransferDelegate&, const std::string&)>
get(std::string path, bool cookies = true) {
  return [path, cookies](URLSession& session, TransferDelegate&, const std::string& base) {
    auto r = request(base + path);
    r.httpShouldHandleCookies = cookies;
    return session.dataTask(r);
  };
}

TEST(HandleReuseTest, EachRequestStartsFromNothingOfTheOneBefore) {
  TestServer server;
  server.server().Get("/echo", echo);
  server.server().Post("/echo", echo);
  server.server().Put("/echo", echo);
  server.server().Delete("/echo", echo);
  server.server().Get("/set", [](const httplib::Request&, httplib::Response& res) {
    res.set_header("Set-Cookie", "flavour=oat; Path=/");
    res.set_content("set", "text/plain");
  });
  server.server().Get("/set-other", [](const httplib::Request&, httplib::Response& res) {
    res.set_header("Set-Cookie", "jar=private; Path=/");
    res.set_content("set", "text/plain");
  });
  server.server().Get("/protected", [](const httplib::Request& req, httplib::Response& res) {
    if (!req.has_header("Authorization")) {
      res.status = 401;
      res.set_header("WWW-Authenticate", "Basic realm=\"reuse\"");
      return;
    }
    res.set_content(req.get_header_value("Authorization"), "text/plain");
  });
  const std::string base = server.start();
  // "host:port", for a URL with user information.
  const std::string authority = base.substr(std::string("http://").size());

  const std::vector<Step> steps = {
      {"post with body and fields",
       [](URLSession& s, TransferDelegate&, const std::string& b) {
         auto r = request(b + "/echo", "POST", "abc");
         r.setValueForHTTPHeaderField("one", "X-Mark");
         r.setValueForHTTPHeaderField("text/x", "Content-Type");
         return s.dataTask(r);
       },
       "POST|abc|one|text/x|||"},
      {"get after a post", get("/echo"), "GET||||||"},
      {"put with its own authorization",
       [](URLSession& s, TransferDelegate&, const std::string& b) {
         auto r = request(b + "/echo", "PUT", "xyz");
         r.setValueForHTTPHeaderField("Bearer t", "Authorization");
         return s.dataTask(r);
       },
       "PUT|xyz||application/x-www-form-urlencoded||Bearer t|"},
      {"delete without a body",
       [](URLSession& s, TransferDelegate&, const std::string& b) {
         return s.dataTask(request(b + "/echo", "DELETE"));
       },
       "DELETE||||||"},
      {"get after a delete", get("/echo"), "GET||||||"},
      {"a cookie is set", get("/set"), "set"},
      {"the cookie goes along", get("/echo"), "GET||||flavour=oat||"},
      {"a request that opts out sends none", get("/echo", false), "GET||||||"},
      {"the cookie goes along again", get("/echo"), "GET||||flavour=oat||"},
      {"credentials answer a challenge",
       [authority](URLSession& s, TransferDelegate&, const std::string&) {
         return s.dataTask(request("http://user:secret@" + authority + "/protected"));
       },
       "Basic dXNlcjpzZWNyZXQ="},
      {"no credentials after the challenge", get("/echo"), "GET||||flavour=oat||"},
      {"uploaded bytes",
       [](URLSession& s, TransferDelegate&, const std::string& b) {
         return s.uploadTask(request(b + "/echo", "POST"), bytes("up"));
       },
       "POST|up|||flavour=oat||"},
      {"a streamed upload",
       [](URLSession& s, TransferDelegate& d, const std::string& b) {
         d.bodyStream = [] { return platform::InputStream::withData(bytes("streamed")); };
         return s.uploadTaskWithStreamedRequest(request(b + "/echo", "POST"));
       },
       "POST|streamed|||flavour=oat||chunked"},
      {"get after a streamed upload", get("/echo"), "GET||||flavour=oat||"},
      // Set up with the cookie store, then never started: what it set must not reach the next
      // request, which keeps no cookies.
      {"a streamed upload without a stream",
       [](URLSession& s, TransferDelegate& d, const std::string& b) {
         d.bodyStream = nullptr;
         return s.uploadTaskWithStreamedRequest(request(b + "/echo", "POST"));
       },
       "", URLError::Code::requestBodyStreamExhausted},
      {"a cookie offered to a request that keeps none", get("/set-other", false), "set"},
      {"it is not kept for the next one either", get("/echo", false), "GET||||||"},
      {"nor in the session's store", get("/echo"), "GET||||flavour=oat||"},
  };

  // One transfer at a time, so every step runs on the handle the step before gave back.
  auto configuration = URLSessionConfiguration::ephemeral();
  configuration.httpMaximumConnectionsPerHost = 1;
  auto delegate = std::make_shared<TransferDelegate>();
  auto session = URLSession::make(configuration, delegate, nettest::mainDelegateQueue());
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    auto task = step.make(*session, *delegate, base);
    task->resume();
    ASSERT_TRUE(
        platform::runMainUntil([&] { return delegate->isComplete(task->taskIdentifier()); }, 10));
    const auto record = delegate->record(task->taskIdentifier());
    if (step.failure) {
      ASSERT_NE(urlError(record.error), nullptr);
      EXPECT_EQ(urlError(record.error)->code(), *step.failure);
      continue;
    }
    ASSERT_EQ(record.error, nullptr) << record.error->debugDescription();
    EXPECT_EQ(record.body_text(), step.body);
  }
  session->invalidateAndCancel();
  ASSERT_TRUE(platform::runMainUntil([&] { return delegate->invalidated(); }, 10));
  session.reset();
  server.stop();
  platform::drainMainQueue();
}

}  // namespace
