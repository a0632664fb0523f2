// Redirects followed by the URL-loading layer and decided by redirect handlers.

#include <gtest/gtest.h>

#include <mutex>

#include "halyard/core/data_request.h"
#include "halyard/core/session.h"
#include "halyard/policies/redirector.h"
#include "halyard/support/test_server.h"
#include "halyard/support/wait.h"
#include "platform/net/url_error.h"

namespace {

using halyard::HalyardError;
using halyard::Redirector;
using halyard::Session;
using halyardtest::TestServer;
using halyardtest::waitUntil;

// What a target server received.
struct Seen {
  std::string method;
  std::string body;
  std::string authorization;
  std::string cookie;
  int hits = 0;
};

class RecordingTarget {
 public:
  explicit RecordingTarget(TestServer& server) {
    auto handler = [this](const httplib::Request& request, httplib::Response& response) {
      std::lock_guard lock(mutex_);
      seen_.method = request.method;
      seen_.body = request.body;
      seen_.authorization = request.get_header_value("Authorization");
      seen_.cookie = request.get_header_value("Cookie");
      ++seen_.hits;
      response.set_content("target", "text/plain");
    };
    for (auto* route : {"/target", "/other"}) {
      server.server().Get(route, handler);
      server.server().Post(route, handler);
      server.server().Put(route, handler);
      server.server().Delete(route, handler);
    }
  }
  Seen seen() const {
    std::lock_guard lock(mutex_);
    return seen_;
  }

 private:
  mutable std::mutex mutex_;
  Seen seen_;
};

struct Outcome {
  int status = 0;
  std::string body;
  std::optional<HalyardError> error;
  std::shared_ptr<halyard::DataRequest> request;
};

Outcome run(const std::shared_ptr<Session>& session, platform::URLRequest urlRequest,
            std::shared_ptr<halyard::RedirectHandler> handler = nullptr) {
  auto request = session->makeDataRequest(std::move(urlRequest));
  if (handler) request->setRedirectHandler(std::move(handler));
  std::optional<halyard::DataResponse<std::string>> received;
  request->responseAsString([&](const auto& r) { received = r; });
  EXPECT_TRUE(waitUntil([&] { return received.has_value(); }, 20));
  Outcome outcome;
  outcome.request = request;
  if (!received) return outcome;
  if (received->response) outcome.status = static_cast<int>(received->response->statusCode());
  if (received->result) {
    outcome.body = *received->result;
  } else {
    outcome.error = received->result.error();
  }
  return outcome;
}

platform::URLRequest requestFor(const std::string& url, std::string method = "GET",
                                std::optional<std::string> body = std::nullopt) {
  platform::URLRequest request(*platform::URL::fromString(url));
  request.httpMethod = std::move(method);
  if (body) request.httpBody = platform::Bytes(body->begin(), body->end());
  return request;
}

class RedirectITest : public testing::Test {
 protected:
  void SetUp() override {
    server_.server().Get(R"(/r/(\d+))",
                         [](const httplib::Request& request, httplib::Response& response) {
                           response.set_redirect("/target", std::stoi(request.matches[1]));
                           response.set_content("moved", "text/plain");
                         });
    for (auto method : {"POST", "PUT", "DELETE"}) {
      auto redirect = [](const httplib::Request& request, httplib::Response& response) {
        response.set_redirect("/target", std::stoi(request.matches[1]));
      };
      if (std::string(method) == "POST") server_.server().Post(R"(/r/(\d+))", redirect);
      if (std::string(method) == "PUT") server_.server().Put(R"(/r/(\d+))", redirect);
      if (std::string(method) == "DELETE") server_.server().Delete(R"(/r/(\d+))", redirect);
    }
    server_.server().Get("/relative/start", [](const httplib::Request&, httplib::Response& r) {
      r.status = 302;
      r.set_header("Location", "../target");
    });
    server_.server().Get(R"(/hop/(\d+))",
                         [](const httplib::Request& request, httplib::Response& response) {
                           const int n = std::stoi(request.matches[1]);
                           if (n == 0) return response.set_content("arrived", "text/plain");
                           response.set_redirect("/hop/" + std::to_string(n - 1), 302);
                         });
    base_ = server_.start();
    otherBase_ = other_.start();
    session_ = Session::initWithConfiguration(platform::URLSessionConfiguration::ephemeral());
  }

