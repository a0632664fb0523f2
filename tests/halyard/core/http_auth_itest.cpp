// HTTP authentication through sessions against servers on 127.0.0.1 that count requests and
// check every answer themselves (Digest by their own computation).

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <map>
#include <mutex>

#include "halyard/core/data_request.h"
#include "halyard/core/session.h"
#include "halyard/core/upload_request.h"
#include "halyard/support/test_server.h"
#include "halyard/support/wait.h"
#include "platform/net/url_error.h"

namespace {

using halyard::HalyardError;
using halyard::Session;
using halyardtest::TestServer;
using halyardtest::waitUntil;
using platform::URLCredential;
using platform::URLProtectionSpace;

constexpr const char* kBasic = "Basic dXNlcjpzZWNyZXQ=";  // user:secret
constexpr const char* kRealm = "vault";
constexpr const char* kNonce = "dcd98b7102dd2f0e8b11d0f600bfb0c093";

std::string md5Hex(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", digest[i]);
    out += hex;
  }
  return out;
}

// Whether `authorization` answers this server's Digest challenge for user:secret, computed
// here as RFC 7616 says for MD5 with qop=auth.
bool validDigest(const std::string& authorization, const httplib::Request& request,
                 const std::string& nonce = kNonce) {
  if (!authorization.starts_with("Digest ")) return false;
  // name=value or name="value", separated by commas (the values here hold no escapes).
  std::map<std::string, std::string> p;
  std::size_t at = 7;
  while (at < authorization.size()) {
    const auto equals = authorization.find('=', at);
    if (equals == std::string::npos) return false;
    std::string name = authorization.substr(at, equals - at);
    name.erase(0, name.find_first_not_of(" ,"));
    std::size_t end;
    if (authorization[equals + 1] == '"') {
      end = authorization.find('"', equals + 2);
      if (end == std::string::npos) return false;
      p[name] = authorization.substr(equals + 2, end - equals - 2);
      ++end;
    } else {
      end = std::min(authorization.find(',', equals), authorization.size());
      p[name] = authorization.substr(equals + 1, end - equals - 1);
    }
    at = end;
  }
  if (p["username"] != "user" || p["realm"] != kRealm || p["nonce"] != nonce ||
      p["uri"] != request.target || p["qop"] != "auth" || p["opaque"] != "opaque-value" ||
      p["cnonce"].empty() || p["nc"].size() != 8) {
    return false;
  }
  const std::string ha1 = md5Hex(std::string("user:") + kRealm + ":secret");
  const std::string ha2 = md5Hex(request.method + ":" + p["uri"]);
  return p["response"] ==
         md5Hex(ha1 + ":" + nonce + ":" + p["nc"] + ":" + p["cnonce"] + ":auth:" + ha2);
}

struct Hit {
  std::string authorization;
  std::string body;
};

// Guards `path` with the schemes named, recording every request it gets.
class GuardedServer {
 public:
  GuardedServer() { server_.server().set_payload_max_length(1 << 20); }

  void guard(const std::string& path, bool basic, bool digest,
             std::function<void(httplib::Response&)> granted = nullptr) {
    auto handler = [=, this](const httplib::Request& request, httplib::Response& response) {
      const std::string authorization = request.get_header_value("Authorization");
      {
        std::lock_guard lock(mutex_);
        hits_[path].push_back({authorization, request.body});
      }
      if ((basic && authorization == kBasic) || (digest && validDigest(authorization, request))) {
        if (granted) {
          granted(response);
        } else {
          response.set_content("granted", "text/plain");
        }
        return;
      }
      response.status = 401;
      std::string challenges;
      if (basic) challenges = std::string("Basic realm=\"") + kRealm + "\"";
      if (digest) {
        if (!challenges.empty()) challenges += ", ";
        challenges += std::string("Digest realm=\"") + kRealm + "\", qop=\"auth\", nonce=\"" +
                      kNonce + "\", opaque=\"opaque-value\", algorithm=MD5";
      }
      response.set_header("WWW-Authenticate", challenges);
      response.set_content("refused", "text/plain");
    };
    server_.server().Get(path, handler);
    server_.server().Post(path, handler);
  }
  // Guards `path` with Digest, refusing the first valid answer once as stale (with a new
  // nonce); an answer with the new nonce passes.
  void guardStale(const std::string& path) {
    server_.server().Get(
        path, [=, this](const httplib::Request& request, httplib::Response& response) {
          const std::string authorization = request.get_header_value("Authorization");
          std::lock_guard lock(mutex_);
          hits_[path].push_back({authorization, request.body});
          if (validDigest(authorization, request, "fresh-nonce")) {
            response.set_content("granted", "text/plain");
            return;
          }
          const bool stale = validDigest(authorization, request);
          response.status = 401;
          response.set_header("WWW-Authenticate", std::string("Digest realm=\"") + kRealm +
                                                      "\", qop=\"auth\", nonce=\"" +
                                                      (stale ? "fresh-nonce" : kNonce) +
                                                      "\", opaque=\"opaque-value\", algorithm=MD5" +
                                                      (stale ? ", stale=true" : ""));
          response.set_content("refused", "text/plain");
        });
  }
  std::string start() { return server_.start(); }
  int port() const { return server_.port(); }
  std::vector<Hit> hits(const std::string& path) {
    std::lock_guard lock(mutex_);
    return hits_[path];
  }

