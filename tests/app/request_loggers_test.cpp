#include "app/service/request_loggers.h"

#include <gtest/gtest.h>

#include "almanac/date_in_region.h"
#include "almanac/date_styles.h"
#include "almanac/region.h"
#include "platform/foundation/log.h"
#include "platform/net/url_error.h"
#include "platform/time/locale.h"
#include "platform/time/time_zone.h"

namespace {

using app::DefaultEventMonitor;
using app::HalyardEventMonitor;
using halyard::DataResponse;
using halyard::HalyardError;
using platform::Bytes;
namespace text = app::request_log_text;

const std::string kRule = "[API] ----------------------------";

Bytes bytes(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

platform::URLRequest post(const std::string& url, const std::string& body) {
  platform::URLRequest request(*platform::URL::fromString(url));
  request.httpMethod = "POST";
  request.setValueForHTTPHeaderField("secret", "X-Token");
  request.setValueForHTTPHeaderField("application/json", "Content-Type");
  request.httpBody = bytes(body);
  return request;
}

class RequestLoggersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Locale::setCurrent(platform::Locale("en_US"));
    platform::TimeZone::setCurrent(*platform::TimeZone::withIdentifier("UTC"));
    previousClock = platform::setDateClock([] { return platform::Date(800000000.0); });
  }
  void TearDown() override {
    platform::setDateClock(previousClock);
    platform::Locale::setCurrent(std::nullopt);
    platform::TimeZone::setCurrent(std::nullopt);
  }

  // The date part, from the date library itself: the full style's spacing differs by ICU.
  static std::string date() {
    return almanac::DateInRegion(platform::Date(800000000.0), almanac::Region::systemSettings())
        .string(almanac::DateToStringStyles::dateTime(platform::DateFormatter::Style::full));
  }

  std::shared_ptr<halyard::DataRequest> request(std::optional<platform::URLRequest> urlRequest) {
    auto made = std::make_shared<halyard::DataRequest>(
        halyard::RequestContext{platform::UUID(), queue, queue, nullptr, nullptr, {}},
        halyard::makeURLRequestConvertible(
            platform::URLRequest(*platform::URL::fromString("http://127.0.0.1/"))));
    if (urlRequest) queue->sync([&] { made->recordInitialURLRequest(*urlRequest); });
    return made;
  }

  static platform::HTTPURLResponsePtr response(int status) {
    return std::make_shared<const platform::HTTPURLResponse>(
        *platform::URL::fromString("http://127.0.0.1/p"), status, "HTTP/1.1",
        platform::HTTPHeaderFields{{"Server", "test"}, {"Content-Type", "text/plain"}});
  }

  platform::DispatchQueuePtr queue = platform::DispatchQueue::serial("request.loggers.test");
  platform::DateClock previousClock;
};

TEST_F(RequestLoggersTest, RequestBlocksArePrintedInFull) {
  struct Row {
    const char* name;
    std::optional<platform::URLRequest> urlRequest;
    std::string expected;
  };
  const std::vector<Row> rows{
      {"headers and a body on one line", post("http://127.0.0.1/p", "{\n\t\"a\": 1\n}"),
       kRule + "\n[API] REQUEST DATE: " + date() +
           "\n[API] REQUEST: POST http://127.0.0.1/p\n[API] HEADER: [\"Content-Type\": "
           "\"application/json\", \"X-Token\": \"secret\"]\n[API] BODY: {\"a\": 1}\n" +
           kRule},
      {"without a URL request", std::nullopt,
       kRule + "\n[API] REQUEST DATE: " + date() +
           "\n[API] REQUEST: No request created yet.\n[API] HEADER: NONE\n[API] BODY: \n" + kRule},
      {"control characters escaped",
       post("http://127.0.0.1/p",
            "a\x1B]0;title\x07"
            "b\rc\xC2\x85"
            "d\x7F"),
       kRule + "\n[API] REQUEST DATE: " + date() +
           "\n[API] REQUEST: POST http://127.0.0.1/p\n[API] HEADER: [\"Content-Type\": "
           "\"application/json\", \"X-Token\": \"secret\"]\n[API] BODY: "
           "a\\u{1B}]0;title\\u{7}b\\u{D}c\\u{85}d\\u{7F}\n" +
           kRule},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    platform::LogCapture capture;
    HalyardEventMonitor().requestDidResume(request(row.urlRequest));
    EXPECT_EQ(capture.text(), "✅ " + row.expected + "\n");
  }
}