  TestServer server_;
  TestServer other_;
  RecordingTarget target_{server_};
  RecordingTarget otherTarget_{other_};
  std::string base_;
  std::string otherBase_;
  std::shared_ptr<Session> session_;
};

TEST_F(RedirectITest, EachStatusKeepsOrChangesTheMethodAndBody) {
  struct Row {
    int status;
    const char* method;
    const char* arrivesAs;
    bool keepsBody;
  } rows[] = {
      {301, "POST", "GET", false}, {301, "PUT", "PUT", true},  {301, "DELETE", "DELETE", false},
      {302, "POST", "GET", false}, {302, "PUT", "PUT", true},  {302, "DELETE", "DELETE", false},
      {303, "POST", "GET", false}, {303, "PUT", "GET", false}, {303, "DELETE", "GET", false},
      {307, "POST", "POST", true}, {307, "PUT", "PUT", true},  {307, "DELETE", "DELETE", false},
      {308, "POST", "POST", true}, {308, "PUT", "PUT", true},  {308, "DELETE", "DELETE", false},
  };
  for (const auto& row : rows) {
    const std::string name = std::to_string(row.status) + " " + row.method;
    const bool withBody = std::string(row.method) != "DELETE";
    auto outcome =
        run(session_, requestFor(base_ + "/r/" + std::to_string(row.status), row.method,
                                 withBody ? std::optional<std::string>("payload") : std::nullopt));
    EXPECT_EQ(outcome.status, 200) << name;
    const Seen seen = target_.seen();
    EXPECT_EQ(seen.method, row.arrivesAs) << name;
    EXPECT_EQ(seen.body, row.keepsBody ? "payload" : "") << name;
    // The task reports the method that really went out.
    auto task = outcome.request->lastTask();
    ASSERT_TRUE(task && task->currentRequest()) << name;
    EXPECT_EQ(task->currentRequest()->httpMethod.value_or("GET"), row.arrivesAs) << name;
    EXPECT_EQ(task->currentRequest()->url->absoluteString(), base_ + "/target") << name;
  }
}

TEST_F(RedirectITest, HandlersDecideAndTheRequestsOwnWins) {
  auto toOther = std::make_shared<Redirector>(Redirector::modify(
      [this](const auto&, const platform::URLRequest& proposed, const auto& response) {
        EXPECT_EQ(response->statusCode(), 302);
        EXPECT_EQ(proposed.url->absoluteString(), base_ + "/target");
        auto changed = proposed;
        changed.url = platform::URL::fromString(base_ + "/other");
        return std::optional(changed);
      }));
  auto stopping = std::make_shared<Redirector>(
      Redirector::modify([](const auto&, const auto&, const auto&) { return std::nullopt; }));
  auto sessionRefuses = Session::initWithConfiguration(
      platform::URLSessionConfiguration::ephemeral(), std::make_shared<halyard::SessionDelegate>(),
      nullptr, true, nullptr, nullptr, nullptr, nullptr, Redirector::sharedDoNotFollow());
  struct Row {
    const char* name;
    std::shared_ptr<Session> session;
    std::shared_ptr<halyard::RedirectHandler> handler;
    int status;
    std::string body;
  } rows[] = {
      {"do not follow: the redirect and its body", session_, Redirector::sharedDoNotFollow(), 302,
       "moved"},
      {"modify returning nothing stops too", session_, stopping, 302, "moved"},
      {"modify to another path", session_, toOther, 200, "target"},
      {"session refuses", sessionRefuses, nullptr, 302, "moved"},
      {"the request's handler wins", sessionRefuses, Redirector::sharedFollow(), 200, "target"},
  };
  for (const auto& row : rows) {
    const int hitsBefore = target_.seen().hits;
    auto outcome = run(row.session, requestFor(base_ + "/r/302"), row.handler);
    EXPECT_EQ(outcome.status, row.status) << row.name;
    EXPECT_EQ(outcome.body, row.body) << row.name;
    EXPECT_EQ(target_.seen().hits - hitsBefore, row.status == 200 ? 1 : 0) << row.name;
  }
}

TEST_F(RedirectITest, AnotherOriginNeverSeesTheCallersCredentialsOrCookies) {
  other_.server().Get("/away", [this](const httplib::Request&, httplib::Response& response) {
    response.set_redirect(base_ + "/target", 302);
  });
  server_.server().Get("/away", [this](const httplib::Request&, httplib::Response& response) {
    response.set_redirect(otherBase_ + "/target", 302);
  });
  server_.server().Get("/near", [](const httplib::Request&, httplib::Response& response) {
    response.set_redirect("/target", 302);
  });
  auto withSecrets = [](std::string url) {
    auto request = requestFor(url);
    request.setValueForHTTPHeaderField("Bearer secret", "Authorization");
    request.setValueForHTTPHeaderField("session=secret", "Cookie");
    request.httpShouldHandleCookies = false;
    return request;
  };
  EXPECT_EQ(run(session_, withSecrets(base_ + "/away")).status, 200);
  EXPECT_EQ(otherTarget_.seen().hits, 1);
  EXPECT_EQ(otherTarget_.seen().authorization, "");
  EXPECT_EQ(otherTarget_.seen().cookie, "");
  EXPECT_EQ(run(session_, withSecrets(base_ + "/near")).status, 200);
  EXPECT_EQ(target_.seen().authorization, "Bearer secret");
  EXPECT_EQ(target_.seen().cookie, "session=secret");
}

TEST_F(RedirectITest, RelativeLocationsAndTheRedirectLimit) {
  auto relative = run(session_, requestFor(base_ + "/relative/start"));
  EXPECT_EQ(relative.status, 200);
  EXPECT_EQ(relative.body, "target");
  auto sixteen = run(session_, requestFor(base_ + "/hop/16"));
  EXPECT_EQ(sixteen.body, "arrived");
  auto seventeen = run(session_, requestFor(base_ + "/hop/17"));
  ASSERT_TRUE(seventeen.error);
  auto* failure = dynamic_cast<const platform::URLError*>(seventeen.error->wrappedError().get());
  ASSERT_NE(failure, nullptr) << seventeen.error->debugDescription();
  EXPECT_EQ(failure->code(), platform::URLError::Code::httpTooManyRedirects);
}

TEST(RedirectorTest, BehavioursAnswerOnceAndSynchronously) {
  platform::URLRequest proposed(*platform::URL::fromString("http://a.test/next"));
  auto response = std::make_shared<const platform::HTTPURLResponse>(
      *platform::URL::fromString("http://a.test/"), 302, "HTTP/1.1", platform::HTTPHeaderFields());
  const halyard::URLSessionTaskPtr task;
  bool sawArguments = false;
  auto modifying = Redirector::modify([&](const auto& t, const auto& r, const auto& resp) {
    sawArguments = t == task && r.url == proposed.url && resp == response;
    auto changed = r;
    changed.url = platform::URL::fromString("http://a.test/changed");
    return std::optional(changed);
  });
  struct Row {
    const char* name;
    const Redirector* redirector;
    std::optional<std::string> answer;
  } rows[] = {
      {"follow", Redirector::sharedFollow().get(), "http://a.test/next"},
      {"do not follow", Redirector::sharedDoNotFollow().get(), std::nullopt},
      {"modify", &modifying, "http://a.test/changed"},
  };
  for (const auto& row : rows) {
    int calls = 0;
    std::optional<platform::URLRequest> answer;
    row.redirector->decideRedirect(task, proposed, response, [&](auto request) {
      ++calls;
      answer = std::move(request);
    });
    EXPECT_EQ(calls, 1) << row.name;
    EXPECT_EQ(answer ? std::optional(answer->url->absoluteString()) : std::nullopt, row.answer)
        << row.name;
  }
  EXPECT_TRUE(sawArguments);
}

}  // namespace
