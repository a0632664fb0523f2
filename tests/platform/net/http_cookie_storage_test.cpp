#include "platform/net/http_cookie_storage.h"

#include "platform/net/http_cookie_index.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <string>
#include <unordered_set>
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

using platform::HTTPCookie;
using platform::HTTPCookieIndex;

std::string describe(const HTTPCookieIndex::Key& key) {
  return key.name + " " + (key.hostOnly ? "" : ".") + key.domain + " " +
         (key.path.empty() ? "(not from /)" : key.path);
}

// A cookie is known by the identity the engine replaces it by: name, domain and path without
// regard to case, a path without its trailing slash or quotes, and every path that does not
// start with "/" as one.
TEST(HTTPCookieIndexTest, KnowsCookiesByTheEnginesIdentity) {
  struct Row {
    const char* line;  // as the engine lists it
    const char* expected;
  };
  const std::vector<Row> rows{
      {"Example.ORG\tFALSE\t/P/\tFALSE\t0\tA\t1", "a example.org /p"},
      {".example.org\tTRUE\t/\tFALSE\t0\ta\t1", "a .example.org /"},
      {"#HttpOnly_www.example.org\tFALSE\t/docs\tTRUE\t0\ta\t1", "a www.example.org /docs"},
      {"h\tFALSE\t\"/q/\"\tFALSE\t0\ta\t1", "a h /q"},
      {"h\tFALSE\trelative\tFALSE\t0\ta\t1", "a h (not from /)"},
      {"h\tFALSE\t\"\"\tFALSE\t0\ta\t1", "a h (not from /)"},
  };
  for (const auto& row : rows) {
    HTTPCookieStorage storage;
    enter(storage, {row.line});
    const auto cookies = storage.allCookies();
    ASSERT_EQ(cookies.size(), 1u) << row.line;
    EXPECT_EQ(describe(HTTPCookieIndex::keyOf(cookies.front())), row.expected) << row.line;
  }
}

// A head is looked at for cookies only when one of its fields is a Set-Cookie field; the names
// it sets serve only to tell a cookie set again unchanged.
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
  const auto names = HTTPCookieIndex::namesSetBy(
      {"Set-Cookie:  A = 1 ; Path=/", "Set-Cookie: ;b=2", "Set-Cookie: flag", "X-Set-Cookie: x=1"});
  EXPECT_EQ(names, (std::unordered_set<std::string>{"a", "flag"}));
}

// The line that expires a cookie ends that very cookie in the engine, whatever its flags, and
// no other.
TEST(HTTPCookieIndexTest, ExpiryLinesEndTheCookieTheyName) {
  struct Row {
    const char* expire;  // the name of the engine's cookie to expire
    const char* left;    // the names left of "host domain docs secure relative"
  };
  const std::vector<Row> rows{
      {"host", "domain docs secure relative"}, {"domain", "host docs secure relative"},
      {"docs", "host domain secure relative"}, {"secure", "host domain docs relative"},
      {"relative", "host domain docs secure"},
  };
  for (const auto& row : rows) {
    HTTPCookieStorage storage;
    enter(storage, {
                       "example.org\tFALSE\t/\tFALSE\t0\thost\t1",
                       ".example.org\tTRUE\t/\tFALSE\t0\tdomain\t2",
                       "#HttpOnly_example.org\tFALSE\t/Docs/\tFALSE\t0\tdocs\t3",
                       "example.org\tFALSE\t/\tTRUE\t0\tSecure\t5",
                       "example.org\tFALSE\trelative\tFALSE\t0\trelative\t6",
                   });
    for (const auto& cookie : storage.allCookies()) {
      if (HTTPCookieIndex::keyOf(cookie).name == row.expire)
        enter(storage, {HTTPCookieIndex::expiryLine(HTTPCookieIndex::keyOf(cookie))});
    }
    std::string left;
    for (const auto& cookie : storage.allCookies())
      left += (left.empty() ? "" : " ") + HTTPCookieIndex::keyOf(cookie).name;
    EXPECT_EQ(left, row.left) << row.expire;
  }
}

