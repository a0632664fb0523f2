#include "halyard/encoding/response_validation.h"

#include <gtest/gtest.h>

#include "halyard/core/data_request.h"

namespace {

using halyard::ContentTypeParts;
using halyard::HalyardError;

platform::HTTPURLResponse response(int status, std::optional<std::string> contentType) {
  platform::HTTPHeaderFields fields;
  if (contentType) fields.set("Content-Type", *contentType);
  return platform::HTTPURLResponse(*platform::URL::fromString("http://127.0.0.1/"), status,
                                   "HTTP/1.1", fields);
}

HalyardError failureOf(const halyard::ValidationResult& result) {
  EXPECT_FALSE(result);
  if (result) return HalyardError::explicitlyCancelled();
  return *halyard::toHalyardError(result.error());
}

TEST(ContentTypePartsTest, ParsingTrimsDropsParametersAndTakesFirstAndLastPiece) {
  EXPECT_EQ(ContentTypeParts::parse(" text/html; charset=utf-8 "),
            (ContentTypeParts{"text", "html"}));
  EXPECT_EQ(ContentTypeParts::parse("json"), (ContentTypeParts{"json", "json"}));
  EXPECT_EQ(ContentTypeParts::parse("a/b/c"), (ContentTypeParts{"a", "c"}));
  EXPECT_EQ(ContentTypeParts::parse(""), (ContentTypeParts{"", ""}));
}

TEST(ContentTypePartsTest, WildcardsCountOnTheAcceptableSideOnly) {
  const auto json = ContentTypeParts::parse("application/json");
  EXPECT_TRUE(ContentTypeParts::parse("*/json").matches(json));
  EXPECT_TRUE(ContentTypeParts::parse("application/*").matches(json));
  EXPECT_FALSE(json.matches(ContentTypeParts::parse("*/*")));
  EXPECT_FALSE(ContentTypeParts::parse("application/json")
                   .matches(ContentTypeParts::parse("APPLICATION/JSON")));
}

TEST(ResponseValidationTest, ContentTypes) {
  const auto html = failureOf(halyard::validation::validateContentType(
      {"application/json"}, response(200, "text/html; charset=utf-8")));
  EXPECT_EQ(html.allowedContentTypes(), std::vector<std::string>{"application/json"});
  EXPECT_EQ(html.receivedContentType(), "text/html");

  EXPECT_TRUE(halyard::validation::validateContentType({"application/json", " text/*"},
                                                       response(200, "text/plain")));
  EXPECT_TRUE(halyard::validation::validateContentType({"*/*"}, response(200, std::nullopt)));

  const auto missing = failureOf(halyard::validation::validateContentType(
      {"text/plain", "application/json"}, response(200, std::nullopt)));
  EXPECT_EQ(missing.allowedContentTypes(),
            (std::vector<std::string>{"application/json", "text/plain"}));
  EXPECT_EQ(missing.errorDescription(),
            "Response Content-Type was missing and acceptable content types "
            "(application/json,text/plain) do not match \"*/*\".");
}

TEST(ResponseValidationTest, MediaTypesAreComparedAsTheResponseWroteThem) {
  struct Row {
    std::vector<std::string> acceptable;
    std::string contentType;
    bool passes;
  };
  const Row rows[] = {
      {{"application/json"}, "Application/JSON", false},
      {{"APPLICATION/JSON"}, "APPLICATION/JSON; charset=utf-8", true},
      {{"text/*"}, " Text/Plain ", false},
      {{"Text/*"}, "Text/Plain", true},
      {{"*/*"}, "TEXT/PLAIN", true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.contentType);
    const auto result =
        halyard::validation::validateContentType(row.acceptable, response(200, row.contentType));
    EXPECT_EQ(bool(result), row.passes);
    if (!result) {
      // The type travels as the server wrote it, without its parameters.
      const std::string given = row.contentType.substr(row.contentType.find_first_not_of(' '));
      EXPECT_EQ(halyard::toHalyardError(result.error())->receivedContentType(),
                given.substr(0, given.find_last_not_of(' ') + 1));
    }
  }
}

TEST(ResponseValidationTest, StatusCodes) {
  const halyard::StatusCodeRange success;
  EXPECT_TRUE(
      halyard::validation::validateStatusCode(299, [&](int c) { return success.contains(c); }));
  const auto error = failureOf(
      halyard::validation::validateStatusCode(300, [&](int c) { return success.contains(c); }));
  EXPECT_EQ(error.rejectedStatusCode(), 300);
}

TEST(ResponseValidationTest, AcceptableTypesComeFromTheAcceptHeaderOfTheLastRequest) {
  auto queue = platform::DispatchQueue::serial("halyard.test.validation");
  auto request = std::make_shared<halyard::DataRequest>(
      halyard::RequestContext{platform::UUID(), queue, queue, nullptr, nullptr, {}},
      halyard::makeURLRequestConvertible(platform::URLRequest()));
  EXPECT_EQ(request->acceptableContentTypes(), std::vector<std::string>{"*/*"});

  platform::URLRequest urlRequest(*platform::URL::fromString("http://127.0.0.1/"));
  urlRequest.setValueForHTTPHeaderField("application/json, text/*,", "Accept");
  queue->sync([&] { request->recordInitialURLRequest(urlRequest); });
  EXPECT_EQ(request->acceptableContentTypes(),
            (std::vector<std::string>{"application/json", " text/*", ""}));
}

}  // namespace
