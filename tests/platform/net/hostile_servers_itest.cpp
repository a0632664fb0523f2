// Servers and folders that work against the client: heads of many fields, challenges that try
// to smuggle fields into our requests, "Vary" lists that multiply an entry's size, and a FIFO
// where a cache entry should be. Each row names the bound it holds to: a memory figure read from
// the process itself, or an outcome that a hang or an injected field would break.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <future>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "platform/dispatch/main_queue.h"
#include "platform/net/http_cookie_storage.h"
#include "platform/net/support/recording_delegate.h"
#include "platform/net/url_cache.h"
#include "platform/net/url_session.h"
#include "support/gzip_bomb.h"
#include "support/recorder.h"
#include "support/test_files.h"

namespace {

using nettest::RecordingDelegate;
using platform::URL;
using platform::URLRequest;
using platform::URLSession;
using platform::URLSessionConfiguration;

// A server that answers each connection's request head with whatever `respond` makes of it,
// then closes the connection; it keeps every head it read.
class RawServer {
 public:
  using Respond = std::function<std::string(const std::string& head, int index)>;
  // `host`: the loopback address to listen on (127.0.0.1 unless another is named).
  explicit RawServer(Respond respond, std::uint32_t host = INADDR_LOOPBACK)
      : respond_(std::move(respond)), host_(host) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(host);
    socklen_t length = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 16) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ADD_FAILURE() << "no loopback listener";
      return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~RawServer() {
    shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    close(listener_);
  }
  std::string url(const std::string& path, const std::string& userInfo = "") const {
    const std::string host = "127.0.0." + std::to_string(host_ & 0xff);
    return "http://" + userInfo + host + ":" + std::to_string(port_) + path;
  }
  std::vector<std::string> heads() const { return heads_.entries(); }

 private:
  void serve() {
    for (int index = 0;; ++index) {
      int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) return;
      std::string head;
      char buffer[4096];
      while (head.find("\r\n\r\n") == std::string::npos) {
        ssize_t got = read(connection, buffer, sizeof buffer);
        if (got <= 0) break;
        head.append(buffer, static_cast<std::size_t>(got));
      }
      heads_.add(head);
      const std::string answer = respond_(head, index);
      for (std::size_t sent = 0; sent < answer.size();) {
        ssize_t put = send(connection, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
        if (put <= 0) break;
        sent += static_cast<std::size_t>(put);
      }
      shutdown(connection, SHUT_WR);
      while (read(connection, buffer, sizeof buffer) > 0) {
      }
      close(connection);
    }
  }

  Respond respond_;
  std::uint32_t host_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
  testsupport::Recorder<std::string> heads_;
};

// The process's resident set now, in bytes.
std::int64_t residentBytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmRSS:")) return std::stoll(line.substr(6)) * 1024;
  }
  return 0;
}

std::string okWithBody(const std::string& body, const std::string& fields = "") {
  return "HTTP/1.1 200 OK\r\n" + fields + "Content-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

class HostileServerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (session_) {
      session_->invalidateAndCancel();
      auto delegate = delegate_;
      platform::runMainUntil([&] { return delegate->invalidated(); }, 10);
    }
    platform::drainMainQueue();
  }
  std::shared_ptr<URLSession> session() {
    if (!session_) {
      session_ = URLSession::make(URLSessionConfiguration::ephemeral(), delegate_,
                                  nettest::mainDelegateQueue());
    }
    return session_;
  }
  std::uint64_t start(const std::string& url) {
    auto task = session()->dataTask(URLRequest(*URL::fromString(url)));
    task->resume();
    return task->taskIdentifier();
  }

  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
  std::shared_ptr<URLSession> session_;
};

