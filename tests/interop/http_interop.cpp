// The HTTP client against nginx and apache2 from the system, each row compared with what the
// curl command line makes of the same URL (status, final URL, sha256 of the body) where curl
// is the reference.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "halyard/core/session.h"
#include "halyard/encoding/multipart_form_data.h"
#include "interop/support/interop_servers.h"
#include "platform/dispatch/main_queue.h"
#include "platform/dispatch/operation_queue.h"
#include "platform/net/url_cache.h"
#include "platform/net/url_error.h"
#include "support/slow_data_delegate.h"

namespace {

using halyard::Session;
using interop::Servers;

struct Fetched {
  int status = 0;
  std::string finalURL;
  std::string body;
  std::string bodySHA256;
  std::string protocol;  // the metrics' protocol name of the last transaction
  std::string failure;
};

platform::URLRequest requestFor(const std::string& url, const std::string& method = "GET",
                                std::optional<std::string> body = std::nullopt,
                                const std::map<std::string, std::string>& fields = {}) {
  platform::URLRequest request(*platform::URL::fromString(url));
  request.httpMethod = method;
  if (body) request.httpBody = platform::Bytes(body->begin(), body->end());
  for (const auto& [name, value] : fields)
    request.setValueForHTTPHeaderField(value, name);
  return request;
}

Fetched fetch(Session& session, platform::URLRequest request,
              std::optional<std::pair<std::string, std::string>> credential = std::nullopt) {
  auto dataRequest = session.makeDataRequest(std::move(request));
  if (credential) dataRequest->authenticateWithUserPassword(credential->first, credential->second);
  bool received = false;
  Fetched out;
  dataRequest->responseUnserialized([&](const auto& response) {
    received = true;
    if (!response.result) {
      const auto& error = response.result.error();
      out.failure = error.errorDescription();
      // The platform's own text, as a log would show it.
      if (error.isSessionTaskFailed() && error.wrappedError()) {
        out.failure += " | " + error.wrappedError()->debugDescription();
      }
    }
    if (response.response) {
      out.status = static_cast<int>(response.response->statusCode());
      out.finalURL = response.response->url().absoluteString();
    }
    if (response.data) out.body.assign(response.data->begin(), response.data->end());
    if (response.metrics && !response.metrics->transactionMetrics.empty()) {
      out.protocol = response.metrics->transactionMetrics.back().networkProtocolName.value_or("");
    }
  });
  if (!platform::runMainUntil([&] { return received; }, 120)) {
    out.failure = "no answer in time";
    return out;
  }
  out.bodySHA256 = interop::sha256Hex(out.body);
  return out;
}

// The same as curl: status, final URL and body.
void expectAsCurl(const Fetched& ours, const interop::CurlResult& reference) {
  ASSERT_TRUE(reference.failure.empty()) << reference.failure;
  EXPECT_EQ(ours.status, reference.status) << ours.failure;
  EXPECT_EQ(ours.finalURL, reference.finalURL);
  EXPECT_EQ(ours.bodySHA256, reference.bodySHA256)
      << "ours: " << ours.body.substr(0, 200) << "\ncurl: " << reference.body.substr(0, 200);
}

class HTTPInteropTest : public testing::Test {
 protected:
  // The sessions' I/O threads end before the process does, with what OpenSSL keeps for each.
  void TearDown() override {
    for (const auto& made : sessions_) {
      made->session()->invalidateAndCancel();
      EXPECT_TRUE(platform::runMainUntil([&] { return !made->session()->delegate(); }, 20));
    }
    sessions_.clear();
  }
  std::vector<std::shared_ptr<Session>> sessions_;
  std::shared_ptr<Session> makeSession(std::shared_ptr<platform::URLCache> cache = nullptr) {
    auto configuration = platform::URLSessionConfiguration::ephemeral();
    configuration.urlCache = std::move(cache);
    sessions_.push_back(Session::initWithConfiguration(configuration));
    return sessions_.back();
  }
  Servers& servers = Servers::shared();
};

TEST_F(HTTPInteropTest, CompressedBodiesOverHTTP11AndHTTP2AgreeWithCurl) {
  INTEROP_REQUIRE(nginx);
  INTEROP_REQUIRE(apache);
  struct Row {
    const char* name;
    std::string url;
    std::vector<std::string> curlOptions;
    const char* protocol;
  } rows[] = {
      {"nginx, HTTP/1.1", servers.plainOrigin() + "/hello.txt", {"--http1.1"}, "http/1.1"},
      {"nginx, HTTP/1.1 over TLS",
       servers.http1TLSOrigin() + "/hello.txt",
       {"--http1.1"},
       "http/1.1"},
      {"nginx, HTTP/2 over TLS", servers.http2Origin() + "/hello.txt", {"--http2"}, "h2"},
      {"nginx, binary over HTTP/2", servers.http2Origin() + "/data.bin", {"--http2"}, "h2"},
      {"apache2 with mod_deflate", servers.apacheOrigin() + "/hello.txt", {}, "http/1.1"},
  };
  auto session = makeSession();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto options = row.curlOptions;
    options.insert(options.end(), {"--compressed", row.url});
    const auto ours = fetch(*session, requestFor(row.url));
    expectAsCurl(ours, interop::curl(options, servers.folder()));
    EXPECT_EQ(ours.protocol, row.protocol);
  }
}

