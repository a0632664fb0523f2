#include "halyard/core/response.h"

#include <gtest/gtest.h>

namespace {

using halyard::DataResponse;
using halyard::DownloadResponse;
using halyard::HalyardError;

platform::URLRequest request() {
  platform::URLRequest r(*platform::URL::fromString("http://127.0.0.1/release"));
  r.httpMethod = "POST";
  r.setValueForHTTPHeaderField("application/json", "Content-Type");
  r.setValueForHTTPHeaderField("a", "X-B");
  r.httpBody = platform::Bytes{'{', '}'};
  return r;
}

platform::HTTPURLResponsePtr response(const std::string& contentType) {
  return std::make_shared<platform::HTTPURLResponse>(
      *platform::URL::fromString("http://127.0.0.1/release"), 200, "HTTP/1.1",
      platform::HTTPHeaderFields{{"Content-Type", contentType}});
}

platform::Bytes bytes(std::string_view text) {
  return platform::Bytes(text.begin(), text.end());
}

TEST(DataResponseTest, WithoutARequestOnlyTheResultIsPrinted) {
  const DataResponse<int> r{std::nullopt, response("application/json"),       bytes("1"), nullptr,
                            0.5,          std::expected<int, HalyardError>(3)};
  EXPECT_EQ(r.debugDescription(), "[Request]: None\n[Result]: success(3)");
  EXPECT_EQ(r.description(), "success(3)");
}

TEST(DataResponseTest, DiagnosticTextListsRequestResponseBodyAndDurations) {
  const DataResponse<std::string> r{
      request(),
      response("application/json"),
      bytes(" {\"a\":1}\n"),
      nullptr,
      0.25,
      std::expected<std::string, HalyardError>(std::unexpect, HalyardError::explicitlyCancelled())};
  EXPECT_EQ(r.debugDescription(),
            "[Request]: POST http://127.0.0.1/release\n"
            "    [Headers]:\n"
            "        Content-Type: application/json\n"
            "        X-B: a\n"
            "    [Body]:\n"
            "        {}\n"
            "[Response]:\n"
            "    [Status Code]: 200\n"
            "    [Headers]:\n"
            "        Content-Type: application/json\n"
            "    [Body]:\n"
            "        {\"a\":1}\n"
            "[Network Duration]: None\n"
            "[Serialization Duration]: 0.25s\n"
            "[Result]: failure(HalyardError.explicitlyCancelled: Request explicitly cancelled.)");
}

TEST(DataResponseTest, BodiesArePrintedOnlyWhenTextualAndSmall) {
  using halyard::response_detail::describeBodyForDebug;
  const halyard::HTTPHeaders json{{"content-type", "application/json"}};
  EXPECT_EQ(describeBodyForDebug(bytes("0123456789"), json), "[Body]:\n    0123456789");
  EXPECT_EQ(describeBodyForDebug(bytes("0123456789"), {{"Content-Type", "image/png"}}),
            "[Body]: 10 bytes");
  EXPECT_EQ(describeBodyForDebug(platform::Bytes{}, json), "[Body]: None");
  EXPECT_EQ(describeBodyForDebug(bytes("x"), {}), "[Body]: 1 bytes");
  const platform::Bytes limit(100000, 'a');
  EXPECT_TRUE(describeBodyForDebug(limit, json).starts_with("[Body]:\n    aaa"));
  const platform::Bytes over(100001, 'a');
  EXPECT_EQ(describeBodyForDebug(over, json), "[Body]: 100001 bytes");
  EXPECT_EQ(halyard::response_detail::describeHeadersForDebug({}), "[Headers]: None");
}

TEST(DataResponseTest, MetricsGiveTheNetworkDuration) {
  auto metrics = std::make_shared<platform::URLSessionTaskMetrics>();
  metrics->taskInterval.start = platform::Date(100.0);
  metrics->taskInterval.duration = 1.5;
  const DataResponse<int> r{request(), nullptr, std::nullopt,
                            metrics,   0,       std::expected<int, HalyardError>(1)};
  const auto text = r.debugDescription();
  EXPECT_NE(text.find("[Response]: None\n[Network Duration]: 1.5s\n[Serialization Duration]: 0.0s"),
            std::string::npos)
      << text;
}

TEST(DataResponseTest, TransformsKeepEverythingButTheResult) {
  const DataResponse<int> r{request(),  response("text/plain"),
                            bytes("5"), nullptr,
                            0.1,        std::expected<int, HalyardError>(5)};
  const auto doubled = r.mapValue([](int v) { return v * 2; });
  EXPECT_EQ(*doubled.result, 10);
  EXPECT_EQ(doubled.data, r.data);

  const auto failed = r.tryMapValue([](int) -> int { throw HalyardError::sessionDeinitialized(); });
  ASSERT_FALSE(failed.result);
  EXPECT_TRUE(halyard::toHalyardError(failed.result.error())->isSessionDeinitialized());
  EXPECT_EQ(failed.request, r.request);
  EXPECT_EQ(failed.response, r.response);
  EXPECT_EQ(failed.data, r.data);

  const DataResponse<int> failure{
      std::nullopt,
      nullptr,
      std::nullopt,
      nullptr,
      0,
      std::expected<int, HalyardError>(std::unexpect, HalyardError::explicitlyCancelled())};
  EXPECT_TRUE(failure.mapValue([](int v) { return v; }).resultError()->isExplicitlyCancelled());
  const auto renamed = failure.mapFailure([](const HalyardError&) { return std::string("gone"); });
  EXPECT_EQ(renamed.result.error(), "gone");
  EXPECT_FALSE(r.resultError());
  EXPECT_EQ(r.resultValue(), 5);
}

TEST(DownloadResponseTest, DiagnosticTextWithoutFileOrResumeData) {
  const DownloadResponse<int> r{request(),
                                nullptr,
                                std::nullopt,
                                std::nullopt,
                                nullptr,
                                0,
                                std::expected<int, HalyardError>(1)};
  const auto text = r.debugDescription();
  EXPECT_NE(text.find("[File URL]: None\n[Resume Data]: None\n[Network Duration]: None"),
            std::string::npos)
      << text;
}

}  // namespace
