#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <string>

#include "halyard/core/data_request.h"
#include "halyard/core/session.h"
#include "halyard/support/test_server.h"
#include "halyard/support/wait.h"

namespace {

using halyard::DataResponse;
using halyard::HTTPMethod;
using halyard::Parameters;
using halyard::Session;
using halyardtest::TestServer;
using halyardtest::waitUntil;

struct Profile {
  void encode(platform::Encoder& encoder) const {
    auto c = encoder.container();
    c->encode(std::string("x y"), "name");
    c->encode(std::vector<int>{2, 1}, "ids");
  }
};

// Requests made with parameters but without an encoding or an encoder still carry them,
// written the default way.
class ParameterRequestITest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto record = [this](const httplib::Request& request, httplib::Response& response) {
      std::lock_guard lock(mutex);
      seen = request.method + " " + request.target + " [" + request.body + "] " +
             request.get_header_value("Content-Type");
      response.set_content("ok", "text/plain");
    };
    server.server().Get("/echo", record);
    server.server().Post("/echo", record);
    base = server.start();
    session = Session::initWithConfiguration(Session::defaultConfiguration());
  }

  std::string run(const std::shared_ptr<halyard::DataRequest>& request) {
    std::optional<DataResponse<std::string>> received;
    request->responseAsString([&](const auto& r) { received = r; });
    EXPECT_TRUE(waitUntil([&] { return received.has_value(); }));
    if (!received) return "no response";
    EXPECT_TRUE(received->result) << received->debugDescription();
    std::lock_guard lock(mutex);
    return seen;
  }

  std::mutex mutex;
  std::string seen;
  TestServer server;
  std::string base;
  std::shared_ptr<Session> session;
};

TEST_F(ParameterRequestITest, DictionaryWithoutEncodingReachesTheServer) {
  const Parameters parameters{{"name", "x y"}, {"ids", platform::Value::Array{2, 1}}};
  struct Case {
    HTTPMethod method;
    std::string expected;
  };
  for (const auto& [method, expected] :
       {Case{HTTPMethod::GET, "GET /echo?ids%5B%5D=2&ids%5B%5D=1&name=x%20y [] "},
        Case{HTTPMethod::POST,
             "POST /echo [ids%5B%5D=2&ids%5B%5D=1&name=x%20y] "
             "application/x-www-form-urlencoded; charset=utf-8"}}) {
    EXPECT_EQ(
        run(session->makeDataRequestFromParameters(base + "/echo", method, parameters, nullptr)),
        expected);
  }
}

TEST_F(ParameterRequestITest, EncodableWithoutEncoderReachesTheServer) {
  struct Case {
    HTTPMethod method;
    std::string expected;
  };
  for (const auto& [method, expected] :
       {Case{HTTPMethod::GET, "GET /echo?ids%5B%5D=1&ids%5B%5D=2&name=x%20y [] "},
        Case{HTTPMethod::POST,
             "POST /echo [ids%5B%5D=1&ids%5B%5D=2&name=x%20y] "
             "application/x-www-form-urlencoded; charset=utf-8"}}) {
    EXPECT_EQ(run(session->makeDataRequestFromEncodable(
                  base + "/echo", method, std::optional<Profile>(Profile{}), nullptr)),
              expected);
  }
}

}  // namespace