TEST_F(HTTPInteropTest, EveryRedirectCodeWithABodyAgreesWithCurl) {
  INTEROP_REQUIRE(nginx);
  auto session = makeSession();
  const std::string body = "name=value&other=1";
  for (const char* code : {"301", "302", "303", "307", "308"}) {
    for (const char* method : {"POST", "PUT"}) {
      SCOPED_TRACE(std::string(code) + " " + method);
      const std::string url = servers.plainOrigin() + "/r" + code;
      const auto ours = fetch(*session, requestFor(url, method, body));
      // A PUT goes as curl uploads a file, a POST as it posts data: forcing the method with -X
      // would keep it where a 303 changes it.
      const auto file = servers.folder() / "redirect-body";
      interop::writeFile(file, body);
      std::vector<std::string> options = {"-L", "-T", file.string()};
      if (std::string(method) == "POST") options = {"-L", "--data-binary", body};
      options.push_back(url);
      const auto reference = interop::curl(options, servers.folder());
      expectAsCurl(ours, reference);
    }
  }
}

TEST_F(HTTPInteropTest, CookiesAcrossARedirectAgreeWithCurl) {
  INTEROP_REQUIRE(nginx);
  auto session = makeSession();
  const std::string url = servers.plainOrigin() + "/setcookie";
  const auto ours = fetch(*session, requestFor(url));
  expectAsCurl(ours, interop::curl({"-L", "--cookie", "", url}, servers.folder()));
  EXPECT_EQ(ours.body, "cookie=flavour=oat\n");
}

TEST_F(HTTPInteropTest, ACachedAnswerIsRevalidatedTo304) {
  INTEROP_REQUIRE(nginx);
  auto session = makeSession(std::make_shared<platform::URLCache>(8 << 20, 0));
  const std::string url = servers.plainOrigin() + "/revalidate/page.txt";
  const auto first = fetch(*session, requestFor(url));
  const auto second = fetch(*session, requestFor(url));
  expectAsCurl(first, interop::curl({url}, servers.folder()));
  EXPECT_EQ(second.status, 200);
  EXPECT_EQ(second.bodySHA256, first.bodySHA256);
  std::vector<std::string> statuses;
  for (const auto& line : servers.nginxLog()) {
    if (line.find(" /revalidate/page.txt ") == std::string::npos) continue;
    std::istringstream words(line);
    std::string connection, request, status;
    words >> connection >> request >> status;
    statuses.push_back(status);
  }
  EXPECT_EQ(statuses, (std::vector<std::string>{"200", "304", "200"}));  // ours twice, curl
}

TEST_F(HTTPInteropTest, RangesWithIfRangeAgreeWithCurl) {
  INTEROP_REQUIRE(nginx);
  auto session = makeSession();
  const std::string url = servers.plainOrigin() + "/range.bin";
  const auto whole = fetch(*session, requestFor(url));
  ASSERT_EQ(whole.status, 200) << whole.failure;
  // The entity tag of the file as it is, and one of a file that has changed since.
  const auto head = interop::run({"curl", "-sSI", url});
  std::string etag;
  std::istringstream lines(head.output);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("ETag: ", 0) == 0) etag = line.substr(6, line.find('\r') - 6);
  }
  ASSERT_FALSE(etag.empty()) << head.output;
  struct Row {
    const char* name;
    std::string ifRange;
    int status;
  } rows[] = {
      {"unchanged: the rest", etag, 206},
      {"changed: the whole file again", "\"0-0\"", 200},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto ours =
        fetch(*session, requestFor(url, "GET", std::nullopt,
                                   {{"Range", "bytes=100000-"}, {"If-Range", row.ifRange}}));
    expectAsCurl(
        ours, interop::curl({"-H", "Range: bytes=100000-", "-H", "If-Range: " + row.ifRange, url},
                            servers.folder()));
    EXPECT_EQ(ours.status, row.status);
    EXPECT_EQ(ours.body, row.status == 206 ? whole.body.substr(100000) : whole.body);
  }
}

