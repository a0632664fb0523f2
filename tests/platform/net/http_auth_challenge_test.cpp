// The "WWW-Authenticate" parser, the Digest answer and the decisions of one task's HTTP
// authentication, without a network.

#include <curl/curl.h>
#include <gtest/gtest.h>

#include "platform/net/http_auth_challenge.h"

namespace {

using platform::URL;
using platform::URLCredential;
using platform::URLCredentialStorage;
using platform::URLProtectionSpace;
using platform::net_detail::AuthOffer;
using platform::net_detail::digestAuthorization;
using platform::net_detail::DigestInput;
using platform::net_detail::HTTPAuthentication;
using platform::net_detail::parseAuthenticateFields;
using Disposition = HTTPAuthentication::Disposition;
using Step = HTTPAuthentication::Step;

std::string describe(const std::vector<AuthOffer>& offers) {
  std::string out;
  for (const auto& offer : offers) {
    if (!out.empty()) out += " | ";
    out += offer.scheme;
    if (!offer.token68.empty()) out += " " + offer.token68;
    for (const auto& [name, value] : offer.parameters)
      out += " " + name + "=" + value;
  }
  return out;
}

TEST(AuthenticateFieldTest, ParsesChallengesAsRFC7235WritesThem) {
  struct Row {
    std::vector<std::string> fields;
    std::string expected;
  } rows[] = {
      {{"Basic realm=\"simple\""}, "basic realm=simple"},
      // The example of RFC 7235 §4.1: two challenges in one field, escapes in a quoted string.
      {{"Newauth realm=\"apps\", type=1, title=\"Login to \\\"apps\\\"\", Basic realm=\"simple\""},
       "newauth realm=apps title=Login to \"apps\" type=1 | basic realm=simple"},
      {{"Digest realm=\"a\"", "BASIC Realm=b"}, "digest realm=a | basic realm=b"},
      {{"NTLM", "Negotiate"}, "ntlm | negotiate"},
      {{"NTLM TlRMTVNTUAACAAAA=="}, "ntlm TlRMTVNTUAACAAAA=="},
      {{"Negotiate abc=, Basic realm=\"x\""}, "negotiate abc= | basic realm=x"},
      {{" , Basic realm = \"x\" ,, , Digest nonce=n"}, "basic realm=x | digest nonce=n"},
      {{"Digest qop=\"auth,auth-int\", realm=\"r, with comma\""},
       "digest qop=auth,auth-int realm=r, with comma"},
      // Broken pieces end their field; what came before stays, other fields still count.
      {{"Basic realm=\"unterminated", "Digest nonce=n"}, "basic | digest nonce=n"},
      {{"Basic realm=\"x\" junk", "NTLM"}, "basic realm=x | ntlm"},
      // A lone "name=" is a token68 by the grammar.
      {{"Basic realm="}, "basic realm="},
      {{"Basic, =oops, Digest nonce=n"}, "basic"},
      {{"", "   "}, ""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(describe(parseAuthenticateFields(row.fields)), row.expected) << row.fields[0];
  }
}

AuthOffer digestOffer(std::string algorithm, std::string qop = "auth") {
  AuthOffer offer;
  offer.scheme = "digest";
  offer.parameters = {{"realm", "http-auth@example.org"},
                      {"nonce", "7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v"},
                      {"opaque", "FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS"}};
  if (!algorithm.empty()) offer.parameters["algorithm"] = algorithm;
  if (!qop.empty()) offer.parameters["qop"] = qop;
  return offer;
}

TEST(DigestAnswerTest, MatchesTheWorkedExampleAndRefusesWhatItCannotAnswer) {
  const DigestInput input{"Mufasa",
                          "Circle of Life",
                          "GET",
                          "/dir/index.html",
                          "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ",
                          1};
  struct Row {
    AuthOffer offer;
    std::optional<std::string> response;  // the response parameter, or no answer at all
  } rows[] = {
      {digestOffer("MD5"), "8ca523f5e9506fed4657c9700eebdbec"},
      {digestOffer("SHA-256"), "753927fa0e85d155564e2e272a28d1802ca10daf4496794697cf8db5856cb6c1"},
      {digestOffer("", "auth-int, auth"), "8ca523f5e9506fed4657c9700eebdbec"},  // MD5 by default
      {digestOffer("SHA-512-256"), std::nullopt},
      {digestOffer("MD5", "auth-int"), std::nullopt},
  };
  for (const auto& row : rows) {
    auto value = digestAuthorization(row.offer, input);
    ASSERT_EQ(value.has_value(), row.response.has_value()) << describe({row.offer});
    if (!value) continue;
    EXPECT_NE(value->find("response=\"" + *row.response + "\""), std::string::npos) << *value;
    for (const char* part :
         {"username=\"Mufasa\"", "uri=\"/dir/index.html\"", "qop=auth", "nc=00000001",
          "opaque=\"FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS\""}) {
      EXPECT_NE(value->find(part), std::string::npos) << part << " in " << *value;
    }
  }
  // Without qualities of protection the older form (RFC 2069) is answered: no nc, no cnonce.
  auto plain = digestAuthorization(digestOffer("MD5", ""), input);
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->find("nc="), std::string::npos);
  // A user name that cannot stand in a quoted string goes in the extended notation.
  auto accented = digestAuthorization(digestOffer("MD5"),
                                      DigestInput{"J\xC3\xA4s\"on", "p", "GET", "/", "c", 2});
  ASSERT_TRUE(accented);
  EXPECT_NE(accented->find("username*=UTF-8''J%C3%A4s%22on"), std::string::npos) << *accented;
  EXPECT_NE(accented->find("nc=00000002"), std::string::npos);
}

// One task's decisions, from 401s made up here.
class AuthenticationStepsTest : public testing::Test {
 protected:
  Step unauthorized(std::vector<std::string> fields, const char* url = "http://Example.org/x") {
    return auth.unauthorized(*URL::fromString(url), fields, nullptr, storage);
  }
  std::string method() const { return auth.challenge()->protectionSpace().authenticationMethod(); }