// A head of 46,000 distinct names (under libcurl's cap) is built in linear time: a request to
// another server on the same session is not held behind it. Quadratic building kept the I/O
// thread for seconds, well past the bound the loop below allows.
TEST_F(HostileServerTest, ManyHeaderNamesDoNotHoldTheSessionsOtherRequests) {
  std::string fields;
  const char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  int made = 0;
  for (char a : std::string_view(alphabet)) {
    for (char b : std::string_view(alphabet)) {
      for (char c : std::string_view(alphabet)) {
        if (made == 46000) break;
        fields += {a, b, c, ':', '\r', '\n'};
        ++made;
      }
    }
  }
  struct Row {
    const char* name;
    std::string fields;
    std::size_t leastFieldCount;
  };
  const Row rows[] = {
      {"plain head", "", 2},
      {"46,000 names", fields, 46000},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RawServer hostile([&](const std::string&, int) { return okWithBody("ok", row.fields); });
    RawServer bystander([](const std::string&, int) { return okWithBody("fine"); });
    const auto many = start(hostile.url("/many"));
    const auto other = start(bystander.url("/other"));
    ASSERT_TRUE(platform::runMainUntil(
        [&] { return delegate_->isComplete(many) && delegate_->isComplete(other); }, 10));
    EXPECT_EQ(delegate_->record(other).body_text(), "fine");
    auto record = delegate_->record(many);
    ASSERT_EQ(record.error, nullptr);
    auto http = std::dynamic_pointer_cast<const platform::HTTPURLResponse>(record.response);
    ASSERT_NE(http, nullptr);
    EXPECT_GE(http->allHeaderFields().size(), row.leastFieldCount);
    EXPECT_EQ(record.body_text(), "ok");
  }
}