TEST_F(HTTPInteropTest, AServerThatClosesAfterThreeRequestsLosesNone) {
  INTEROP_REQUIRE(nginx);
  auto session = makeSession();
  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE(i);
    const auto ours = fetch(*session, requestFor(servers.keepAlive3Origin() + "/small.txt"));
    EXPECT_EQ(ours.status, 200) << ours.failure;
    EXPECT_EQ(ours.body, "small\n");
  }
}

TEST_F(HTTPInteropTest, BasicAndDigestAgreeWithCurl) {
  INTEROP_REQUIRE(nginx);
  INTEROP_REQUIRE(apache);
  struct Row {
    const char* name;
    std::string url;
    std::string password;
    const char* curlScheme;
    int status;
  } rows[] = {
      {"nginx Basic", servers.plainOrigin() + "/basic/index.txt", "secret", "--basic", 200},
      {"nginx Basic, wrong password", servers.plainOrigin() + "/basic/index.txt", "wrong",
       "--basic", 401},
      {"apache2 Digest MD5", servers.apacheOrigin() + "/digest/index.txt", "secret", "--digest",
       200},
      {"apache2 Digest MD5, wrong password", servers.apacheOrigin() + "/digest/index.txt", "wrong",
       "--digest", 401},
  };
  auto session = makeSession();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto ours = fetch(*session, requestFor(row.url), std::pair("user", row.password));
    const auto reference =
        interop::curl({row.curlScheme, "-u", "user:" + row.password, row.url}, servers.folder());
    expectAsCurl(ours, reference);
    EXPECT_EQ(ours.status, row.status);
  }
}

TEST_F(HTTPInteropTest, ALargeUploadArrivesWhole) {
  INTEROP_REQUIRE(apache);
  auto session = makeSession();
  std::string body(100u << 20, '\0');
  for (std::size_t i = 0; i < body.size(); ++i)
    body[i] = static_cast<char>((i * 2654435761u) >> 13);
  const std::string url = servers.apacheOrigin() + "/dav/upload.bin";
  const auto put = fetch(*session, requestFor(url, "PUT", body));
  EXPECT_TRUE(put.status == 201 || put.status == 204) << put.status << " " << put.failure;
  EXPECT_EQ(interop::sha256Hex(interop::readFile(servers.apacheRoot() / "dav" / "upload.bin")),
            interop::sha256Hex(body));
}

// Digest in each algorithm RFC 7616 names, a nonce refused as stale, and Digest offered beside
// Basic with a wrong password, against the python3 server.
TEST_F(HTTPInteropTest, DigestAlgorithmsStaleNoncesAndBasicBesideDigestAgreeWithCurl) {
  INTEROP_REQUIRE(python);
  struct Row {
    const char* name;
    std::string path;
    std::string password;
    const char* curlScheme;
    int status;
    std::vector<std::string> schemesSeen;  // the Authorization headers the server got from us
  } rows[] = {
      {"MD5", "/digest/md5", "secret", "--digest", 200, {"Digest"}},
      {"MD5-sess", "/digest/md5-sess", "secret", "--digest", 200, {"Digest"}},
      {"SHA-256", "/digest/sha256", "secret", "--digest", 200, {"Digest"}},
      {"SHA-256-sess", "/digest/sha256-sess", "secret", "--digest", 200, {"Digest"}},
      {"SHA-256, wrong password", "/digest/sha256", "wrong", "--digest", 401, {"Digest"}},
      // The password was right, only the nonce old: answered again, not counted as a failure.
      {"stale nonce", "/digest/sha256/stale", "secret", "--digest", 200, {"Digest", "Digest"}},
      // Over plain HTTP the password Digest kept secret does not go out in clear once refused.
      {"Digest and Basic offered, wrong password",
       "/digest/md5/both",
       "wrong",
       "--anyauth",
       401,
       {"Digest"}},
      {"Digest and Basic offered", "/digest/md5/both", "secret", "--anyauth", 200, {"Digest"}},
  };
  auto session = makeSession();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string url = servers.pythonHTTPOrigin() + row.path;
    const auto before = fetch(*session, requestFor(servers.pythonHTTPOrigin() + "/seen")).body;
    const auto ours = fetch(*session, requestFor(url), std::pair("user", row.password));
    const auto after = fetch(*session, requestFor(servers.pythonHTTPOrigin() + "/seen")).body;
    std::vector<std::string> seen;
    std::istringstream lines(after.substr(before.size()));
    for (std::string line; std::getline(lines, line);)
      seen.push_back(line);
    EXPECT_EQ(seen, row.schemesSeen);
    EXPECT_EQ(ours.status, row.status) << ours.failure;
    expectAsCurl(
        ours, interop::curl({row.curlScheme, "-u", "user:" + row.password, url}, servers.folder()));
  }
}

