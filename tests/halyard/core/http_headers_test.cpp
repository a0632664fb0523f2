#include "halyard/core/http_headers.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <map>
#include <optional>
#include <string>

#include "halyard/core/http_header_views.h"
#include "platform/net/http_url_response.h"

namespace {

using halyard::HTTPHeader;
using halyard::HTTPHeaders;

TEST(HTTPHeadersTest, AddingAnExistingNameReplacesItInPlace) {
  HTTPHeaders headers{{"Accept", "text/html"}, {"User-Agent", "x"}};
  headers.add({"accept", "application/json"});
  ASSERT_EQ(headers.size(), 2u);
  EXPECT_EQ(headers[0], (HTTPHeader{"accept", "application/json"}));
  EXPECT_EQ(headers.valueForName("ACCEPT"), "application/json");

  const HTTPHeaders built{{"A", "1"}, {"B", "2"}, {"a", "3"}};
  ASSERT_EQ(built.size(), 2u);
  EXPECT_EQ(built[0], (HTTPHeader{"a", "3"}));
  EXPECT_EQ(built[1], (HTTPHeader{"B", "2"}));
}

TEST(HTTPHeadersTest, RemovalAndSubscriptIgnoreCase) {
  HTTPHeaders headers{{"Content-Type", "text/plain"}, {"X-One", "1"}};
  headers.removeNamed("content-type");
  EXPECT_EQ(headers, (HTTPHeaders{{"X-One", "1"}}));
  headers.removeNamed("missing");
  EXPECT_EQ(headers.size(), 1u);
  headers.setValueForName("x-two", "2");
  EXPECT_EQ(headers["X-TWO"], "2");
  headers.setValueForName("X-ONE", std::nullopt);
  EXPECT_FALSE(headers["x-one"]);
}

TEST(HTTPHeadersTest, TextFormAndOrderSensitiveEquality) {
  const HTTPHeaders headers{{"A", "1"}, {"B", "2"}};
  EXPECT_EQ(headers.description(), "A: 1\nB: 2");
  EXPECT_EQ(HTTPHeaders().description(), "");
  EXPECT_NE(headers, (HTTPHeaders{{"B", "2"}, {"A", "1"}}));
  EXPECT_NE(std::hash<HTTPHeaders>()(headers), std::hash<HTTPHeaders>()(HTTPHeaders{}));
}

TEST(HTTPHeadersTest, SortingIsByLowercasedNameAndStable) {
  auto headers = HTTPHeaders::fromPairs({{"b", "1"}, {"C", "2"}, {"a", "3"}});
  const auto sorted = headers.sortedByName();
  EXPECT_EQ(sorted.nameValueLines(), (std::vector<std::string>{"a: 3", "b: 1", "C: 2"}));
  EXPECT_EQ(headers[0].name, "b");  // the copy is sorted, the receiver is not
}

TEST(HTTPHeadersTest, DictionaryKeepsTheLaterOfTwoExactNames) {
  const HTTPHeaders headers{{"A", "1"}, {"B", "2"}};
  const auto dictionary = headers.toDictionary();
  EXPECT_EQ(dictionary, (std::map<std::string, std::string>{{"A", "1"}, {"B", "2"}}));
  EXPECT_EQ(HTTPHeaders(dictionary).size(), 2u);
}

TEST(HTTPHeadersTest, Factories) {
  EXPECT_EQ(HTTPHeader::makeBasicAuthorization("user", "pass").value, "Basic dXNlcjpwYXNz");
  EXPECT_EQ(HTTPHeader::makeBasicAuthorization("", "").value, "Basic Og==");
  EXPECT_EQ(HTTPHeader::makeBearerAuthorization("t0k").value, "Bearer t0k");
  EXPECT_EQ(HTTPHeader::makeContentType("a/b").name, "Content-Type");
  EXPECT_EQ(HTTPHeader::makeWebSocketProtocol("chat").name, "Sec-WebSocket-Protocol");
}

TEST(HTTPHeadersTest, QualityWeightedList) {
  EXPECT_EQ(halyard::detail::qualityWeightedList({"en-US", "de", "fr"}),
            "en-US;q=1.0, de;q=0.9, fr;q=0.8");
  EXPECT_EQ(halyard::detail::qualityWeightedList({"a", "b", "c", "d", "e", "f"}),
            "a;q=1.0, b;q=0.9, c;q=0.8, d;q=0.7, e;q=0.6, f;q=0.5");
  EXPECT_EQ(halyard::detail::qualityWeightedList({}), "");
}

TEST(HTTPHeadersTest, PreferredLanguagesComeFromTheLocaleVariables) {
  auto languages = [](std::map<std::string, std::string> environment) {
    return halyard::detail::preferredLanguages([&](const char* name) -> std::optional<std::string> {
      auto found = environment.find(name);
      if (found == environment.end()) return std::nullopt;
      return found->second;
    });
  };
  EXPECT_EQ(languages({{"LANG", "de_DE.UTF-8"}}), std::vector<std::string>{"de-DE"});
  EXPECT_EQ(languages({{"LANG", "en_US.UTF-8"}, {"LANGUAGE", "fr:de_AT:fr"}}),
            (std::vector<std::string>{"fr", "de-AT"}));
  EXPECT_EQ(languages({{"LC_ALL", "pt_BR.UTF-8@x"}, {"LANG", "de_DE"}}),
            std::vector<std::string>{"pt-BR"});
  // gettext ignores LANGUAGE under the C locale.
  EXPECT_EQ(languages({{"LANG", "C"}, {"LANGUAGE", "fr"}}), std::vector<std::string>{"en"});
  EXPECT_EQ(languages({}), std::vector<std::string>{"en"});
}

TEST(HTTPHeadersTest, UserAgentFromBundleInformation) {
  EXPECT_EQ(halyard::detail::makeUserAgent(
                std::map<std::string, std::string>{{"CFBundleExecutable", "Tovarine"},
                                                   {"CFBundleShortVersionString", "1.2"},
                                                   {"CFBundleIdentifier", "org.tovarine.app"},
                                                   {"CFBundleVersion", "42"}},
                "/usr/bin/ignored", "6.1.0-18-amd64"),
            "Tovarine/1.2 (org.tovarine.app; build:42; Linux 6.1.0) Halyard/1.0.0");
  EXPECT_EQ(halyard::detail::makeUserAgent(std::nullopt, "/opt/tovarine/bin/tovarine", "5.10"),
            "tovarine/Unknown (Unknown; build:Unknown; Linux 5.10.0) Halyard/1.0.0");
  EXPECT_EQ(halyard::detail::makeUserAgent(std::nullopt, "", "6.1.0"),
            "Unknown/Unknown (Unknown; build:Unknown; Linux 6.1.0) Halyard/1.0.0");
}

TEST(HTTPHeadersTest, DefaultHeaders) {
  const auto& headers = HTTPHeaders::defaultHeaders();
  ASSERT_EQ(headers.size(), 3u);
  EXPECT_EQ(headers[0], (HTTPHeader{"Accept-Encoding", "br;q=1.0, gzip;q=0.9, deflate;q=0.8"}));
  EXPECT_EQ(headers[1].name, "Accept-Language");
  EXPECT_NE(headers[1].value.find(";q=1.0"), std::string::npos);
  EXPECT_EQ(headers[2].name, "User-Agent");

  utsname name{};
  ASSERT_EQ(uname(&name), 0);
  const std::string release = name.release;
  const std::string system =
      "; Linux " + release.substr(0, release.find_first_not_of("0123456789."));
  EXPECT_NE(headers[2].value.find(system), std::string::npos) << headers[2].value;
  EXPECT_TRUE(headers[2].value.ends_with(") Halyard/1.0.0")) << headers[2].value;
}

TEST(HTTPHeadersTest, ViewsOfTheLoadingObjects) {
  platform::URLRequest request(*platform::URL::fromString("http://h/"));
  EXPECT_TRUE(halyard::httpHeaders(request).empty());
  halyard::setHTTPHeaders(request, HTTPHeaders{{"Accept", "a/b"}});
  EXPECT_EQ(request.valueForHTTPHeaderField("accept"), "a/b");
  EXPECT_EQ(halyard::httpHeaders(request), (HTTPHeaders{{"Accept", "a/b"}}));

  const auto configuration = halyard::makeDefaultConfigurationWithHeaders();
  EXPECT_EQ(halyard::httpHeaders(configuration), HTTPHeaders::defaultHeaders());

  platform::HTTPURLResponse response(*platform::URL::fromString("http://h/"), 200, "HTTP/1.1",
                                     platform::HTTPHeaderFields{{"Content-Type", "text/plain"}});
  EXPECT_EQ(halyard::httpHeaders(response)["content-type"], "text/plain");
}

}  // namespace
