#include "platform/net/url_request.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <thread>

#include "platform/net/http_url_response.h"
#include "platform/net/progress.h"
#include "platform/net/url_error.h"

namespace {

using platform::HTTPHeaderFields;
using platform::HTTPURLResponse;
using platform::URL;
using platform::URLError;
using platform::URLRequest;

URL url(std::string_view text) {
  return *URL::fromString(text);
}

TEST(URLRequestTest, DefaultsOfANewRequest) {
  URLRequest request(url("http://h/"));
  EXPECT_EQ(request.httpMethod, "GET");
  EXPECT_EQ(request.timeoutInterval, 60.0);
  EXPECT_EQ(request.cachePolicy, URLRequest::CachePolicy::useProtocolCachePolicy);
  EXPECT_EQ(request.allHTTPHeaderFields(), std::nullopt);
  EXPECT_EQ(request.httpBody, std::nullopt);
  EXPECT_TRUE(request.httpShouldHandleCookies);
  EXPECT_EQ(URLRequest().url, std::nullopt);
}

TEST(URLRequestTest, HeaderFieldsAreCaseInsensitiveAndKeepTheirOrder) {
  URLRequest request(url("http://h/"));
  request.setValueForHTTPHeaderField("text/plain", "Content-Type");
  request.setValueForHTTPHeaderField("1", "X-First");
  request.setValueForHTTPHeaderField("application/json", "content-type");
  EXPECT_EQ(request.valueForHTTPHeaderField("CONTENT-TYPE"), "application/json");
  const auto& fields = request.allHTTPHeaderFields()->fields();
  ASSERT_EQ(fields.size(), 2u);
  EXPECT_EQ(fields[0].first, "Content-Type");  // the first spelling stays, in its place
  EXPECT_EQ(fields[1].first, "X-First");

  request.addValueForHTTPHeaderField("gzip", "Accept-Encoding");
  request.addValueForHTTPHeaderField("br", "accept-encoding");
  EXPECT_EQ(request.valueForHTTPHeaderField("Accept-Encoding"), "gzip, br");

  request.setValueForHTTPHeaderField(std::nullopt, "x-first");
  EXPECT_FALSE(request.valueForHTTPHeaderField("X-First").has_value());
  EXPECT_EQ(request.allHTTPHeaderFields()->size(), 2u);

  // Duplicates given at once: the later value wins, in the earlier place.
  HTTPHeaderFields duplicated{{"A", "1"}, {"B", "2"}, {"a", "3"}};
  ASSERT_EQ(duplicated.size(), 2u);
  EXPECT_EQ(duplicated.fields()[0], (HTTPHeaderFields::Field{"A", "3"}));
}

TEST(URLRequestTest, AnEmptyBodyIsStillABody) {
  URLRequest a(url("http://h/"));
  URLRequest b = a;
  b.httpBody = platform::Bytes{};
  EXPECT_NE(a, b);
  EXPECT_TRUE(b.httpBody.has_value());
  b.httpBody.reset();
  EXPECT_EQ(a, b);
  b.httpMethod.reset();
  EXPECT_NE(a, b);
}

// Names compare with ASCII case folding only, whatever the locale: a byte outside the letters
// matches only itself, even where it differs from another in the case bit alone.
TEST(HeaderNameTest, ComparesIgnoringASCIICaseOnly) {
  struct Row {
    std::string_view a, b;
    bool equal;
  };
  const Row rows[] = {
      {"Content-Type", "content-type", true},
      {"ETAG", "etag", true},
      {"x-Z", "X-z", true},
      {"", "", true},
      {"Accept", "Accept-", false},
      {"Accept", "Bccept", false},
      {"@", "`", false},      // 0x40 and 0x60
      {"[", "{", false},      // 0x5B and 0x7B
      {"^", "~", false},      // 0x5E and 0x7E
      {"A-B", "a\rb", false},  // '-' and '\r' differ in 0x20 too
      {"\xC0", "\xE0", false},  // Latin-1 'À' and 'à': not ASCII
      {"Z", "z", true},
      {"Z", "Y", false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(platform::headerNamesEqual(row.a, row.b), row.equal) << row.a << " / " << row.b;
    EXPECT_EQ(platform::headerNamesEqual(row.b, row.a), row.equal) << row.b << " / " << row.a;
  }
}

TEST(HTTPURLResponseTest, JoinsRepeatedFieldsAndDerivesMediaTypeCharsetAndLength) {
  auto response = HTTPURLResponse::fromHeaderLines(
      url("http://h/dir/report.json?x=1"), 200, "HTTP/1.1",
      {"Content-Type: Application/JSON; Charset=\"UTF-8\"", "Set-Cookie: a=1", "content-length: 42",
       "set-cookie: b=2", "garbage line", "X-Spaced:   padded value  "});
  EXPECT_EQ(response.statusCode(), 200);
  EXPECT_EQ(response.mimeType(), "application/json");
  EXPECT_EQ(response.textEncodingName(), "UTF-8");
  EXPECT_EQ(response.expectedContentLength(), 42);
  EXPECT_EQ(response.valueForHTTPHeaderField("SET-COOKIE"), "a=1, b=2");
  EXPECT_EQ(response.valueForHTTPHeaderField("x-spaced"), "padded value");
  EXPECT_EQ(response.allHeaderFields().size(), 4u);
  EXPECT_EQ(response.suggestedFilename(), "report.json");
}

TEST(HTTPURLResponseTest, LengthIsUnknownWhenMissingMalformedOrEncoded) {
  auto noLength = HTTPURLResponse::fromHeaderLines(url("http://h/"), 200, "HTTP/1.1", {});
  EXPECT_EQ(noLength.expectedContentLength(), -1);
  EXPECT_EQ(noLength.mimeType(), std::nullopt);
  EXPECT_EQ(noLength.textEncodingName(), std::nullopt);
  auto bad = HTTPURLResponse::fromHeaderLines(url("http://h/"), 200, "HTTP/1.1",
                                              {"Content-Length: 12abc"});
  EXPECT_EQ(bad.expectedContentLength(), -1);
  auto negative =
      HTTPURLResponse::fromHeaderLines(url("http://h/"), 200, "HTTP/1.1", {"Content-Length: -5"});
  EXPECT_EQ(negative.expectedContentLength(), -1);
  const std::vector<std::string> encoded = {"Content-Length: 30", "Content-Encoding: gzip"};
  EXPECT_EQ(HTTPURLResponse::fromHeaderLines(url("http://h/"), 200, "HTTP/1.1", encoded, true)
                .expectedContentLength(),
            -1);
  EXPECT_EQ(HTTPURLResponse::fromHeaderLines(url("http://h/"), 200, "HTTP/1.1", encoded, false)
                .expectedContentLength(),
            30);
}

TEST(HTTPURLResponseTest, SuggestedFilenameNeverLeavesItsFolder) {
  auto withPath = HTTPURLResponse::fromHeaderLines(
      url("http://h/x"), 200, "HTTP/1.1",
      {"Content-Disposition: attachment; filename=\"../../etc/passwd\""});
  EXPECT_EQ(withPath.suggestedFilename(), "passwd");
  auto dots =
      HTTPURLResponse::fromHeaderLines(url("http://h/fallback.bin"), 200, "HTTP/1.1",
                                       {"Content-Disposition: attachment; filename=\"..\""});
  EXPECT_EQ(dots.suggestedFilename(), "fallback.bin");
  EXPECT_EQ(HTTPURLResponse(url("http://h/"), 200, "HTTP/1.1", {}).suggestedFilename(), "Unknown");
  // The address's own last component is held to the same rule, decoded separators included.
  EXPECT_EQ(HTTPURLResponse(url("http://h/%2E%2E"), 200, "HTTP/1.1", {}).suggestedFilename(),
            "Unknown");
  EXPECT_EQ(HTTPURLResponse(url("http://h/a%2F..%2Fb.sh"), 200, "HTTP/1.1", {}).suggestedFilename(),
            "b.sh");
}

TEST(HTTPURLResponseTest, StatusTexts) {
  EXPECT_EQ(HTTPURLResponse::localizedStringForStatusCode(404), "not found");
  EXPECT_EQ(HTTPURLResponse::localizedStringForStatusCode(299), "success");
  EXPECT_EQ(HTTPURLResponse::localizedStringForStatusCode(599), "server error");
  EXPECT_EQ(HTTPURLResponse::localizedStringForStatusCode(42), "unknown");
}

TEST(URLErrorTest, MapsTransportFailuresToThePlatformCodes) {
  const std::pair<CURLcode, int> cases[] = {
      {CURLE_OPERATION_TIMEDOUT, -1001},
      {CURLE_COULDNT_RESOLVE_HOST, -1003},
      {CURLE_COULDNT_CONNECT, -1004},
      {CURLE_RECV_ERROR, -1005},
      {CURLE_SEND_ERROR, -1005},
      {CURLE_GOT_NOTHING, -1005},
      {CURLE_PARTIAL_FILE, -1005},
      {CURLE_URL_MALFORMAT, -1000},
      {CURLE_UNSUPPORTED_PROTOCOL, -1002},
      {CURLE_WEIRD_SERVER_REPLY, -1011},
      {CURLE_TOO_MANY_REDIRECTS, -1007},
      {CURLE_SSL_CONNECT_ERROR, -1200},
      {CURLE_PEER_FAILED_VERIFICATION, -1202},
      {CURLE_ABORTED_BY_CALLBACK, -999},
      {CURLE_BAD_CONTENT_ENCODING, -1016},
      {CURLE_FILESIZE_EXCEEDED, -1103},
      {CURLE_OUT_OF_MEMORY, -1},
  };
  for (const auto& [curlCode, expected] : cases) {
    EXPECT_EQ(static_cast<int>(URLError::codeForCurlResult(curlCode)), expected) << curlCode;
  }
}

TEST(URLErrorTest, TextsNameTheFailureAndTheURL) {
  URLError error(URLError::Code::timedOut, url("http://h/x"), "no progress");
  EXPECT_EQ(error.errorCode(), -1001);
  EXPECT_EQ(error.localizedDescription(), "The request timed out.");
  EXPECT_STREQ(error.what(), "The request timed out.");
  EXPECT_EQ(error.debugDescription(),
            "URLError -1001 (The request timed out.) for http://h/x: no progress");
  platform::ErrorPtr any = platform::makeError(error);
  ASSERT_NE(dynamic_cast<const URLError*>(any.get()), nullptr);
  EXPECT_EQ(URLError(URLError::Code::cancelled).localizedDescription(), "The task was cancelled.");
}

TEST(ProgressTest, FractionFollowsTheCounts) {
  platform::Progress progress;
  EXPECT_TRUE(progress.isIndeterminate());
  EXPECT_EQ(progress.fractionCompleted(), 0.0);
  progress.setTotalUnitCount(200);
  progress.setCompletedUnitCount(50);
  EXPECT_DOUBLE_EQ(progress.fractionCompleted(), 0.25);
  EXPECT_FALSE(progress.isFinished());
  progress.setCompletedUnitCount(200);
  EXPECT_TRUE(progress.isFinished());
  progress.setTotalUnitCount(0);
  EXPECT_EQ(progress.fractionCompleted(), 0.0);
}

TEST(ProgressTest, CountsAreSafeToUpdateFromManyThreads) {
  platform::Progress progress(1000);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i <= 1000; ++i) {
        progress.setCompletedUnitCount(i);
        double f = progress.fractionCompleted();
        ASSERT_GE(f, 0.0);
        ASSERT_LE(f, 1.0);
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_TRUE(progress.isFinished());
}

}  // namespace