TEST_F(HTTPInteropTest, AHundredMegabyteMultipartUploadAgreesWithCurl) {
  INTEROP_REQUIRE(python);
  const auto file = servers.folder() / "upload.bin";
  std::string bytes(100u << 20, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<char>((i * 2654435761u) >> 11);
  interop::writeFile(file, bytes);
  auto session = makeSession();
  auto form = std::make_shared<halyard::MultipartFormData>();
  form->appendData(platform::Bytes{'h', 'i'}, "note");
  form->appendFileNamed(platform::URL::fileURLWithPath(file.string(), false), "file", "upload.bin",
                        "application/octet-stream");
  auto upload = session->makeMultipartUploadToURL(form, servers.pythonHTTPOrigin() + "/upload");
  std::optional<std::string> answer;
  upload->responseAsString([&](const auto& response) {
    answer = response.result ? *response.result : response.result.error().errorDescription();
  });
  ASSERT_TRUE(platform::runMainUntil([&] { return answer.has_value(); }, 120));
  const std::string expected = "note 2 " + interop::sha256Hex("hi") + "\nfile " +
                               std::to_string(bytes.size()) + " " + interop::sha256Hex(bytes) +
                               "\n";
  EXPECT_EQ(*answer, expected);
  const auto reference = interop::curl(
      {"-F", "note=hi", "-F", "file=@" + file.string(), servers.pythonHTTPOrigin() + "/upload"},
      servers.folder());
  EXPECT_EQ(reference.body, expected);
}

// A server nobody trusts: the failure names the certificate, and nothing OpenSSL noted while the
// anchors were read.
TEST_F(HTTPInteropTest, AnUntrustedServerFailsAsWithCurlAndSaysOnlyWhy) {
  INTEROP_REQUIRE(nginx);
  auto session = makeSession();
  const std::string url = servers.untrustedOrigin() + "/small.txt";
  const auto ours = fetch(*session, requestFor(url));
  EXPECT_EQ(ours.status, 0);
  EXPECT_NE(ours.failure.find("certificate"), std::string::npos) << ours.failure;
  EXPECT_EQ(ours.failure.find("routines:"), std::string::npos) << ours.failure;
  EXPECT_EQ(ours.failure.find("PEM"), std::string::npos) << ours.failure;
  const auto reference = interop::curl({url}, servers.folder());
  EXPECT_NE(reference.failure.find("(60)"), std::string::npos) << reference.failure;
}

// Records a download task's progress, its file's bytes and its end, under a lock (the delegate
// queue is the main queue, the test reads meanwhile).
class DownloadRecorder : public platform::URLSessionDelegate {
 public:
  void didWriteData(const SessionPtr&, const DownloadTaskPtr&, std::int64_t, std::int64_t total,
                    std::int64_t) override {
    written = total;
  }
  void didFinishDownloadingToURL(const SessionPtr&, const DownloadTaskPtr&,
                                 const platform::URL& location) override {
    file = interop::readFile(location.path());
  }
  void didCompleteWithError(const SessionPtr&, const TaskPtr&, platform::ErrorPtr e) override {
    error = e;
    completed = true;
  }
  std::int64_t written = 0;
  std::optional<std::string> file;
  platform::ErrorPtr error;
  bool completed = false;
};

// A download cancelled half way and resumed from its resume data: nginx answers the If-Range
// with the rest while the file is the same, and with the whole new file once it changed.
TEST_F(HTTPInteropTest, ADownloadResumesWithIfRangeAndStartsAgainForAChangedFile) {
  INTEROP_REQUIRE(nginx);
  struct Row {
    const char* name;
    bool changeFile;
  } rows[] = {{"unchanged", false}, {"changed since", true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::string original(8u << 20, '\0');
    for (std::size_t i = 0; i < original.size(); ++i)
      original[i] = static_cast<char>((i * 40503u) >> 9);
    interop::writeFile(servers.nginxRoot() / "slow" / (row.changeFile ? "b.bin" : "a.bin"),
                       original);
    const std::string url = servers.plainOrigin() + "/slow/" + (row.changeFile ? "b.bin" : "a.bin");
    auto delegate = std::make_shared<DownloadRecorder>();
    auto session =
        platform::URLSession::make(platform::URLSessionConfiguration::ephemeral(), delegate,
                                   std::make_shared<platform::OperationQueue>(
                                       "interop.download", platform::DispatchQueue::main()));
    auto task = session->downloadTask(*platform::URL::fromString(url));
    task->resume();
    ASSERT_TRUE(platform::runMainUntil([&] { return delegate->written >= (1 << 20); }, 30));
    std::optional<platform::Bytes> resumeData;
    bool answered = false;
    task->cancelByProducingResumeData([&](std::optional<platform::Bytes> data) {
      resumeData = std::move(data);
      answered = true;
    });
    ASSERT_TRUE(platform::runMainUntil([&] { return answered && delegate->completed; }, 30));
    ASSERT_TRUE(resumeData);
    EXPECT_FALSE(delegate->file);
    std::string expected = original;
    if (row.changeFile) {
      // Another length, so that the entity tag changes within the same second as well.
      expected = original.substr(0, original.size() - 1000);
      std::reverse(expected.begin(), expected.end());
      interop::writeFile(servers.nginxRoot() / "slow" / "b.bin", expected);
    }
    auto resumed = delegate;
    resumed->completed = false;
    resumed->error = nullptr;
    auto again = session->downloadTaskWithResumeData(*resumeData);
    again->resume();
    ASSERT_TRUE(platform::runMainUntil([&] { return resumed->completed; }, 60));
    EXPECT_FALSE(resumed->error) << resumed->error->debugDescription();
    ASSERT_TRUE(resumed->file);
    EXPECT_EQ(interop::sha256Hex(*resumed->file), interop::sha256Hex(expected));
    const auto reference = interop::curl({url}, servers.folder());
    EXPECT_EQ(reference.bodySHA256, interop::sha256Hex(expected));
    // What nginx answered: the first request whole, the resumed one the rest or all again.
    std::vector<std::string> statuses;
    for (const auto& line : servers.nginxLog()) {
      if (line.find(url.substr(servers.plainOrigin().size()) + " ") == std::string::npos) continue;
      std::istringstream words(line);
      std::string connection, request, status;
      words >> connection >> request >> status;
      statuses.push_back(status);
    }
    EXPECT_EQ(statuses, (std::vector<std::string>{"200", row.changeFile ? "200" : "206", "200"}));
    session->invalidateAndCancel();
    EXPECT_TRUE(platform::runMainUntil([&] { return !session->delegate(); }, 30));
  }
}

// A delegate slower than nginx: its data tasks are held at the bound of undelivered bytes and
// let go each time it catches up, over HTTP/1.1 and over HTTP/2's streams of one connection.
TEST_F(HTTPInteropTest, ASlowDelegateGetsEveryLargeBodyWhole) {
  INTEROP_REQUIRE(nginx);
  constexpr std::size_t kSize = 24u << 20;
  std::string body(kSize, '\0');
  for (std::size_t i = 0; i < body.size(); ++i)
    body[i] = static_cast<char>((i * 7919u) >> 5);
  interop::writeFile(servers.nginxRoot() / "large.bin", body);
  for (const std::string& origin : {servers.plainOrigin(), servers.http2Origin()}) {
    SCOPED_TRACE(origin);
    auto delegate = std::make_shared<testsupport::SlowDataDelegate>();
    auto session = platform::URLSession::make(
        platform::URLSessionConfiguration::ephemeral(), delegate,
        std::make_shared<platform::OperationQueue>(
            "interop.slow", platform::DispatchQueue::serial("interop.slow")));
    std::vector<std::shared_ptr<platform::URLSessionDataTask>> tasks;
    for (int i = 0; i < 3; ++i) {
      tasks.push_back(session->dataTask(
          *platform::URL::fromString(origin + "/large.bin?n=" + std::to_string(i))));
      tasks.back()->resume();
    }
    EXPECT_TRUE(platform::runMainUntil([&] { return delegate->completed() == tasks.size(); }, 120));
    for (const auto& task : tasks) {
      EXPECT_EQ(delegate->outcome(task->taskIdentifier()), "ok");
      EXPECT_EQ(delegate->received(task->taskIdentifier()), kSize);
    }
    session->invalidateAndCancel();
  }
}

// Holds every trust challenge until the test answers it.
class HoldingDelegate : public platform::URLSessionDelegate {
 public:
  void didReceiveChallenge(const SessionPtr&, const TaskPtr&, const ChallengePtr&,
                           ChallengeHandler handler) override {
    held.push_back(std::move(handler));
  }
  void didCompleteWithError(const SessionPtr&, const TaskPtr& task, platform::ErrorPtr e) override {
    completed[task->taskIdentifier()] = e;
  }
  void didReceiveData(const SessionPtr&, const DataTaskPtr&, const platform::Bytes& d) override {
    body.append(d.begin(), d.end());
  }
  std::vector<ChallengeHandler> held;
  std::map<std::uint64_t, platform::ErrorPtr> completed;
  std::string body;
};

// A download cancelled for its resume data while its handshake with nginx waits on the
// delegate: the handshake ends by itself, the answer that comes late changes nothing, and the
// server is reached again at once.
TEST_F(HTTPInteropTest, CancellingForResumeDataDuringAHandshakeStrandsNothing) {
  INTEROP_REQUIRE(nginx);
  auto delegate = std::make_shared<HoldingDelegate>();
  auto session = platform::URLSession::make(
      platform::URLSessionConfiguration::ephemeral(), delegate,
      std::make_shared<platform::OperationQueue>("interop.hold", platform::DispatchQueue::main()));
  auto download =
      session->downloadTask(*platform::URL::fromString(servers.http2Origin() + "/small.txt"));
  download->resume();
  ASSERT_TRUE(platform::runMainUntil([&] { return delegate->held.size() == 1; }, 30));
  int answers = 0;
  download->cancelByProducingResumeData([&](std::optional<platform::Bytes> data) {
    EXPECT_FALSE(data);
    ++answers;
  });
  ASSERT_TRUE(platform::runMainUntil(
      [&] { return answers == 1 && delegate->completed.contains(download->taskIdentifier()); },
      10));
  auto* error = dynamic_cast<const platform::URLError*>(
      delegate->completed[download->taskIdentifier()].get());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), platform::URLError::Code::cancelled);
  delegate->held[0](platform::URLSessionDelegate::AuthChallengeDisposition::performDefaultHandling,
                    std::nullopt);
  auto next = session->dataTask(*platform::URL::fromString(servers.http2Origin() + "/small.txt"));
  next->resume();
  ASSERT_TRUE(platform::runMainUntil([&] { return delegate->held.size() == 2; }, 30));
  delegate->held[1](platform::URLSessionDelegate::AuthChallengeDisposition::performDefaultHandling,
                    std::nullopt);
  ASSERT_TRUE(platform::runMainUntil(
      [&] { return delegate->completed.contains(next->taskIdentifier()); }, 30));
  EXPECT_FALSE(delegate->completed[next->taskIdentifier()]);
  EXPECT_EQ(delegate->body, "small\n");
  session->invalidateAndCancel();
  EXPECT_TRUE(platform::runMainUntil([&] { return !session->delegate(); }, 30));
  EXPECT_EQ(answers, 1);
}

