#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "halyard/core/data_stream_request.h"
#include "halyard/core/http_headers.h"
#include "halyard/core/session.h"
#include "halyard/support/test_server.h"
#include "halyard/support/wait.h"

namespace {

using halyard::DataStreamRequest;
using halyard::HalyardError;
using halyard::Session;
using halyardtest::TestServer;
using halyardtest::waitUntil;
using RawStream = DataStreamRequest::Stream<platform::Bytes, DataStreamRequest::Never>;

// What a failed validation left on the stream's completion; all empty when it passed.
struct Outcome {
  bool failed = false;
  bool validationFailed = false;
  std::optional<std::int64_t> rejectedStatusCode;
  std::optional<std::vector<std::string>> allowedContentTypes;
  std::optional<std::string> receivedContentType;
};

// The rows mirror the data request's: the same operations, the same reasons. A stream has no
// body to look at, so its content type is checked even when nothing follows the head.
TEST(StreamValidationITest, StatusCodesAndContentTypesEndTheStreamWithTheReason) {
  TestServer server;
  auto& s = server.server();
  s.Get("/release", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(R"({"name":"Tovarine"})", "application/json");
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
  const std::string base = server.start();
  auto session = Session::initWithConfiguration();

  std::vector<std::string> acceptedLater = {"application/xml"};
  struct Row {
    std::string name;
    std::string path;
    std::optional<std::string> accept;
    std::function<void(DataStreamRequest&)> validate;
    Outcome expected;
  };
  const std::vector<std::string> json = {"application/json"};
  const Row rows[] = {
      {"default passes an acceptable response",
       "/release",
       "application/json",
       [](DataStreamRequest& r) { r.validateStatusAndContentType(); },
       {}},
      {"default refuses a 404",
       "/missing",
       std::nullopt,
       [](DataStreamRequest& r) { r.validateStatusAndContentType(); },
       {true, true, 404, std::nullopt, std::nullopt}},
      {"default refuses a type the Accept header leaves out",
       "/html",
       "application/json",
       [](DataStreamRequest& r) { r.validateStatusAndContentType(); },
       {true, true, std::nullopt, json, "text/html"}},
      {"default checks the type of a head without a body",
       "/nothing",
       "application/json",
       [](DataStreamRequest& r) { r.validateStatusAndContentType(); },
       {true, true, std::nullopt, json, std::nullopt}},
      {"without an Accept header any head passes",
       "/nothing",
       std::nullopt,
       [](DataStreamRequest& r) { r.validateStatusAndContentType(); },
       {}},
      {"a list of codes",
       "/release",
       std::nullopt,
       [](DataStreamRequest& r) { r.validateStatusCodes(std::vector<int>{201}); },
       {true, true, 200, std::nullopt, std::nullopt}},
      {"a range of codes",
       "/missing",
       std::nullopt,
       [](DataStreamRequest& r) {
         r.validateStatusCodes(halyard::StatusCodeRange{200, 300});
       },
       {true, true, 404, std::nullopt, std::nullopt}},
      {"a list of types with a wildcard",
       "/html",
       std::nullopt,
       [](DataStreamRequest& r) {
         r.validateContentTypes(std::vector<std::string>{"application/json", "text/*"});
       },
       {}},
      {"types asked for when the head arrives",
       "/release",
       std::nullopt,
       [&](DataStreamRequest& r) {
         r.validateContentTypes([&] { return acceptedLater; });
         acceptedLater = {"text/plain", "application/json"};
       },
       {}},
      {"each check of a chain runs",
       "/html",
       std::nullopt,
       [](DataStreamRequest& r) {
         r.validateStatusCodes(halyard::StatusCodeRange{200, 300})
             .validateContentTypes(std::vector<std::string>{"text/plain", "application/json"});
       },
       {true, true, std::nullopt, std::vector<std::string>{"application/json", "text/plain"},
        "text/html"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::optional<halyard::HTTPHeaders> headers;
    if (row.accept) headers = halyard::HTTPHeaders{halyard::HTTPHeader::makeAccept(*row.accept)};
    auto request = session->makeStreamRequestWithoutParameters(base + row.path,
                                                               halyard::HTTPMethod::GET, headers);
    row.validate(*request);
    std::optional<Outcome> outcome;
    request->streamAsData(platform::DispatchQueue::main(), [&](const RawStream& stream) {
      const auto completion = stream.completion();
      if (!completion) return;
      Outcome seen;
      if (const auto& error = completion->error) {
        seen.failed = true;
        seen.validationFailed = error->isResponseValidationFailed();
        seen.rejectedStatusCode = error->rejectedStatusCode();
        seen.allowedContentTypes = error->allowedContentTypes();
        seen.receivedContentType = error->receivedContentType();
      }
      outcome = seen;
    });
    ASSERT_TRUE(waitUntil([&] { return outcome.has_value(); }));
    EXPECT_EQ(outcome->failed, row.expected.failed);
    EXPECT_EQ(outcome->validationFailed, row.expected.validationFailed);
    EXPECT_EQ(outcome->rejectedStatusCode, row.expected.rejectedStatusCode);
    EXPECT_EQ(outcome->allowedContentTypes, row.expected.allowedContentTypes);
    EXPECT_EQ(outcome->receivedContentType, row.expected.receivedContentType);
    ASSERT_TRUE(request->error().has_value() == row.expected.failed);
  }
}

}  // namespace
