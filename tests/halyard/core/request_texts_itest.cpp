#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "halyard/core/data_request.h"
#include "halyard/core/session.h"
#include "halyard/support/test_server.h"
#include "halyard/support/wait.h"
#include "support/test_files.h"

namespace {

using halyardtest::waitUntil;

class RequestTextsITest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(directory.create("halyard-curl"));
    auto& s = server.server();
    s.Get("/login", [](const httplib::Request&, httplib::Response& response) {
      // A value that would run two commands if it reached a shell unquoted.
      response.set_header("Set-Cookie", "token=`>MARKER`$(>MARKER);Path=/");
      response.set_content("in", "text/plain");
    });
    s.Get("/missing", [](const httplib::Request&, httplib::Response& response) {
      response.status = 404;
      response.set_content("gone", "text/plain");
    });
    base = server.start();
  }

  void run(const std::shared_ptr<halyard::DataRequest>& request) {
    bool done = false;
    request->responseAsString([&](const auto&) { done = true; });
    ASSERT_TRUE(waitUntil([&] { return done; }));
  }

  // Runs the command text (without its prompt sign) with /bin/sh in the temporary directory,
  // with `curl` a shell function that prints each argument it gets, NUL-terminated.
  std::vector<std::string> shellArguments(const std::string& text) {
    EXPECT_TRUE(text.starts_with("$ "));
    const std::string script = directory.path() + "/replay.sh";
    std::ofstream(script) << "curl() { for a in \"$@\"; do printf '%s\\0' \"$a\"; done; }\n"
                          << text.substr(2) << "\n";
    const std::string command = "cd '" + directory.path() + "' && /bin/sh replay.sh";
    FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
      output.append(buffer, n);
    EXPECT_EQ(pclose(pipe), 0);
    std::vector<std::string> arguments;
    std::size_t start = 0;
    for (std::size_t end; (end = output.find('\0', start)) != std::string::npos; start = end + 1) {
      arguments.push_back(output.substr(start, end - start));
    }
    return arguments;
  }

  testsupport::TemporaryDirectory directory;
  halyardtest::TestServer server;
  std::string base;
  std::shared_ptr<halyard::Session> session =
      halyard::Session::initWithConfiguration(platform::URLSessionConfiguration::ephemeral());
};

TEST_F(RequestTextsITest, TheTextReplaysTheRequestInAShellAndRunsNothing) {
  run(session->makeDataRequest(base + "/login"));

  const std::string run = "$(touch MARKER)";
  const std::string password = "p'w\"" + run + "`touch MARKER`!\\";
  const std::string header = "it's \"quoted\" " + run + " `touch MARKER` !! ends\\";
  const std::string body = "{\"a\":\"b\\\"c\"}\n'line two' " + run + "\n\\";
  const std::string url = base + "/echo?q=$(id)";
  platform::URLRequest urlRequest(platform::URL::fromString(url).value());
  urlRequest.httpMethod = "PUT";
  urlRequest.setValueForHTTPHeaderField(header, "X-Value");
  urlRequest.setValueForHTTPHeaderField("", "X-Empty");
  urlRequest.httpBody = platform::Bytes(body.begin(), body.end());
  auto request = session->makeDataRequest(urlRequest);
  request->authenticateWithUserPassword("user", password);

  std::optional<std::string> text;
  request->cURLDescriptionOnQueue(platform::DispatchQueue::main(),
                                  [&](const std::string& t) { text = t; });
  ASSERT_TRUE(waitUntil([&] { return text.has_value(); }));

  const std::vector<std::string> expected{"-v",
                                          "-X",
                                          "PUT",
                                          "-u",
                                          "user:" + password,
                                          "-b",
                                          "token=`>MARKER`$(>MARKER)",
                                          "-H",
                                          "X-Empty;",
                                          "-H",
                                          "X-Value: " + header,
                                          "-d",
                                          body,
                                          url};
  EXPECT_EQ(shellArguments(*text), expected) << *text;
  EXPECT_FALSE(std::filesystem::exists(directory.path() + "/MARKER"));
}

TEST_F(RequestTextsITest, DescriptionOfACompletedRequestHasItsStatus) {
  auto request = session->makeDataRequest(base + "/missing");
  run(request);
  EXPECT_EQ(request->description(), "GET " + base + "/missing (404)");
}

TEST_F(RequestTextsITest, DefaultSessionsShareOneCookieStorage) {
  auto first = halyard::Session::initWithConfiguration();
  auto second = halyard::Session::initWithConfiguration();
  EXPECT_EQ(first->session()->configuration().httpCookieStorage,
            second->session()->configuration().httpCookieStorage);
  // An ephemeral session keeps its own: the cookie it got is not in the shared storage.
  run(session->makeDataRequest(base + "/login"));
  const auto url = *platform::URL::fromString(base + "/any");
  EXPECT_EQ(session->session()->configuration().httpCookieStorage->cookies(url).size(), 1u);
  for (const auto& cookie : first->session()->configuration().httpCookieStorage->cookies(url)) {
    EXPECT_NE(cookie.value, "`>MARKER`$(>MARKER)");
  }
}

}  // namespace
