// The HTTP rules a session applies to its cache: directives, what may be stored, freshness,
// age, and the head a 304 leaves behind.

#include <gtest/gtest.h>

#include "platform/net/url_session_cache.h"

namespace platform::net_detail {
namespace {

HTTPURLResponse responseWith(HTTPHeaderFields fields, int status = 200) {
  return HTTPURLResponse(*URL::fromString("http://h/r"), status, "HTTP/1.1", std::move(fields));
}

URLRequest requestWith(std::vector<std::pair<std::string, std::string>> fields,
                       std::string method = "GET") {
  URLRequest request(*URL::fromString("http://h/r"));
  request.httpMethod = std::move(method);
  for (const auto& [name, value] : fields)
    request.setValueForHTTPHeaderField(value, name);
  return request;
}

// 2015-10-21 07:28:00 UTC.
const Date kStored = Date::fromTimeIntervalSince1970(1445412480);
const char* kStoredText = "Wed, 21 Oct 2015 07:28:00 GMT";

TEST(HTTPCacheRulesTest, FreshnessComesFromMaxAgeElseExpiresMinusDate) {
  struct Row {
    HTTPHeaderFields fields;
    double lifetime;
  };
  const Row rows[] = {
      {{{"Cache-Control", "max-age=60"}}, 60},
      {{{"Cache-Control", "public, MAX-AGE=\"90\""}}, 90},
      {{{"Cache-Control", "max-age=60"}, {"Expires", "Wed, 21 Oct 2015 09:28:00 GMT"}}, 60},
      {{{"Cache-Control", "max-age=abc"}}, 0},
      {{{"Cache-Control", "max-age=99999999999999999999999"}}, 2147483648.0},
      {{{"Date", kStoredText}, {"Expires", "Wed, 21 Oct 2015 08:28:00 GMT"}}, 3600},
      {{{"Date", kStoredText}, {"Expires", "Wed, 21 Oct 2015 06:28:00 GMT"}}, 0},
      {{{"Date", kStoredText}, {"Expires", "0"}}, 0},
      // Without a date the time it was stored stands in.
      {{{"Expires", "Wed, 21 Oct 2015 07:29:00 GMT"}}, 60},
      // No heuristics: a modification date alone gives nothing.
      {{{"Last-Modified", "Wed, 21 Oct 2014 07:28:00 GMT"}}, 0},
      {{}, 0},
  };
  for (const auto& row : rows) {
    auto response = responseWith(row.fields);
    EXPECT_DOUBLE_EQ(freshnessLifetime(response, kStored), row.lifetime)
        << row.fields.fields().front().second;
  }
}

TEST(HTTPCacheRulesTest, AgeCountsWhatTheServerSaidAndTheTimeKept) {
  struct Row {
    HTTPHeaderFields fields;
    double keptFor;
    double age;
  };
  const Row rows[] = {
      {{{"Date", kStoredText}}, 0, 0},
      {{{"Date", kStoredText}}, 30, 30},
      {{{"Date", "Wed, 21 Oct 2015 07:27:00 GMT"}}, 30, 90},  // a minute on the way
      {{{"Date", "Wed, 21 Oct 2015 07:29:00 GMT"}}, 30, 30},  // a server clock ahead
      {{{"Date", kStoredText}, {"Age", "100"}}, 5, 105},
      {{{"Age", "20"}}, 0, 20},
      {{{"Age", "-3"}}, 1, 1},
  };
  for (const auto& row : rows) {
    EXPECT_DOUBLE_EQ(currentAge(responseWith(row.fields), kStored, kStored + row.keptFor), row.age)
        << row.fields.fields().front().second;
  }
}

TEST(HTTPCacheRulesTest, StorableResponses) {
  struct Row {
    const char* what;
    URLRequest request;
    HTTPURLResponse response;
    bool storable;
  };
  const Row rows[] = {
      {"200", requestWith({}), responseWith({}), true},
      {"203", requestWith({}), responseWith({}, 203), true},
      {"204", requestWith({}), responseWith({}, 204), true},
      {"300", requestWith({}), responseWith({}, 300), true},
      {"301", requestWith({}), responseWith({}, 301), true},
      {"308", requestWith({}), responseWith({}, 308), true},
      {"404", requestWith({}), responseWith({}, 404), true},
      {"405", requestWith({}), responseWith({}, 405), true},
      {"410", requestWith({}), responseWith({}, 410), true},
      {"414", requestWith({}), responseWith({}, 414), true},
      {"501", requestWith({}), responseWith({}, 501), true},
      {"206", requestWith({}), responseWith({}, 206), false},
      {"302", requestWith({}), responseWith({}, 302), false},
      {"304", requestWith({}), responseWith({}, 304), false},
      {"500", requestWith({}), responseWith({}, 500), false},
      {"POST", requestWith({}, "POST"), responseWith({}), false},
      {"HEAD", requestWith({}, "HEAD"), responseWith({}), false},
      {"response no-store", requestWith({}), responseWith({{"Cache-Control", "No-Store"}}), false},
      {"request no-store", requestWith({{"Cache-Control", "no-store"}}), responseWith({}), false},
      {"quoted no-store is a value", requestWith({}),
       responseWith({{"Cache-Control", "private=\"a, no-store\""}}), true},
      {"Vary *", requestWith({}), responseWith({{"Vary", "Accept, *"}}), false},
      {"Vary names", requestWith({}), responseWith({{"Vary", "Accept"}}), true},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(isStorable(row.request, row.response), row.storable) << row.what;
  }
}

TEST(HTTPCacheRulesTest, RequestDirectivesIncludePragma) {
  struct Row {
    std::vector<std::pair<std::string, std::string>> fields;
    bool noCache;
    bool noStore;
  };
  const Row rows[] = {
      {{{"Cache-Control", "no-cache"}}, true, false},
      {{{"Pragma", "no-cache"}}, true, false},
      {{{"Cache-Control", "max-age=0, no-store"}}, false, true},
      {{{"Pragma", "x-other"}}, false, false},
      {{}, false, false},
  };
  for (const auto& row : rows) {
    auto directives = requestDirectives(requestWith(row.fields));
    EXPECT_EQ(directives.noCache, row.noCache);
    EXPECT_EQ(directives.noStore, row.noStore);
  }
}

TEST(HTTPCacheRulesTest, NotModifiedRefreshesTheStoredHeadButNotItsFraming) {
  auto stored = responseWith({{"Content-Type", "text/plain"},
                              {"Content-Length", "12"},
                              {"ETag", "\"v1\""},
                              {"Cache-Control", "max-age=0"},
                              {"X-Kept", "yes"}});
  auto notModified = HTTPURLResponse(*URL::fromString("http://h/r"), 304, "HTTP/1.1",
                                     {{"Cache-Control", "max-age=60"},
                                      {"ETag", "\"v1\""},
                                      {"Content-Length", "0"},
                                      {"Date", kStoredText}});
  auto merged = mergeNotModified(stored, notModified);
  EXPECT_EQ(merged->statusCode(), 200);
  EXPECT_EQ(merged->valueForHTTPHeaderField("Cache-Control"), "max-age=60");
  EXPECT_EQ(merged->valueForHTTPHeaderField("Content-Length"), "12");
  EXPECT_EQ(merged->valueForHTTPHeaderField("X-Kept"), "yes");
  EXPECT_EQ(merged->valueForHTTPHeaderField("Date"), kStoredText);
  EXPECT_EQ(merged->expectedContentLength(), 12);
  EXPECT_EQ(merged->mimeType(), "text/plain");
}

TEST(HTTPCacheRulesTest, SessionHeadersCountForVary) {
  HTTPHeaderFields additional{{"X-Mode", "session"}, {"Accept", "text/plain"}};
  auto effective = requestWithAdditionalHeaders(requestWith({{"accept", "image/png"}}), additional);
  EXPECT_EQ(effective.valueForHTTPHeaderField("X-Mode"), "session");
  EXPECT_EQ(effective.valueForHTTPHeaderField("Accept"), "image/png");
}

}  // namespace
}  // namespace platform::net_detail