// The engine's jar as a test keeps it: what heads set, less what the index expires.
class EngineJar {
 public:
  void set(const std::string& host, const std::string& name, const std::string& value) {
    for (auto& cookie : cookies_) {
      if (cookie.domain == host && cookie.name == name) {
        cookie.value = value;
        return;
      }
    }
    cookies_.push_back(HTTPCookie{name, value, host, true, "/", false, 0});
  }
  void expire(const std::vector<HTTPCookieIndex::Key>& keys) {
    for (const auto& key : keys) {
      std::erase_if(cookies_, [&](const HTTPCookie& cookie) {
        return HTTPCookieIndex::keyOf(cookie) == key;
      });
    }
  }
  const std::vector<HTTPCookie>& cookies() const { return cookies_; }

 private:
  std::vector<HTTPCookie> cookies_;
};

std::string joined(const std::vector<HTTPCookieIndex::Key>& keys) {
  std::string text;
  for (const auto& key : keys)
    text += (text.empty() ? "" : " ") + key.name + "@" + key.domain;
  return text;
}

// Past the bounds the least recently set go: first the domain's own, then the whole jar's. A
// cookie set again counts as set now, whether its value changed or the head named it again.
TEST(HTTPCookieIndexTest, TheLeastRecentlySetGoFirst) {
  HTTPCookieIndex index(3, 5);
  EngineJar jar;
  auto settle = [&](const HTTPCookieIndex::Head& head) {
    const auto evicted = index.headEnded(jar.cookies(), head);
    jar.expire(evicted);
    return joined(evicted);
  };
  auto set = [&](const std::string& host, const std::vector<std::string>& names,
                 const std::string& value) {
    HTTPCookieIndex::Head head{host, {}};
    for (const auto& name : names) {
      jar.set(host, name, value);
      head.names.insert(name);
    }
    return settle(head);
  };
  struct Row {
    const char* host;
    std::vector<std::string> names;
    const char* value;
    const char* evicted;
  };
  const std::vector<Row> rows{
      {"a", {"1", "2", "3"}, "x", ""},
      {"a", {"1"}, "x", ""},               // set again unchanged: now the newest of a
      {"a", {"4"}, "x", "2@a"},            // a holds 3, 1 and 4
      {"b", {"5", "6", "7"}, "x", "3@a"},  // 6 in all: the jar's oldest goes
      {"a", {"1"}, "x", ""},
      {"c", {"8"}, "x", "4@a"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(set(row.host, row.names, row.value), row.evicted) << row.host;
  }
  EXPECT_EQ(index.size(), 5u);
  EXPECT_EQ(index.sizeOfDomain("a"), 1u);
  EXPECT_EQ(index.sizeOfDomain("b"), 3u);
  // A cookie the head did not name but the engine took (a field the names cannot be read
  // from) is counted all the same; one the engine no longer holds is forgotten.
  jar.set("b", "9", "x");
  EXPECT_EQ(settle({"b", {}}), "5@b");
  jar.expire({HTTPCookieIndex::Key{"6", "b", true, "/"}});
  EXPECT_EQ(settle({"b", {}}), "");
  EXPECT_EQ(index.size(), 4u);
  EXPECT_EQ(index.sizeOfDomain("b"), 2u);
}

// A head that failed takes back the cookies it named that are new or changed, and no other.
TEST(HTTPCookieIndexTest, AFailedHeadTakesBackWhatItNamedAndChanged) {
  HTTPCookieIndex index(10, 10);
  EngineJar jar;
  jar.set("h", "kept", "1");
  jar.set("h", "same", "1");
  jar.set("h", "changed", "1");
  index.headEnded(jar.cookies(), {"h", {"kept", "same", "changed"}});
  jar.set("h", "changed", "2");
  jar.set("h", "new", "1");
  jar.set("h", "unnamed", "1");
  jar.set("other", "new", "1");
  const auto expired = index.headFailed(jar.cookies(), {"h", {"same", "changed", "new"}});
  EXPECT_EQ(joined(expired), "changed@h new@h");
  EXPECT_EQ(index.size(), 4u);  // kept, same, unnamed, new@other
}

}  // namespace