 private:
  TestServer server_;
  std::mutex mutex_;
  std::map<std::string, std::vector<Hit>> hits_;
};

struct Outcome {
  int status = 0;
  std::optional<HalyardError> error;
};

template <class R>
Outcome await(const std::shared_ptr<R>& request) {
  std::optional<halyard::DataResponse<std::string>> received;
  request->responseAsString([&](const auto& r) { received = r; });
  EXPECT_TRUE(waitUntil([&] { return received.has_value(); }, 20));
  Outcome outcome;
  if (!received) return outcome;
  if (received->response) outcome.status = static_cast<int>(received->response->statusCode());
  if (!received->result) outcome.error = received->result.error();
  return outcome;
}

std::optional<platform::URLError::Code> urlErrorCode(const std::optional<HalyardError>& error) {
  if (!error) return std::nullopt;
  const auto* failed = error->as<HalyardError::SessionTaskFailed>();
  if (!failed) return std::nullopt;
  const auto* urlError = dynamic_cast<const platform::URLError*>(failed->error.get());
  if (!urlError) return std::nullopt;
  return urlError->code();
}

class HTTPAuthITest : public testing::Test {
 protected:
  void SetUp() override {
    server_.guard("/basic", true, false);
    server_.guard("/digest", false, true);
    server_.guard("/both", true, true);
    server_.guardStale("/stale");
    base_ = server_.start();
    elsewhere_.guard("/secure", true, false);
    elsewhere_.start();
    server_.guard("/hop", true, false, [this](httplib::Response& response) {
      response.set_redirect("http://127.0.0.1:" + std::to_string(elsewhere_.port()) + "/secure");
    });
  }

  std::shared_ptr<Session> makeSession(bool storedDefault) {
    auto configuration = platform::URLSessionConfiguration::ephemeral();
    configuration.urlCredentialStorage = std::make_shared<platform::URLCredentialStorage>();
    if (storedDefault) {
      configuration.urlCredentialStorage->setDefaultCredential(
          URLCredential("user", "secret", URLCredential::Persistence::forSession),
          URLProtectionSpace("127.0.0.1", server_.port(), "http", kRealm,
                             URLProtectionSpace::methodHTTPBasic));
    }
    return Session::initWithConfiguration(configuration);
  }

  GuardedServer server_;
  GuardedServer elsewhere_;
  std::string base_;
};