  HTTPAuthentication auth;
  std::shared_ptr<URLCredentialStorage> storage = std::make_shared<URLCredentialStorage>();
  const URLCredential password{"user", "secret", URLCredential::Persistence::forSession};
};

TEST_F(AuthenticationStepsTest, OffersComeInPreferenceOrderAndRejectMovesOn) {
  ASSERT_EQ(unauthorized({"Negotiate, NTLM", "Basic realm=\"b\", Digest realm=\"d\", nonce=n"}),
            Step::challenge);
  const auto& space = auth.challenge()->protectionSpace();
  EXPECT_EQ(space.host(), "example.org");
  EXPECT_EQ(space.port(), 80);
  EXPECT_EQ(space.protocol(), "http");
  EXPECT_EQ(space.realm(), "d");
  const char* order[] = {URLProtectionSpace::methodHTTPDigest, URLProtectionSpace::methodHTTPBasic,
                         URLProtectionSpace::methodNTLM, URLProtectionSpace::methodNegotiate};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(method(), order[i]);
    const Step next = auth.answer(Disposition::rejectProtectionSpace, std::nullopt);
    EXPECT_EQ(next, i < 3 ? Step::challenge : Step::deliver) << i;
  }
  // Nothing this layer answers: the 401 stands.
  EXPECT_EQ(unauthorized({"Bearer realm=\"api\"", "Digest realm=x, nonce=n, algorithm=XYZ"}),
            Step::deliver);
  EXPECT_EQ(unauthorized({}), Step::deliver);
}

TEST_F(AuthenticationStepsTest, AnswersDecideTheNextStep) {
  const URLProtectionSpace basic("example.org", 443, "https", "r",
                                 URLProtectionSpace::methodHTTPBasic);
  const URLCredential identity(platform::SecIdentityPtr(),
                               std::vector<platform::SecCertificatePtr>(),
                               URLCredential::Persistence::none);
  struct Row {
    const char* name;
    const char* url;
    bool stored;
    Disposition disposition;
    std::optional<URLCredential> credential;
    Step expected;
  } rows[] = {
      {"use a password", "https://example.org/", false, Disposition::useCredential, password,
       Step::replay},
      {"use nothing", "https://example.org/", false, Disposition::useCredential, std::nullopt,
       Step::deliver},
      {"an identity counts as nothing", "https://example.org/", true, Disposition::useCredential,
       identity, Step::deliver},
      {"default: the storage", "https://example.org/", true, Disposition::performDefaultHandling,
       std::nullopt, Step::replay},
      {"default: the URL's user", "https://u:p@example.org/", false,
       Disposition::performDefaultHandling, std::nullopt, Step::replay},
      {"default: nothing", "https://example.org/", false, Disposition::performDefaultHandling,
       std::nullopt, Step::deliver},
      {"cancel", "https://example.org/", true, Disposition::cancelAuthenticationChallenge, password,
       Step::cancel},
  };
  for (const auto& row : rows) {
    auth = HTTPAuthentication();
    storage = std::make_shared<URLCredentialStorage>();
    if (row.stored) storage->setDefaultCredential(password, basic);
    ASSERT_EQ(unauthorized({"Basic realm=r"}, row.url), Step::challenge) << row.name;
    EXPECT_EQ(auth.challenge()->proposedCredential().has_value(),
              row.stored || std::string(row.url).find('@') != std::string::npos)
        << row.name;
    EXPECT_EQ(auth.answer(row.disposition, row.credential), row.expected) << row.name;
    EXPECT_EQ(auth.replaying(), row.expected == Step::replay) << row.name;
  }
}