// A challenge whose parameters hold a bare CR is not answered: the 401 is the task's
// response and nothing of the challenge reaches a second request. Well-formed challenges are
// still answered.
TEST_F(HostileServerTest, ChallengesThatCarryLineBreaksAreNotAnswered) {
  struct Row {
    const char* name;
    std::string challenge;
    int status;
    std::size_t requests;
  };
  const Row rows[] = {
      {"digest", "Digest realm=\"r\", nonce=\"abc\"", 200, 2},
      {"bare CR in nonce", "Digest realm=\"r\", nonce=\"abc\rX-Injected: 1\"", 401, 1},
      {"bare CR in opaque", "Digest realm=\"r\", nonce=\"abc\", opaque=\"o\rX-Injected: 1\"", 401,
       1},
      {"basic", "Basic realm=\"r\"", 200, 2},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RawServer server([&](const std::string& head, int) {
      if (head.find("\r\nAuthorization:") != std::string::npos) return okWithBody("in");
      return "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: " + row.challenge +
             "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    });
    const auto id = start(server.url("/secret", "user:pass@"));
    ASSERT_TRUE(platform::runMainUntil([&] { return delegate_->isComplete(id); }, 10));
    auto record = delegate_->record(id);
    auto http = std::dynamic_pointer_cast<const platform::HTTPURLResponse>(record.response);
    ASSERT_NE(http, nullptr);
    EXPECT_EQ(http->statusCode(), row.status);
    const auto heads = server.heads();
    EXPECT_EQ(heads.size(), row.requests);
    for (const auto& head : heads) {
      EXPECT_EQ(head.find("X-Injected"), std::string::npos) << head;
    }
  }
}

platform::CachedURLResponsePtr responseVaryingOn(const std::string& url, std::string vary) {
  platform::HTTPHeaderFields fields{{"Vary", std::move(vary)}, {"Cache-Control", "max-age=3600"}};
  auto head = std::make_shared<const platform::HTTPURLResponse>(*URL::fromString(url), 200,
                                                                "HTTP/1.1", std::move(fields));
  return std::make_shared<const platform::CachedURLResponse>(
      head, platform::Bytes{'b'}, std::any{},
      platform::CachedURLResponse::StoragePolicy::allowedInMemoryOnly);
}

// An entry's cost holds what its "Vary" list makes it keep: 45 entries varying on 45,000 names
// in a 4 MiB memory cache stay within a few times the capacity (they took 173 MB), names are
// kept once each, and a list longer than 64 names is not stored.
TEST_F(HostileServerTest, VaryListsAreCountedDeduplicatedAndBounded) {
  std::string repeated;
  for (int i = 0; i < 45000; ++i)
    repeated += i == 0 ? "a" : ",a";
  std::string sixtyFive;
  for (int i = 0; i < 65; ++i)
    sixtyFive += (i == 0 ? "v" : ", v") + std::to_string(i);
  std::string sixtyFour = sixtyFive.substr(0, sixtyFive.rfind(','));
  struct Row {
    const char* name;
    std::string vary;
    bool stored;
  };
  const Row rows[] = {
      {"one name", "Accept", true},
      {"64 names", sixtyFour, true},
      {"65 names", sixtyFive, false},
      {"45,000 names", repeated, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    constexpr std::int64_t kCapacity = 4 * 1024 * 1024;
    platform::URLCache cache(kCapacity, 0);
    const std::int64_t before = residentBytes();
    for (int i = 0; i < 45; ++i) {
      const std::string url = "http://h/" + std::to_string(i);
      cache.storeCachedResponse(responseVaryingOn(url, row.vary),
                                URLRequest(*URL::fromString(url)));
    }
    const std::int64_t grown = residentBytes() - before;
    EXPECT_LE(cache.currentMemoryUsage(), kCapacity);
    EXPECT_EQ(cache.currentMemoryUsage() > 0, row.stored);
    // The sanitizers' own bookkeeping is generous; the fault cost forty times the capacity.
    EXPECT_LT(grown, 8 * kCapacity) << grown << " bytes for a " << kCapacity << "-byte cache";
  }
  // A repeated name is kept once: the entry's cost is that of a single stored value.
  platform::URLCache cache(1 << 20, 0);
  cache.storeCachedResponse(responseVaryingOn("http://h/d", "Accept, accept, ACCEPT"),
                            URLRequest(*URL::fromString("http://h/d")));
  const auto once = cache.currentMemoryUsage();
  cache.removeAllCachedResponses();
  cache.storeCachedResponse(responseVaryingOn("http://h/d", "Accept"),
                            URLRequest(*URL::fromString("http://h/d")));
  EXPECT_EQ(once - cache.currentMemoryUsage(), 16);  // the field's longer text only
}

// A FIFO, a directory or a socket named like an entry neither holds the cache's constructor
// nor stays: it is removed as a damaged entry is. A regular entry beside them survives.
TEST_F(HostileServerTest, NonRegularFilesInTheCacheFolderAreRemoved) {
  testsupport::TemporaryDirectory temp;
  ASSERT_TRUE(temp.create("hostile-cache"));
  const std::string folder = temp.path();
  {
    platform::URLCache writer(1 << 20, 1 << 20, folder);
    auto response = responseVaryingOn("http://h/kept", "Accept");
    writer.storeCachedResponse(std::make_shared<const platform::CachedURLResponse>(
                                   response->response(), response->data(), std::any{},
                                   platform::CachedURLResponse::StoragePolicy::allowed),
                               URLRequest(*URL::fromString("http://h/kept")));
  }
  const std::string fifo = folder + "/" + std::string(64, 'a');
  const std::string directory = folder + "/" + std::string(64, 'b');
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);

  auto opened = std::async(std::launch::async, [&] {
    return std::make_unique<platform::URLCache>(1 << 20, 1 << 20, folder);
  });
  if (opened.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    // Let the held open go, so that the failure is reported rather than hung.
    int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    ADD_FAILURE() << "the cache's constructor waited on the FIFO";
    opened.wait();
    if (writer >= 0) close(writer);
  }
  auto cache = opened.get();
  struct stat info {};
  EXPECT_NE(lstat(fifo.c_str(), &info), 0) << "the FIFO stayed";
  EXPECT_NE(cache->cachedResponse(URLRequest(*URL::fromString("http://h/kept"))), nullptr);
}

}  // namespace

namespace {

// Answers that are not HTTP, or heads too large to take, fail with a code that says so — a bad
// server response or a resource over the maximum size — never "unsupported URL", "out of
// memory" or "connection lost"; libcurl's own words stay in the debug text.
TEST_F(HostileServerTest, BrokenOrOversizedHeadsFailWithCodesThatSayWhatHappened) {
  using Code = platform::URLError::Code;
  struct Row {
    const char* name;
    std::string answer;
    Code code;
    const char* says = "";  // a part of the error's text
  };
  const Row rows[] = {
      {"HTTP/0.9", "just some bytes\n", Code::badServerResponse},
      {"illegal chunk size", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nok\r\n",
       Code::badServerResponse},
      {"status line in a chunked trailer",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n"
       "HTTP/1.1 503 Nope\r\n\r\n",
       Code::badServerResponse},
      {"folded first header line", "HTTP/1.1 200 OK\r\n folded: x\r\nContent-Length: 0\r\n\r\n",
       Code::badServerResponse},
      {"one header line of 100 MiB",
       "HTTP/1.1 200 OK\r\nX-Long: " + std::string(100 << 20, 'a') + "\r\n\r\n",
       Code::dataLengthExceedsMaximum, "head was too large"},
      {"a Location of 100 KiB",
       "HTTP/1.1 302 Found\r\nLocation: /" + std::string(100 << 10, 'a') +
           "\r\nContent-Length: 0\r\n\r\n",
       Code::dataLengthExceedsMaximum, "head was too large"},
      {"garbage status line", "HTCPCP/1.0 418 Teapot\r\nContent-Length: 0\r\n\r\n",
       Code::badServerResponse},
      {"status -5", "HTTP/1.1 -5 Odd\r\nContent-Length: 0\r\n\r\n", Code::badServerResponse},
      {"one header line of 120 KB",
       "HTTP/1.1 200 OK\r\nX-Long: " + std::string(120'000, 'a') + "\r\nContent-Length: 0\r\n\r\n",
       Code::dataLengthExceedsMaximum},
      {"a head of 400 KB",
       [] {
         std::string head = "HTTP/1.1 200 OK\r\n";
         for (int i = 0; i < 8'000; ++i)
           head += "X-F" + std::to_string(i) + ": " + std::string(40, 'v') + "\r\n";
         return head + "Content-Length: 0\r\n\r\n";
       }(),
       Code::dataLengthExceedsMaximum},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RawServer server([&](const std::string&, int) { return row.answer; });
    const auto id = start(server.url("/x"));
    ASSERT_TRUE(platform::runMainUntil([&] { return delegate_->isComplete(id); }, 10));
    const auto* error = nettest::urlError(delegate_->record(id).error);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), row.code) << error->debugDescription();
    EXPECT_NE(error->debugDescription().find(row.says), std::string::npos)
        << error->debugDescription();
  }
}

// A head whose first field line is folded onto a field that does not exist, on a session that
// already read a response: on its next request, after a followed redirect, and on the replay
// after a challenge. The request fails as a bad answer and the process lives on.
TEST_F(HostileServerTest, AFoldedFirstFieldAfterAnEarlierResponseFailsOnlyThatRequest) {
  const std::string folded = "HTTP/1.1 200 OK\r\n folded: x\r\nContent-Length: 2\r\n\r\nok";
  struct Row {
    const char* name;
    std::string first;   // what the server answers first
    bool secondRequest;  // the folded head answers a request of its own
    const char* userInfo;
  };
  const Row rows[] = {
      {"next request", okWithBody("plain"), true, ""},
      {"redirect hop", "HTTP/1.1 302 Found\r\nLocation: /b\r\nContent-Length: 0\r\n\r\n", false,
       ""},
      {"replay after 401",
       "HTTP/1.1 401 No\r\nWWW-Authenticate: Basic realm=\"r\"\r\nContent-Length: 0\r\n\r\n", false,
       "user:pass@"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RawServer server(
        [&](const std::string&, int index) { return index == 0 ? row.first : folded; });
    if (row.secondRequest) {
      const auto plain = start(server.url("/a"));
      ASSERT_TRUE(platform::runMainUntil([&] { return delegate_->isComplete(plain); }, 10));
      EXPECT_EQ(delegate_->record(plain).body_text(), "plain");
    }
    const auto id = start(server.url("/x", row.userInfo));
    ASSERT_TRUE(platform::runMainUntil([&] { return delegate_->isComplete(id); }, 10));
    const auto* error = nettest::urlError(delegate_->record(id).error);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), platform::URLError::Code::badServerResponse)
        << error->debugDescription();
    EXPECT_EQ(server.heads().size(), 2u);
  }
}

// A field line that starts like a status line is a field (a malformed one), never the start of
// another head: the status, the fields before it and a challenge stay what the server sent.
TEST_F(HostileServerTest, FieldsThatLookLikeStatusLinesStartNoNewHead) {
  struct Row {
    const char* name;
    std::string head;
    int status;
    const char* keptField;
  };
  const Row rows[] = {
      {"503 after a field", "HTTP/1.1 200 OK\r\nX-Real: 1\r\nHTTP/1.1: 503\r\n", 200, "X-Real"},
      {"302 with a Location", "HTTP/1.1 200 OK\r\nHTTP/1.1: 302\r\nLocation: /elsewhere\r\n", 200,
       "Location"},
      {"200 after a challenge",
       "HTTP/1.1 401 No\r\nWWW-Authenticate: Basic realm=\"r\"\r\nHTTP/1.1: 200\r\n", 401,
       "WWW-Authenticate"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RawServer server([&](const std::string&, int) {
      return row.head + "Content-Length: 2\r\nConnection: close\r\n\r\nok";
    });
    const auto id = start(server.url("/x"));
    ASSERT_TRUE(platform::runMainUntil([&] { return delegate_->isComplete(id); }, 10));
    auto record = delegate_->record(id);
    auto http = std::dynamic_pointer_cast<const platform::HTTPURLResponse>(record.response);
    ASSERT_NE(http, nullptr);
    EXPECT_EQ(http->statusCode(), row.status);
    EXPECT_TRUE(http->valueForHTTPHeaderField(row.keptField).has_value());
    EXPECT_EQ(server.heads().size(), 1u);
  }
}

}  // namespace

namespace {

using testsupport::gzipOfZeros;

// Counts what a task is handed and keeps none of it, so that only the client's own memory shows.
class CountingDelegate : public platform::URLSessionDelegate {
 public:
  std::atomic<std::int64_t> received = 0;
  std::atomic<bool> completed = false;
  platform::ErrorPtr error;  // written before `completed`

  void didReceiveData(const SessionPtr&, const DataTaskPtr&, const platform::Bytes& data) override {
    received += static_cast<std::int64_t>(data.size());
  }
  void didCompleteWithError(const SessionPtr&, const TaskPtr&, platform::ErrorPtr e) override {
    error = std::move(e);
    completed = true;
  }
};

// A body handed over in memory is bounded even where nobody set a bound: a 200 whose gzip body
// decodes to 300 MiB of zeros fails once the bound is passed, with what was handed over never
// above it, instead of growing until an allocation fails and ends the process.
TEST_F(HostileServerTest, InMemoryBodiesAreBoundedWhereNobodySetABound) {
  constexpr std::int64_t kDefault = URLSessionConfiguration::defaultMaximumBodyBytes;
  const std::string bomb = gzipOfZeros(std::size_t{300} << 20);
  ASSERT_LT(bomb.size(), std::size_t{1} << 20);
  RawServer server([&](const std::string&, int) {
    return "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nConnection: close\r\n\r\n" + bomb;
  });
  struct Row {
    const char* name;
    URLSessionConfiguration configuration;
    bool streamed;
    std::int64_t bound;  // 0: none, the whole body arrives
  };
  auto ownBound = URLSessionConfiguration::ephemeral();
  ownBound.maximumBodyBytes = 10 << 20;
  auto streamBound = URLSessionConfiguration::ephemeral();
  streamBound.maximumStreamedBodyBytes = 10 << 20;
  const Row rows[] = {
      {"default configuration", URLSessionConfiguration::defaultConfiguration(), false, kDefault},
      {"ephemeral configuration", URLSessionConfiguration::ephemeral(), false, kDefault},
      {"a bound of its own", ownBound, false, 10 << 20},
      // A body passed on as it comes is kept nowhere: only a bound of its own stops it.
      {"streamed", URLSessionConfiguration::ephemeral(), true, 0},
      {"streamed, with a bound of its own", streamBound, true, 10 << 20},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto delegate = std::make_shared<CountingDelegate>();
    auto session = URLSession::make(row.configuration, delegate, nettest::mainDelegateQueue());
    URLRequest request(*URL::fromString(server.url("/bomb")));
    request.setValueForHTTPHeaderField("gzip", "Accept-Encoding");
    auto task = session->dataTask(request);
    task->setStreamsBody(row.streamed);
    task->resume();
    ASSERT_TRUE(platform::runMainUntil([&] { return delegate->completed.load(); }, 120));
    if (row.bound == 0) {
      EXPECT_EQ(delegate->error, nullptr);
      EXPECT_EQ(delegate->received.load(), std::int64_t{300} << 20);
      session->invalidateAndCancel();
      continue;
    }
    const auto* error = nettest::urlError(delegate->error);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), platform::URLError::Code::dataLengthExceedsMaximum);
    EXPECT_NE(error->debugDescription().find("the body passed " + std::to_string(row.bound)),
              std::string::npos)
        << error->debugDescription();
    EXPECT_LE(delegate->received.load(), row.bound);
    EXPECT_GT(delegate->received.load(), row.bound / 2);
    session->invalidateAndCancel();
  }
}