TEST_F(RequestLoggersTest, ResponseBlocksArePrintedInFull) {
  const auto urlRequest = post("http://127.0.0.1/p", "x");
  auto cached = std::make_shared<platform::URLSessionTaskMetrics>();
  cached->transactionMetrics.emplace_back();
  cached->transactionMetrics.back().resourceFetchType =
      platform::URLSessionTaskTransactionMetrics::ResourceFetchType::localCache;
  const auto failure = HalyardError::sessionTaskFailed(
      platform::makeError(platform::URLError(platform::URLError::Code::timedOut)));
  const std::string headers = "[\"Content-Type\": \"text/plain\", \"Server\": \"test\"]";
  const auto head = [&](const std::string& from, const std::string& status,
                        const std::string& error) {
    return kRule + "\n[API] RESPONSE DATE: [" + date() + "]\n[API] RESPONSE FROM: [" + from +
           "]\n[API] RESPONSE: [" + status + "] http://127.0.0.1/p\n[API] RESPONSE ERROR: [" +
           error + "]\n[API] HEADER: ";
  };

  platform::LogCapture capture;
  HalyardEventMonitor monitor;
  monitor.requestDidParseResponse(
      nullptr, DataResponse<std::optional<Bytes>>{urlRequest, response(200), bytes("ok"), cached, 0,
                                                  std::optional<Bytes>(bytes("ok"))});
  monitor.requestDidParseResponse(
      nullptr, DataResponse<std::optional<Bytes>>{urlRequest, nullptr, std::nullopt, nullptr, 0,
                                                  std::unexpected(failure)});
  monitor.requestDidParseResponseValue(
      nullptr, DataResponse<halyard::AnyValue>{urlRequest, response(201), bytes("line\none\t!"),
                                               nullptr, 0, halyard::AnyValue::of(1)});
  EXPECT_EQ(capture.text(), "✅ " + head("CACHE", "200", "") + headers + "\n" + kRule + "\n" + "✅ " +
                                head("SERVER", "0", failure.errorDescription()) + "NONE\n" + kRule +
                                "\n" + "✅ " + head("SERVER", "201", "") + headers +
                                "\n[API] BODY: lineone!\n" + kRule + "\n");
}

TEST_F(RequestLoggersTest, HeaderTextsAreQuotedLiteralsInNameOrder) {
  const std::vector<std::pair<platform::HTTPHeaderFields, std::string>> rows{
      {{}, "[:]"},
      {{{"b", "2"}, {"a", "1"}}, "[\"a\": \"1\", \"b\": \"2\"]"},
      {{{"X", "q\"u\\o\nt\re\t\x1B"}}, "[\"X\": \"q\\\"u\\\\o\\nt\\re\\t\\u{1B}\"]"},
      {{{"Authorization", "Basic dTpw"}}, "[\"Authorization\": \"Basic dTpw\"]"},
  };
  for (const auto& [fields, expected] : rows)
    EXPECT_EQ(text::headerText(fields), expected);
}

TEST_F(RequestLoggersTest, DefaultMonitorComposesButPrintsNothing) {
  platform::LogCapture capture;
  DefaultEventMonitor monitor;
  const auto withBody = request(post("http://127.0.0.1/p", "a\nb"));
  monitor.requestDidResume(withBody);
  const DataResponse<std::optional<Bytes>> parsed{
      std::nullopt, response(200), bytes("ok"), nullptr, 0, std::optional<Bytes>(bytes("ok"))};
  monitor.requestDidParseResponse(nullptr, parsed);
  EXPECT_EQ(capture.text(), "");
  EXPECT_EQ(DefaultEventMonitor::requestStartedText(*withBody),
            "Request Started: POST http://127.0.0.1/p\nBody Data: a\nb");
  EXPECT_EQ(DefaultEventMonitor::requestStartedText(*request(std::nullopt)),
            "Request Started: No request created yet.\nBody Data: None");
  EXPECT_EQ(DefaultEventMonitor::responseReceivedText(parsed),
            "Response Received " + parsed.debugDescription());
}

}  // namespace