TEST_F(AuthenticationStepsTest, FailuresCountPerSpaceAndEndDefaultHandling) {
  const URLProtectionSpace basic("example.org", 80, "http", "r",
                                 URLProtectionSpace::methodHTTPBasic);
  storage->setDefaultCredential(password, basic);
  ASSERT_EQ(unauthorized({"Basic realm=r"}), Step::challenge);
  EXPECT_EQ(auth.challenge()->previousFailureCount(), 0);
  ASSERT_EQ(auth.answer(Disposition::performDefaultHandling, std::nullopt), Step::replay);
  CURL* easy = curl_easy_init();
  curl_slist* headers = nullptr;
  auth.applyTo(easy, headers, "GET", *URL::fromString("http://example.org/x"));
  // The stored credential failed: the next 401 says so, and default handling gives up.
  ASSERT_EQ(unauthorized({"Basic realm=r"}), Step::challenge);
  EXPECT_EQ(auth.challenge()->previousFailureCount(), 1);
  EXPECT_EQ(auth.answer(Disposition::performDefaultHandling, std::nullopt), Step::deliver);
  // Another realm is another space, with no failures yet.
  ASSERT_EQ(unauthorized({"Basic realm=other"}), Step::challenge);
  EXPECT_EQ(auth.challenge()->previousFailureCount(), 0);
  // A Digest answer goes into the header list, with the URL's path and query.
  ASSERT_EQ(unauthorized({"Digest realm=d, nonce=n, qop=auth"}), Step::challenge);
  ASSERT_EQ(auth.answer(Disposition::useCredential, password), Step::replay);
  auth.applyTo(easy, headers, "PUT", *URL::fromString("http://example.org/a%20b?q=1"));
  ASSERT_NE(headers, nullptr);
  const std::string line = headers->data;
  EXPECT_TRUE(line.starts_with("Authorization: Digest username=\"user\"")) << line;
  EXPECT_NE(line.find("uri=\"/a%20b?q=1\""), std::string::npos) << line;
  // libcurl's own handshake raises nothing until the transfer ends.
  ASSERT_EQ(unauthorized({"NTLM"}), Step::challenge);
  ASSERT_EQ(auth.answer(Disposition::useCredential, password), Step::replay);
  auth.applyTo(easy, headers, "GET", *URL::fromString("http://example.org/x"));
  EXPECT_EQ(unauthorized({"NTLM TlRMTVNTUAACAAAA"}), Step::ignore);
  EXPECT_TRUE(auth.discardingBody());
  auth.headStarted();  // libcurl went on by itself
  EXPECT_FALSE(auth.discardingBody());
  EXPECT_FALSE(auth.deferred());
  // The transfer ended with a 401 of the handshake: that one is judged, as a failure.
  EXPECT_EQ(unauthorized({"NTLM"}), Step::ignore);
  ASSERT_TRUE(auth.deferred());
  ASSERT_EQ(auth.settle(), Step::challenge);
  EXPECT_EQ(method(), URLProtectionSpace::methodNTLM);
  EXPECT_EQ(auth.challenge()->previousFailureCount(), 1);
  // Over plain HTTP the password NTLM refused does not go out in clear for Basic to try.
  ASSERT_EQ(unauthorized({"Basic realm=clear"}), Step::challenge);
  EXPECT_EQ(auth.answer(Disposition::useCredential, password), Step::deliver);
  // A new realm with every 401 counts no failure, but the replays have a bound.
  const URLCredential another("someone", "else", URLCredential::Persistence::none);
  int replays = 0;
  while (unauthorized({"Basic realm=r" + std::to_string(replays)}) == Step::challenge &&
         replays < 100) {
    ASSERT_EQ(auth.answer(Disposition::useCredential, another), Step::replay);
    auth.applyTo(easy, headers, "GET", *URL::fromString("http://example.org/x"));
    ++replays;
  }
  EXPECT_EQ(replays, 16 - 3);  // three went out above
  curl_slist_free_all(headers);
  curl_easy_cleanup(easy);
}

}  // namespace