TEST_F(HTTPAuthITest, ChallengesAreAnsweredOnceWithTheRequestsCredentialOrTheStorage) {
  struct Row {
    const char* name;
    const char* path;
    std::optional<std::pair<std::string, std::string>> credential;
    bool stored;
    int status;
    std::vector<std::string> authorizations;  // prefixes, one per request the server got
  } rows[] = {
      {"Basic with the request's credential",
       "/basic",
       std::pair("user", "secret"),
       false,
       200,
       {"", kBasic}},
      {"a wrong password: the 401 after exactly one replay",
       "/basic",
       std::pair("user", "wrong"),
       false,
       401,
       {"", "Basic dXNlcjp3cm9uZw=="}},
      {"the storage's default", "/basic", std::nullopt, true, 200, {"", kBasic}},
      {"no credential: the 401 at once", "/basic", std::nullopt, false, 401, {""}},
      {"Digest, checked by the server",
       "/digest",
       std::pair("user", "secret"),
       false,
       200,
       {"", "Digest "}},
      {"Basic and Digest offered: Digest wins",
       "/both",
       std::pair("user", "secret"),
       false,
       200,
       {"", "Digest "}},
      {"Digest refused as stale: answered again with the new nonce",
       "/stale",
       std::pair("user", "secret"),
       false,
       200,
       {"", "Digest ", "Digest "}},
      // Over plain HTTP the password the Digest answer kept secret is not sent in clear once
      // the server refused it.
      {"Basic and Digest offered, a wrong password: never Basic after Digest",
       "/both",
       std::pair("user", "wrong"),
       false,
       401,
       {"", "Digest "}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto before = server_.hits(row.path).size();
    auto session = makeSession(row.stored);
    auto request = session->makeDataRequest(base_ + row.path);
    if (row.credential) {
      request->authenticateWithUserPassword(row.credential->first, row.credential->second);
    }
    const auto outcome = await(request);
    EXPECT_FALSE(outcome.error) << outcome.error->debugDescription();
    EXPECT_EQ(outcome.status, row.status);
    auto hits = server_.hits(row.path);
    hits.erase(hits.begin(), hits.begin() + static_cast<std::ptrdiff_t>(before));
    ASSERT_EQ(hits.size(), row.authorizations.size());
    for (std::size_t i = 0; i < hits.size(); ++i) {
      EXPECT_TRUE(hits[i].authorization.starts_with(row.authorizations[i]))
          << i << ": " << hits[i].authorization;
      if (row.authorizations[i].empty()) {
        EXPECT_EQ(hits[i].authorization, "") << i;
      }
    }
  }
}

TEST_F(HTTPAuthITest, AServerRedirectedToNeverSeesTheFirstServersCredential) {
  auto session = makeSession(false);
  auto request = session->makeDataRequest(base_ + "/hop");
  request->authenticateWithUserPassword("user", "secret");
  const auto outcome = await(request);
  EXPECT_FALSE(outcome.error);
  // The second server's challenge is its own: the request's credential is not for it.
  EXPECT_EQ(outcome.status, 401);
  const auto first = server_.hits("/hop");
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[1].authorization, kBasic);
  const auto second = elsewhere_.hits("/secure");
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].authorization, "");
}

TEST_F(HTTPAuthITest, AStreamBodyIsNotSentAgainForAReplay) {
  auto session = makeSession(false);
  const std::string body(4096, 'x');
  auto request = session->makeStreamUploadToURL(
      platform::InputStream::withData(platform::Bytes(body.begin(), body.end())), base_ + "/basic");
  request->authenticateWithUserPassword("user", "secret");
  const auto outcome = await(request);
  EXPECT_EQ(urlErrorCode(outcome.error), platform::URLError::Code::requestBodyStreamExhausted);
  const auto hits = server_.hits("/basic");
  ASSERT_EQ(hits.size(), 1u);  // the replay never went out
  EXPECT_EQ(hits[0].body, body);

  // A body in memory is sent again whole.
  auto again =
      session->makeDataUploadToURL(platform::Bytes(body.begin(), body.end()), base_ + "/basic");
  again->authenticateWithUserPassword("user", "secret");
  EXPECT_EQ(await(again).status, 200);
  const auto all = server_.hits("/basic");
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[2].authorization, kBasic);
  EXPECT_EQ(all[2].body, body);
}

// A delegate of its own that cancels every HTTP authentication challenge.
class CancellingDelegate : public halyard::SessionDelegate {
 public:
  void didReceiveChallenge(const SessionPtr& session, const TaskPtr& task,
                           const ChallengePtr& challenge,
                           ChallengeHandler completionHandler) override {
    if (challenge->failureResponse()) {
      completionHandler(AuthChallengeDisposition::cancelAuthenticationChallenge, std::nullopt);
      return;
    }
    SessionDelegate::didReceiveChallenge(session, task, challenge, std::move(completionHandler));
  }
};

TEST_F(HTTPAuthITest, ADelegateThatCancelsEndsTheRequestAsCancelled) {
  auto session = Session::initWithConfiguration(platform::URLSessionConfiguration::ephemeral(),
                                                std::make_shared<CancellingDelegate>());
  auto request = session->makeDataRequest(base_ + "/basic");
  request->authenticateWithUserPassword("user", "secret");
  const auto outcome = await(request);
  EXPECT_EQ(urlErrorCode(outcome.error), platform::URLError::Code::cancelled)
      << (outcome.error ? outcome.error->debugDescription() : "no error");
  EXPECT_EQ(server_.hits("/basic").size(), 1u);
}

}  // namespace
