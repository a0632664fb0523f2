#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>

#include "halyard/core/data_request.h"
#include "halyard/core/http_headers.h"
#include "halyard/core/session.h"
#include "halyard/support/test_server.h"
#include "halyard/support/wait.h"

namespace {

using halyard::DataResponse;
using halyard::HalyardError;
using halyard::Session;
using halyardtest::TestServer;
using halyardtest::waitUntil;

struct Release {
  std::string name;
  std::string releaseVersion;
  int buildVersion = 0;
  bool isMandatory = false;

  static Release decode(platform::Decoder& decoder) {
    auto container = decoder.container();
    return {container->decode<std::string>("name"),
            container->decode<std::string>("releaseVersion"),
            container->decode<int>("buildVersion"), container->decode<bool>("isMandatory")};
  }
};

class DataRequestITest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto& s = server.server();
    s.Get("/release", [](const httplib::Request&, httplib::Response& response) {
      response.set_content(
          R"({"name":"Tovarine","releaseVersion":"1.2.0","buildVersion":42,"isMandatory":true})",
          "application/json");
    });
    s.Get("/missing", [](const httplib::Request&, httplib::Response& response) {
      response.status = 404;
      response.set_content("gone", "text/plain");
    });
    s.Get("/html", [](const httplib::Request&, httplib::Response& response) {
      response.set_content("<p>hi</p>", "text/html; charset=utf-8");
    });
    s.Get("/nothing",
          [](const httplib::Request&, httplib::Response& response) { response.status = 204; });
    s.Get("/empty",
          [](const httplib::Request&, httplib::Response& response) { response.status = 200; });
    s.Get("/latin", [](const httplib::Request&, httplib::Response& response) {
      response.set_content(std::string("caf\xE9", 4), "text/plain; charset=iso-8859-1");
    });
    s.Get("/headers", [this](const httplib::Request& request, httplib::Response& response) {
      std::lock_guard lock(mutex);
      received = request.headers;
      response.set_content("ok", "text/plain");
    });
    base = server.start();
  }

  template <class T>
  std::optional<DataResponse<T>> await(std::optional<DataResponse<T>>& slot) {
    EXPECT_TRUE(waitUntil([&] { return slot.has_value(); }));
    return slot;
  }

  TestServer server;
  std::string base;
  std::shared_ptr<Session> session = Session::initWithConfiguration();
  std::mutex mutex;
  httplib::Headers received;
};

TEST_F(DataRequestITest, GetIsDecodedIntoAValueOnTheMainQueue) {
  std::optional<DataResponse<Release>> received;
  bool deliveredOnMain = false;
  session->makeDataRequest(base + "/release")
      ->validateStatusAndContentType()
      .responseAsDecodable<Release>([&](const DataResponse<Release>& response) {
        deliveredOnMain = platform::DispatchQueue::main()->isCurrent();
        received = response;
      });
  ASSERT_TRUE(await(received));
  EXPECT_TRUE(deliveredOnMain);
  ASSERT_TRUE(received->result.has_value()) << received->debugDescription();
  EXPECT_EQ(received->result->name, "Tovarine");
  EXPECT_EQ(received->result->releaseVersion, "1.2.0");
  EXPECT_EQ(received->result->buildVersion, 42);
  EXPECT_TRUE(received->result->isMandatory);
  ASSERT_TRUE(received->response);
  EXPECT_EQ(received->response->statusCode(), 200);
  EXPECT_EQ(received->request->url->absoluteString(), base + "/release");
  EXPECT_TRUE(received->metrics);
  EXPECT_GE(received->serializationDuration, 0.0);
}

TEST_F(DataRequestITest, TextThenDecodedValueOnOneRequestBothArriveInOrder) {
  std::vector<std::string> order;
  session->makeDataRequest(base + "/release")
      ->validateStatusAndContentType()
      .responseAsString([&](const DataResponse<std::string>& r) {
        order.push_back(r.result ? "text" : "text failed");
      })
      .responseAsDecodable<Release>([&](const DataResponse<Release>& r) {
        order.push_back(r.result ? "value" : "value failed");
      });
  ASSERT_TRUE(waitUntil([&] { return order.size() == 2; }));
  EXPECT_EQ(order, (std::vector<std::string>{"text", "value"}));
}

TEST_F(DataRequestITest, ValidationRejectsBadStatusesAndContentTypes) {
  std::optional<DataResponse<platform::Bytes>> missing;
  session->makeDataRequest(base + "/missing")
      ->validateStatusAndContentType()
      .responseAsData([&](const auto& r) { missing = r; });
  ASSERT_TRUE(await(missing));
  ASSERT_FALSE(missing->result);
  EXPECT_EQ(missing->result.error().rejectedStatusCode(), 404);
  // The body is still delivered alongside the error.
  EXPECT_EQ(missing->data, (platform::Bytes{'g', 'o', 'n', 'e'}));

  std::optional<DataResponse<std::string>> html;
  session
      ->makeDataRequest(base + "/html", halyard::HTTPMethod::GET,
                        halyard::HTTPHeaders{halyard::HTTPHeader::makeAccept("application/json")})
      ->validateStatusAndContentType()
      .responseAsString([&](const auto& r) { html = r; });
  ASSERT_TRUE(await(html));
  ASSERT_FALSE(html->result);
  EXPECT_EQ(html->result.error().allowedContentTypes(),
            std::vector<std::string>{"application/json"});
  EXPECT_EQ(html->result.error().receivedContentType(), "text/html");

  std::optional<DataResponse<std::string>> custom;
  session->makeDataRequest(base + "/release")
      ->validateStatusCodes(std::vector<int>{201})
      .responseAsString([&](const auto& r) { custom = r; });
  ASSERT_TRUE(await(custom));
  EXPECT_EQ(custom->result.error().rejectedStatusCode(), 200);
}

