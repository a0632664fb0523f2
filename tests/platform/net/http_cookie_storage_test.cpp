#include "platform/net/http_cookie_storage.h"

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

}  // namespace