// The names of the cookies `storage` holds for `domain`.
std::set<std::string> cookieNames(const platform::HTTPCookieStorage& storage,
                                  const std::string& domain) {
  std::set<std::string> names;
  for (const auto& cookie : storage.allCookies()) {
    if (cookie.domain == domain) names.insert(cookie.name);
  }
  return names;
}

// 50 new cookies a response, over enough responses, leave at most 180 cookies for a host and
// 3,000 in all, the most recently set kept; every request still carries the host's cookies.
// Without the bounds the jar kept every cookie (48,390 after 1,050 responses), and each request
// of the host cost the I/O thread the whole jar.
TEST_F(HostileServerTest, TheCookieJarKeepsWithinItsBoundsNewestFirst) {
  struct Row {
    const char* name;
    int hosts;
    int responsesPerHost;
    std::size_t perHost;
    std::size_t total;
  };
  const Row rows[] = {
      {"one host, 8 responses", 1, 8, 180, 180},
      {"20 hosts, 4 responses each", 20, 4, 180, 3000},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TearDown();
    session_.reset();
    delegate_ = std::make_shared<RecordingDelegate>();
    std::vector<std::unique_ptr<RawServer>> servers;
    for (int h = 0; h < row.hosts; ++h) {
      servers.push_back(std::make_unique<RawServer>(
          [h](const std::string&, int index) {
            std::string fields;
            for (int i = 0; i < 50; ++i) {
              fields += "Set-Cookie: h" + std::to_string(h) + "r" + std::to_string(index) + "c" +
                        std::to_string(i) + "=v\r\n";
            }
            return okWithBody("ok", fields);
          },
          INADDR_LOOPBACK + 1 + std::uint32_t(h)));
    }
    // Host after host, so that the first hosts' cookies are the least recently set.
    for (int h = 0; h < row.hosts; ++h) {
      for (int r = 0; r < row.responsesPerHost; ++r) {
        const auto id = start(servers[h]->url("/p"));
        ASSERT_TRUE(platform::runMainUntil([&] { return delegate_->isComplete(id); }, 20));
        ASSERT_EQ(delegate_->record(id).error, nullptr);
      }
    }
    auto storage = session()->configuration().httpCookieStorage;
    ASSERT_NE(storage, nullptr);
    EXPECT_EQ(storage->allCookies().size(), row.total);
    EXPECT_EQ(storage->trackedCookies(), row.total);
    const int last = row.hosts - 1;
    const auto newest = cookieNames(*storage, "127.0.0." + std::to_string(last + 2));
    EXPECT_EQ(newest.size(), row.perHost);
    const std::string lastResponse =
        "h" + std::to_string(last) + "r" + std::to_string(row.responsesPerHost - 1) + "c";
    for (int i = 0; i < 50; ++i) {
      EXPECT_TRUE(newest.contains(lastResponse + std::to_string(i))) << i;
    }
    // The oldest went first: the host's first response is gone.
    EXPECT_FALSE(newest.contains("h" + std::to_string(last) + "r0c0"));
    if (row.hosts > 1) {
      EXPECT_TRUE(cookieNames(*storage, "127.0.0.2").empty());
    }
    // A request carries the cookies its host set before.
    const auto heads = servers[last]->heads();
    ASSERT_EQ(heads.size(), std::size_t(row.responsesPerHost));
    const std::string before =
        "h" + std::to_string(last) + "r" + std::to_string(row.responsesPerHost - 2) + "c19=v";
    EXPECT_NE(heads.back().find(before), std::string::npos) << heads.back().substr(0, 300);
  }
}