TEST_F(DataRequestITest, EmptyBodiesDependOnStatusAndMethod) {
  std::optional<DataResponse<platform::Bytes>> noContent;
  session->makeDataRequest(base + "/nothing")
      ->validateStatusAndContentType()
      .responseAsData([&](const auto& r) { noContent = r; });
  ASSERT_TRUE(await(noContent));
  ASSERT_TRUE(noContent->result) << noContent->debugDescription();
  EXPECT_TRUE(noContent->result->empty());

  std::optional<DataResponse<halyard::Empty>> empty;
  session->makeDataRequest(base + "/nothing")
      ->responseAsDecodable<halyard::Empty>([&](const auto& r) { empty = r; });
  ASSERT_TRUE(await(empty));
  EXPECT_TRUE(empty->result);

  std::optional<DataResponse<std::string>> emptyGet;
  session->makeDataRequest(base + "/empty")->responseAsString([&](const auto& r) { emptyGet = r; });
  ASSERT_TRUE(await(emptyGet));
  ASSERT_FALSE(emptyGet->result);
  EXPECT_EQ(emptyGet->result.error().errorDescription(),
            "Response could not be serialized, input data was nil or zero length.");

  std::optional<DataResponse<std::optional<platform::Bytes>>> unserialized;
  session->makeDataRequest(base + "/empty")->responseUnserialized([&](const auto& r) {
    unserialized = r;
  });
  ASSERT_TRUE(await(unserialized));
  ASSERT_TRUE(unserialized->result);
  EXPECT_FALSE(*unserialized->result);
  EXPECT_EQ(unserialized->serializationDuration, 0);

  std::optional<DataResponse<std::string>> head;
  session->makeDataRequest(base + "/release", halyard::HTTPMethod::HEAD)
      ->responseAsString([&](const auto& r) { head = r; });
  ASSERT_TRUE(await(head));
  ASSERT_TRUE(head->result) << head->debugDescription();
  EXPECT_EQ(*head->result, "");
}

TEST_F(DataRequestITest, TextUsesTheResponsesCharset) {
  std::optional<DataResponse<std::string>> latin;
  session->makeDataRequest(base + "/latin")->responseAsString([&](const auto& r) { latin = r; });
  ASSERT_TRUE(await(latin));
  ASSERT_TRUE(latin->result);
  EXPECT_EQ(*latin->result, "caf\xC3\xA9");
}

TEST_F(DataRequestITest, JSONBecomesALooseValue) {
  std::optional<DataResponse<platform::Value>> json;
  session->makeDataRequest(base + "/release")->responseAsJSON([&](const auto& r) { json = r; });
  ASSERT_TRUE(await(json));
  ASSERT_TRUE(json->result);
  ASSERT_TRUE(json->result->find("name"));
  EXPECT_EQ(*json->result->find("name")->asString(), "Tovarine");
}

TEST_F(DataRequestITest, DefaultHeadersGoOutWithEveryRequest) {
  std::optional<DataResponse<std::string>> done;
  session->makeDataRequest(base + "/headers")->responseAsString([&](const auto& r) { done = r; });
  ASSERT_TRUE(await(done));
  std::lock_guard lock(mutex);
  auto header = [&](const char* name) {
    auto found = received.find(name);
    return found == received.end() ? std::string("(absent)") : found->second;
  };
  EXPECT_EQ(header("Accept-Encoding"), "br;q=1.0, gzip;q=0.9, deflate;q=0.8");
  EXPECT_EQ(header("Accept-Language"),
            halyard::HTTPHeaders::defaultHeaders().valueForName("Accept-Language"));
  EXPECT_NE(header("User-Agent").find("; Linux "), std::string::npos) << header("User-Agent");
  EXPECT_TRUE(header("User-Agent").ends_with(" Halyard/1.0.0")) << header("User-Agent");
}

TEST_F(DataRequestITest, RequestsThatCannotBeBuiltFailBeforeAnyTask) {
  std::optional<DataResponse<std::string>> invalid;
  auto bad = session->makeDataRequest(std::string("http://bad host/"));
  bad->responseAsString([&](const auto& r) { invalid = r; });
  ASSERT_TRUE(await(invalid));
  ASSERT_FALSE(invalid->result);
  EXPECT_TRUE(invalid->result.error().isInvalidURL());
  EXPECT_EQ(*invalid->result.error().invalidURLValue()->text(), "http://bad host/");
  EXPECT_TRUE(bad->tasks().empty());

  std::optional<DataResponse<std::string>> withBody;
  auto get = session->makeDataRequest(
      base + "/release", halyard::HTTPMethod::GET, std::nullopt, nullptr,
      [](platform::URLRequest& request) { request.httpBody = platform::Bytes{}; });
  get->responseAsString([&](const auto& r) { withBody = r; });
  ASSERT_TRUE(await(withBody));
  ASSERT_FALSE(withBody->result);
  EXPECT_NE(withBody->result.error().as<HalyardError::URLRequestValidationFailed>(), nullptr);

  std::optional<DataResponse<std::string>> modifierThrew;
  session
      ->makeDataRequest(base + "/release", halyard::HTTPMethod::GET, std::nullopt, nullptr,
                        [](platform::URLRequest&) { throw std::runtime_error("no"); })
      ->responseAsString([&](const auto& r) { modifierThrew = r; });
  ASSERT_TRUE(await(modifierThrew));
  ASSERT_FALSE(modifierThrew->result);
  EXPECT_TRUE(modifierThrew->result.error().isCreateURLRequestFailed());
  EXPECT_EQ(modifierThrew->result.error().wrappedError()->localizedDescription(), "no");
}

}  // namespace