// HTTP/2 multiplexes every request to an origin over one connection: a cold session with 64
// requests at once opens one, as curl does.
TEST_F(HTTPInteropTest, ManyRequestsToAnHTTP2OriginShareOneConnection) {
  INTEROP_REQUIRE(nginx);
  auto session = makeSession();
  const std::string marker = "/small.txt?burst";
  std::vector<std::shared_ptr<halyard::DataRequest>> requests;
  int done = 0, ok = 0;
  for (int i = 0; i < 64; ++i) {
    auto request =
        session->makeDataRequest(requestFor(servers.http2Origin() + marker + std::to_string(i)));
    request->responseUnserialized([&](const auto& response) {
      ++done;
      if (response.response && response.response->statusCode() == 200) ++ok;
    });
    requests.push_back(request);
  }
  ASSERT_TRUE(platform::runMainUntil([&] { return done == 64; }, 60));
  EXPECT_EQ(ok, 64);
  std::set<std::string> connections;
  int streams = 0;
  for (const auto& line : servers.nginxLog()) {
    if (line.find(" /small.txt ") == std::string::npos ||
        line.find("HTTP/2.0") == std::string::npos)
      continue;
    connections.insert(line.substr(0, line.find(' ')));
    ++streams;
  }
  EXPECT_EQ(streams, 64);
  EXPECT_EQ(connections.size(), 1u);
}

}  // namespace
