#include "platform/net/http_cookie_storage.h"

#include "platform/net/http_cookie_index.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using platform::HTTPCookieStorage;

// Enters cookies the way a transfer would: Netscape lines (domain, subdomains, path, secure,
// expires, name, value) through a handle attached to the storage's share.
void enter(const HTTPCookieStorage& storage, const std::vector<std::string>& lines) {
  CURL* easy = curl_easy_init();
  curl_easy_setopt(easy, CURLOPT_SHARE, storage.curlShare());
  for (const auto& line : lines)
    curl_easy_setopt(easy, CURLOPT_COOKIELIST, line.c_str());
  curl_easy_cleanup(easy);
}

std::string names(const HTTPCookieStorage& storage, const std::string& url) {
  std::string text;
  for (const auto& cookie : storage.cookies(*platform::URL::fromString(url))) {
    text += (text.empty() ? "" : " ") + cookie.name;
  }
  return text;
}

TEST(HTTPCookieStorageTest, AnswersTheCookiesARequestWouldCarry) {
  HTTPCookieStorage storage;
  enter(storage, {
                     "example.org\tFALSE\t/\tFALSE\t0\thost\t1",
                     ".example.org\tTRUE\t/\tFALSE\t0\tdomain\t2",
                     "example.org\tFALSE\t/docs\tFALSE\t0\tdocs\t3",
                     "example.org\tFALSE\t/docs/a\tFALSE\t0\tdeep\t4",
                     "example.org\tFALSE\t/\tTRUE\t0\tsecure\t5",
                     "example.org\tFALSE\t/\tFALSE\t1\texpired\t6",
                     "example.org\tFALSE\t/\tFALSE\t4102444800\tlater\t7",
                 });
  struct Row {
    const char* url;
    const char* expected;
  };
  const std::vector<Row> rows{
      {"http://example.org/", "host domain later"},
      {"https://example.org/", "host domain secure later"},
      {"http://EXAMPLE.org/docs", "docs host domain later"},
      {"http://example.org/docs/a/b", "deep docs host domain later"},
      {"http://example.org/docsx", "host domain later"},
      {"http://www.example.org/", "domain"},
      {"http://badexample.org/", ""},
      {"http://org/", ""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(names(storage, row.url), row.expected) << row.url;
  }
  // The engine drops a cookie that has already expired as it enters.
  EXPECT_EQ(storage.allCookies().size(), 6u);
}

TEST(HTTPCookieStorageTest, StoragesAreSeparate) {
  HTTPCookieStorage one;
  HTTPCookieStorage two;
  enter(one, {"h\tFALSE\t/\tFALSE\t0\ta\t1"});
  EXPECT_EQ(names(one, "http://h/"), "a");
  EXPECT_EQ(names(two, "http://h/"), "");
  EXPECT_EQ(HTTPCookieStorage::shared(), HTTPCookieStorage::shared());
}

using platform::HTTPCookieIndex;

std::string describe(const HTTPCookieIndex::SetCookie& cookie) {
  return cookie.key.name + " " + (cookie.key.hostOnly ? "" : ".") + cookie.key.domain + " " +
         cookie.key.path + (cookie.secure ? " secure" : "") + (cookie.deletes ? " deletes" : "");
}

// Cookies are named as the engine names them, and those it refuses are not counted.
TEST(HTTPCookieIndexTest, ReadsSetCookieFieldsAsTheEngineDoes) {
  struct Row {
    const char* field;
    const char* origin;  // host, path
    bool secureContext;
    const char* expected;  // "" when refused
  };
  const std::vector<Row> rows{
      {"Set-Cookie: a=1", "www.example.org /x/y", false, "a www.example.org /x"},
      {"set-cookie:  A = 1 ; Domain=.Example.ORG; Path=/P/", "www.example.org /", false,
       "a .example.org /p"},
      {"Set-Cookie: a=1; Domain=www.example.org", "www.example.org /", false,
       "a .www.example.org /"},
      {"Set-Cookie: a=1; Path=relative", "h.example.org /d/e", false, "a h.example.org /"},
      {"Set-Cookie: a=1; Domain=127.0.0.1", "127.0.0.1 /", false, "a 127.0.0.1 /"},
      {"Set-Cookie: a=1; Max-Age=0", "h.example.org /", false, "a h.example.org / deletes"},
      {"Set-Cookie: a=1; Expires=Thu, 01 Jan 1970 00:00:01 GMT", "h.example.org /", false,
       "a h.example.org / deletes"},
      {"Set-Cookie: s=1; Secure", "h.example.org /", true, "s h.example.org / secure"},
      {"Set-Cookie: s=1; Secure", "h.example.org /", false, ""},
      {"Set-Cookie: a=1; Domain=other.org", "www.example.org /", false, ""},
      {"Set-Cookie: a=1; Domain=ample.org", "www.example.org /", false, ""},
      {"Set-Cookie: a=1; Domain=org", "www.example.org /", false, ""},
      {"Set-Cookie: a=1; Domain=0.1", "127.0.0.1 /", false, ""},
      {"Set-Cookie: just-a-name", "h.example.org /", false, ""},
      {"Set-Cookie: =value", "h.example.org /", false, ""},
      {"Set-Cookie: a\tb=1", "h.example.org /", false, ""},
      {"Set-Cookie2: a=1", "h.example.org /", false, ""},
  };
  const HTTPCookieIndex index(180, 3000);
  for (const auto& row : rows) {
    const std::string origin = row.origin;
    const auto space = origin.find(' ');
    const auto cookies = index.cookiesOf(
        {row.field}, {origin.substr(0, space), origin.substr(space + 1), row.secureContext});
    EXPECT_EQ(cookies.empty() ? "" : describe(cookies.front()), row.expected) << row.field;
  }
  // No more than the engine takes from one response.
  std::vector<std::string> many;
  for (int i = 0; i < 60; ++i)
    many.push_back("Set-Cookie: c" + std::to_string(i) + "=1");
  EXPECT_EQ(index.cookiesOf(many, {"h", "/", false}).size(), HTTPCookieIndex::kCookiesPerResponse);
}

// A head is looked at for cookies only when one of its fields is a Set-Cookie field.
TEST(HTTPCookieIndexTest, TellsHeadsThatSetCookies) {
  const std::vector<std::pair<std::vector<std::string>, bool>> rows{
      {{}, false},
      {{"Content-Type: text/plain", "Content-Length: 2"}, false},
      {{"Content-Type: text/plain", "set-COOKIE: a=1"}, true},
      {{"Set-Cookie2: a=1"}, false},
      {{"X-Set-Cookie: a=1"}, false},
      {{"Set-Cookie:a=1"}, true},
  };
  for (const auto& [lines, sets] : rows) {
    EXPECT_EQ(HTTPCookieIndex::setsCookies(lines), sets) << ::testing::PrintToString(lines);
  }
}

// The line that expires a cookie ends that very cookie in the engine, whatever its flags, and
// no other.
TEST(HTTPCookieIndexTest, ExpiryLinesEndTheCookieTheyName) {
  struct Row {
    const char* field;
    const char* origin;
    const char* left;  // the names left of "host domain docs secure"
  };
  const std::vector<Row> rows{
      {"Set-Cookie: HOST=x", "example.org /", "domain docs secure"},
      {"Set-Cookie: domain=x; Domain=example.org", "www.example.org /", "host docs secure"},
      {"Set-Cookie: docs=x; Path=/Docs/", "example.org /", "host domain secure"},
      {"Set-Cookie: docs=x", "example.org /docs/page", "host domain secure"},
      {"Set-Cookie: secure=x; Secure", "example.org /", "host domain docs"},
      {"Set-Cookie: docs=x", "example.org /", "host domain docs secure"},
      {"Set-Cookie: host=x; Domain=example.org", "example.org /", "host domain docs secure"},
  };
  for (const auto& row : rows) {
    HTTPCookieStorage storage;
    enter(storage, {
                       "example.org\tFALSE\t/\tFALSE\t0\thost\t1",
                       ".example.org\tTRUE\t/\tFALSE\t0\tdomain\t2",
                       "#HttpOnly_example.org\tFALSE\t/docs\tFALSE\t0\tdocs\t3",
                       "example.org\tFALSE\t/\tTRUE\t0\tsecure\t5",
                   });
    const std::string origin = row.origin;
    const auto space = origin.find(' ');
    const HTTPCookieIndex index(180, 3000);
    const auto cookies =
        index.cookiesOf({row.field}, {origin.substr(0, space), origin.substr(space + 1), true});
    ASSERT_EQ(cookies.size(), 1u) << row.field;
    enter(storage, {HTTPCookieIndex::expiryLine(cookies.front().key)});
    std::string left;
    for (const auto& cookie : storage.allCookies())
      left += (left.empty() ? "" : " ") + cookie.name;
    EXPECT_EQ(left, row.left) << row.field;
  }
}

// Past the bounds the least recently set go: first the domain's own, then the whole jar's.
TEST(HTTPCookieIndexTest, TheLeastRecentlySetGoFirst) {
  HTTPCookieIndex index(3, 5);
  auto set = [&](const std::string& host, const std::vector<std::string>& names) {
    std::vector<std::string> lines;
    for (const auto& name : names)
      lines.push_back("Set-Cookie: " + name + "=1");
    std::string evicted;
    for (const auto& key : index.recordSet(index.cookiesOf(lines, {host, "/", false})))
      evicted += (evicted.empty() ? "" : " ") + key.name + "@" + key.domain;
    return evicted;
  };
  struct Row {
    const char* host;
    std::vector<std::string> names;
    const char* evicted;
  };
  const std::vector<Row> rows{
      {"a", {"1", "2", "3"}, ""},
      {"a", {"1"}, ""},               // set again: now the newest of a
      {"a", {"4"}, "2@a"},            // a holds 3, 1 and 4
      {"b", {"5", "6", "7"}, "3@a"},  // 6 in all: the jar's oldest goes
      {"a", {"1"}, ""},
      {"c", {"8"}, "4@a"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(set(row.host, row.names), row.evicted) << row.host;
  }
  EXPECT_EQ(index.size(), 5u);
  EXPECT_EQ(index.sizeOfDomain("a"), 1u);
  EXPECT_EQ(index.sizeOfDomain("b"), 3u);
}

}  // namespace