// The bounds count what libcurl keeps, however a Set-Cookie field is written: 100 responses of
// 50 new cookies each leave 180 cookies for the host in every form. Each form here was read one
// way by libcurl and another by a second reading of the fields, and left 5,000 cookies.
TEST_F(HostileServerTest, EveryFormOfSetCookieCountsAgainstTheBounds) {
  struct Row {
    const char* name;
    std::string (*field)(const std::string& cookie);
    const char* after;  // fields after the cookies
  };
  const Row rows[] = {
      {"plain", [](const std::string& c) { return c + "=v"; }, ""},
      {"Secure with a value from a plain origin",
       [](const std::string& c) { return c + "=v; Secure=yes"; }, ""},
      {"an empty Path", [](const std::string& c) { return c + "=v; Path="; }, ""},
      {"a relative Path", [](const std::string& c) { return c + "=v; Path=rel"; }, ""},
      {"an empty pair first", [](const std::string& c) { return ";" + c + "=v"; }, ""},
      {"cookies before a fake status line", [](const std::string& c) { return c + "=v"; },
       "HTTP/1.1: 200\r\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TearDown();
    session_.reset();
    delegate_ = std::make_shared<RecordingDelegate>();
    // Not 127.0.0.1: libcurl takes that for a secure context.
    RawServer server(
        [&](const std::string&, int index) {
          std::string fields;
          for (int i = 0; i < 50; ++i)
            fields +=
                "Set-Cookie: " + row.field("r" + std::to_string(index) + "c" + std::to_string(i)) +
                "\r\n";
          return okWithBody("ok", fields + row.after);
        },
        INADDR_LOOPBACK + 1);
    for (int r = 0; r < 100; ++r) {
      const auto id = start(server.url("/p/q"));
      ASSERT_TRUE(platform::runMainUntil([&] { return delegate_->isComplete(id); }, 20));
      ASSERT_EQ(delegate_->record(id).error, nullptr);
    }
    const auto storage = session()->configuration().httpCookieStorage;
    EXPECT_EQ(storage->allCookies().size(), platform::HTTPCookieStorage::kMaximumCookiesPerDomain);
    EXPECT_EQ(storage->trackedCookies(), storage->allCookies().size());
    // The newest response's cookies are among those kept.
    EXPECT_TRUE(cookieNames(*storage, "127.0.0.2").contains("r99c49"));
  }
}

// A head that fails before its end keeps none of the cookies it set; one that ends keeps them,
// also when its body then fails. libcurl takes each cookie as its field arrives, so a head over
// its cap used to leave its first 50 cookies in the jar.
TEST_F(HostileServerTest, AHeadThatFailsKeepsNoneOfItsCookies) {
  using Code = platform::URLError::Code;
  std::string manyCookies;
  for (int i = 0; i < 100'000; ++i)
    manyCookies += "Set-Cookie: c" + std::to_string(i) + "=v\r\n";
  const std::string two = "Set-Cookie: a=1\r\nSet-Cookie: b=2; Path=/\r\n";
  struct Row {
    const char* name;
    std::string answer;
    std::optional<Code> code;
    std::size_t kept;
  };
  const Row rows[] = {
      {"complete head", okWithBody("ok", two), std::nullopt, 2},
      {"100,000 cookies, a head over libcurl's cap", "HTTP/1.1 200 OK\r\n" + manyCookies + "\r\n",
       Code::dataLengthExceedsMaximum, 0},
      {"cookies, then a line of 120 KB",
       "HTTP/1.1 200 OK\r\n" + two + "X-Long: " + std::string(120'000, 'a') +
           "\r\nContent-Length: 0\r\n\r\n",
       Code::dataLengthExceedsMaximum, 0},
      {"a complete head, then a broken body",
       "HTTP/1.1 200 OK\r\n" + two + "Transfer-Encoding: chunked\r\n\r\nzz\r\n",
       Code::badServerResponse, 2},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TearDown();
    session_.reset();
    delegate_ = std::make_shared<RecordingDelegate>();
    RawServer server([&](const std::string&, int) { return row.answer; });
    const auto id = start(server.url("/x"));
    ASSERT_TRUE(platform::runMainUntil([&] { return delegate_->isComplete(id); }, 20));
    const auto* error = nettest::urlError(delegate_->record(id).error);
    if (row.code) {
      ASSERT_NE(error, nullptr);
      EXPECT_EQ(error->code(), *row.code) << error->debugDescription();
    } else {
      EXPECT_EQ(error, nullptr);
    }
    const auto storage = session()->configuration().httpCookieStorage;
    EXPECT_EQ(storage->allCookies().size(), row.kept);
    EXPECT_EQ(storage->trackedCookies(), row.kept);
  }
}

}  // namespace
