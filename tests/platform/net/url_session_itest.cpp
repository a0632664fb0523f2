// URL sessions against real HTTP servers on 127.0.0.1.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/dispatch/main_queue.h"
#include "platform/net/support/recording_delegate.h"
#include "platform/net/support/self_signed_certificate.h"
#include "platform/net/support/test_server.h"
#include "platform/net/url_error.h"
#include "platform/net/url_session.h"
#include "support/test_files.h"

namespace {

using nettest::Flag;
using nettest::Gate;
using nettest::RecordingDelegate;
using nettest::TestServer;
using nettest::urlError;
using platform::HTTPHeaderFields;
using platform::URL;
using platform::URLError;
using platform::URLRequest;
using platform::URLSession;
using platform::URLSessionConfiguration;
using platform::URLSessionTask;
using State = platform::URLSessionTask::State;
using Disposition = platform::URLSessionDelegate::ResponseDisposition;
using Answer = RecordingDelegate::Answer;

const std::vector<std::uint8_t> kGzipBody = {31,  139, 8,   0,   0,   0,   0,   0,  2,  3,  203, 72,
                                             205, 201, 201, 87,  72,  175, 202, 44, 80, 40, 207, 47,
                                             202, 73,  209, 83,  200, 24,  21,  25, 21, 25, 178, 34,
                                             0,   195, 79,  250, 22,  208, 2,   0,  0};
const std::vector<std::uint8_t> kDeflateBody = {
    120, 156, 203, 72,  205, 201, 201, 87, 72, 175, 202, 44, 80,  40,  207, 47, 202,
    73,  209, 83,  200, 24,  21,  25,  21, 25, 178, 34,  0,  164, 209, 4,   176};
std::string expectedDecodedBody() {
  std::string s;
  for (int i = 0; i < 40; ++i)
    s += "hello gzip world. ";
  return s;
}

bool runUntil(const std::function<bool()>& predicate, double timeout = 10.0) {
  return platform::runMainUntil(predicate, timeout);
}

URLRequest requestFor(const std::string& url) {
  return URLRequest(*URL::fromString(url));
}

class URLSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.server().Get("/hello", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("hello, world", "text/plain; charset=utf-8");
    });
    base_ = server_.start();
  }
  void TearDown() override {
    for (auto& gate : gates_)
      gate->open();
    if (session_) session_->invalidateAndCancel();
    if (session_) {
      auto delegate = delegate_;
      runUntil([&] { return delegate->invalidated(); });
    }
    session_.reset();
    server_.stop();
    platform::drainMainQueue();
  }

  std::shared_ptr<URLSession> makeSession(
      URLSessionConfiguration configuration = URLSessionConfiguration::ephemeral()) {
    if (session_) {
      // Task identifiers start again at 1 in a new session: it gets a delegate of its own.
      session_->invalidateAndCancel();
      delegate_ = std::make_shared<RecordingDelegate>();
    }
    session_ = URLSession::make(std::move(configuration), delegate_, nettest::mainDelegateQueue());
    return session_;
  }

  Gate& newGate() {
    gates_.push_back(std::make_unique<Gate>());
    return *gates_.back();
  }

  // Serves `body` at /slow only once the returned gate opens; `slowEntered_` is set as soon as
  // a request is held there.
  Gate& serveSlowly(std::string body) {
    Gate& gate = newGate();
    server_.server().Get("/slow", [this, &gate, body = std::move(body)](const httplib::Request&,
                                                                        httplib::Response& res) {
      slowEntered_.set();
      gate.wait();
      res.set_content(body, "text/plain");
    });
    return gate;
  }

  // Starts a data task on /slow in a fresh session and waits until the server holds it.
  std::shared_ptr<URLSessionTask> startHeldTask() {
    makeSession();
    auto task = session_->dataTask(requestFor(base_ + "/slow"));
    task->resume();
    EXPECT_TRUE(runUntil([&] { return slowEntered_.isSet(); }));
    return task;
  }

  // Runs `request` to completion and returns its record.
  nettest::TaskRecord run(const URLRequest& request) {
    if (!session_) makeSession();
    auto task = session_->dataTask(request);
    task->resume();
    EXPECT_TRUE(runUntil([&] { return delegate_->isComplete(task->taskIdentifier()); }));
    return delegate_->record(task->taskIdentifier());
  }

  TestServer server_;
  std::string base_;
  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
  std::shared_ptr<URLSession> session_;
  std::vector<std::unique_ptr<Gate>> gates_;
  Flag slowEntered_;
};

TEST_F(URLSessionTest, GetDeliversResponseDataMetricsAndCompletionInOrder) {
  makeSession();
  // Asking for no encoding keeps the server from compressing, so the length is the body's.
  auto request = requestFor(base_ + "/hello");
  request.setValueForHTTPHeaderField("identity", "Accept-Encoding");
  auto task = session_->dataTask(request);
  EXPECT_EQ(task->state(), State::suspended);
  EXPECT_EQ(task->taskIdentifier(), 1u);
  task->resume();
  EXPECT_EQ(task->state(), State::running);
  ASSERT_TRUE(runUntil([&] { return delegate_->isComplete(task->taskIdentifier()); }));

  auto record = delegate_->record(task->taskIdentifier());
  EXPECT_EQ(record.events,
            (std::vector<std::string>{"created", "response", "data", "metrics", "complete"}));
  EXPECT_EQ(record.body_text(), "hello, world");
  EXPECT_EQ(record.error, nullptr);
  EXPECT_EQ(record.metricsCount, 1);
  auto http = std::dynamic_pointer_cast<const platform::HTTPURLResponse>(record.response);
  ASSERT_NE(http, nullptr);
  EXPECT_EQ(http->statusCode(), 200);
  EXPECT_EQ(http->mimeType(), "text/plain");
  EXPECT_EQ(http->textEncodingName(), "utf-8");
  EXPECT_EQ(http->expectedContentLength(), 12);
  EXPECT_EQ(http->url().absoluteString(), base_ + "/hello");
  EXPECT_EQ(task->state(), State::completed);
  EXPECT_EQ(task->response(), record.response);
  EXPECT_EQ(task->countOfBytesReceived(), 12);
  EXPECT_EQ(record.metrics.redirectCount, 0);
  ASSERT_EQ(record.metrics.transactionMetrics.size(), 1u);
  EXPECT_EQ(record.metrics.transactionMetrics[0].networkProtocolName, "http/1.1");
  EXPECT_GE(record.metrics.taskInterval.duration, 0.0);
}

TEST_F(URLSessionTest, PostSendsBodyMethodAndHeaders) {
  server_.server().Post("/echo", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(req.method + "|" + req.get_header_value("Content-Type") + "|" +
                        req.get_header_value("X-Custom") + "|" + req.get_header_value("X-Default") +
                        "|" + req.body,
                    "text/plain");
  });
  server_.server().Put("/echo", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(req.method + "|" + req.body, "text/plain");
  });
  auto configuration = URLSessionConfiguration::ephemeral();
  configuration.httpAdditionalHeaders =
      platform::HTTPHeaderFields{{"X-Default", "from-session"}, {"X-Custom", "overridden"}};
  makeSession(configuration);

  auto request = requestFor(base_ + "/echo");
  request.httpMethod = "POST";
  request.setValueForHTTPHeaderField("application/json", "Content-Type");
  request.setValueForHTTPHeaderField("mine", "x-custom");
  request.httpBody = platform::Bytes{'{', '}'};
  EXPECT_EQ(run(request).body_text(), "POST|application/json|mine|from-session|{}");

  auto put = requestFor(base_ + "/echo");
  put.httpMethod = "PUT";
  put.httpBody = platform::Bytes{'a', 'b', 'c'};
  EXPECT_EQ(run(put).body_text(), "PUT|abc");
}

TEST_F(URLSessionTest, RepeatedResponseHeadersAreJoined) {
  server_.server().Get("/multi", [](const httplib::Request&, httplib::Response& res) {
    res.set_header("X-Twice", "one");
    res.set_header("X-Twice", "two");
    res.set_content("", "text/plain");
  });
  auto record = run(requestFor(base_ + "/multi"));
  auto http = std::dynamic_pointer_cast<const platform::HTTPURLResponse>(record.response);
  ASSERT_NE(http, nullptr);
  EXPECT_EQ(http->valueForHTTPHeaderField("x-twice"), "one, two");
}

TEST_F(URLSessionTest, GzipAndDeflateBodiesAreDecodedAndTheAcceptEncodingGoesOutAsSet) {
  std::string seenEncoding;
  std::mutex seenMutex;
  server_.server().Get("/gzip", [&](const httplib::Request& req, httplib::Response& res) {
    {
      std::lock_guard lock(seenMutex);
      seenEncoding = req.get_header_value("Accept-Encoding");
    }
    res.set_header("Content-Encoding", "gzip");
    res.set_content(std::string(kGzipBody.begin(), kGzipBody.end()), "text/plain");
  });
  server_.server().Get("/deflate", [&](const httplib::Request&, httplib::Response& res) {
    res.set_header("Content-Encoding", "deflate");
    res.set_content(std::string(kDeflateBody.begin(), kDeflateBody.end()), "text/plain");
  });
  auto request = requestFor(base_ + "/gzip");
  request.setValueForHTTPHeaderField("br;q=1.0, gzip;q=0.9, deflate;q=0.8", "Accept-Encoding");
  auto record = run(request);
  EXPECT_EQ(record.error, nullptr);
  EXPECT_EQ(record.body_text(), expectedDecodedBody());
  {
    std::lock_guard lock(seenMutex);
    EXPECT_EQ(seenEncoding, "br;q=1.0, gzip;q=0.9, deflate;q=0.8");
  }
  // The announced length is that of the encoded body, which is not what arrives.
  EXPECT_EQ(record.response->expectedContentLength(), -1);

  // Without an explicit Accept-Encoding, decoding is on all the same.
  EXPECT_EQ(run(requestFor(base_ + "/deflate")).body_text(), expectedDecodedBody());
}

TEST_F(URLSessionTest, RedirectsAreFollowedAndReportedOnce) {
  server_.server().Get("/old", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("/hello", 302);
  });
  makeSession();
  auto task = session_->dataTask(requestFor(base_ + "/old"));
  task->resume();
  ASSERT_TRUE(runUntil([&] { return delegate_->isComplete(task->taskIdentifier()); }));
  auto record = delegate_->record(task->taskIdentifier());
  EXPECT_EQ(record.events,
            (std::vector<std::string>{"created", "response", "data", "metrics", "complete"}));
  EXPECT_EQ(record.body_text(), "hello, world");
  EXPECT_EQ(record.response->url().absoluteString(), base_ + "/hello");
  EXPECT_EQ(task->currentRequest()->url->absoluteString(), base_ + "/hello");
  EXPECT_EQ(task->originalRequest()->url->absoluteString(), base_ + "/old");
  EXPECT_EQ(record.metrics.redirectCount, 1);
  ASSERT_EQ(record.metrics.transactionMetrics.size(), 2u);
  auto first = std::dynamic_pointer_cast<const platform::HTTPURLResponse>(
      record.metrics.transactionMetrics[0].response);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->statusCode(), 302);
}

TEST_F(URLSessionTest, EndlessRedirectsFailWithTooManyRedirects) {
  server_.server().Get("/loop", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("/loop", 302);
  });
  auto record = run(requestFor(base_ + "/loop"));
  ASSERT_NE(urlError(record.error), nullptr);
  EXPECT_EQ(urlError(record.error)->code(), URLError::Code::httpTooManyRedirects);
  EXPECT_EQ(record.metricsCount, 1);
}

TEST_F(URLSessionTest, NotFoundIsAResponseNotAnError) {
  auto record = run(requestFor(base_ + "/missing"));
  EXPECT_EQ(record.error, nullptr);
  auto http = std::dynamic_pointer_cast<const platform::HTTPURLResponse>(record.response);
  ASSERT_NE(http, nullptr);
  EXPECT_EQ(http->statusCode(), 404);
}

TEST_F(URLSessionTest, BodilessResponsesStillPassThroughTheDisposition) {
  server_.server().Get("/empty",
                       [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
  auto record = run(requestFor(base_ + "/empty"));
  EXPECT_EQ(record.events,
            (std::vector<std::string>{"created", "response", "metrics", "complete"}));
  EXPECT_EQ(record.error, nullptr);

  auto head = requestFor(base_ + "/hello");
  head.httpMethod = "HEAD";
  auto headRecord = run(head);
  EXPECT_EQ(headRecord.events,
            (std::vector<std::string>{"created", "response", "metrics", "complete"}));
  EXPECT_TRUE(headRecord.body.empty());
}

TEST_F(URLSessionTest, CancellingARunningTaskCompletesWithCancelledAfterMetrics) {
  serveSlowly("late");
  auto task = startHeldTask();
  ASSERT_TRUE(slowEntered_.isSet());
  task->cancel();
  // Canceling at once; completed as soon as the transport has let go.
  EXPECT_TRUE(task->state() == State::canceling || task->state() == State::completed);
  task->cancel();  // a second cancel changes nothing
  task->resume();  // nor does a resume while canceling
  ASSERT_TRUE(runUntil([&] { return delegate_->isComplete(task->taskIdentifier()); }));
  auto record = delegate_->record(task->taskIdentifier());
  EXPECT_EQ(record.events, (std::vector<std::string>{"created", "metrics", "complete"}));
  ASSERT_NE(urlError(record.error), nullptr);
  EXPECT_EQ(urlError(record.error)->errorCode(), -999);
  EXPECT_EQ(task->state(), State::completed);
  EXPECT_EQ(urlError(task->error())->code(), URLError::Code::cancelled);
}

TEST_F(URLSessionTest, CancellingATaskThatNeverStartedStillReportsMetricsAndCompletion) {
  makeSession();
  auto task = session_->dataTask(requestFor(base_ + "/hello"));
  task->cancel();
  ASSERT_TRUE(runUntil([&] { return delegate_->isComplete(task->taskIdentifier()); }));
  auto record = delegate_->record(task->taskIdentifier());
  EXPECT_EQ(record.events, (std::vector<std::string>{"created", "metrics", "complete"}));
  EXPECT_EQ(urlError(record.error)->code(), URLError::Code::cancelled);
  task->resume();
  EXPECT_EQ(task->state(), State::completed);
}

TEST_F(URLSessionTest, TheBodyWaitsForTheDispositionAnswer) {
  Flag served;
  server_.server().Get("/body", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content("payload", "text/plain");
    served.set();
  });
  delegate_->answer = Answer::hold;
  makeSession();
  auto task = session_->dataTask(requestFor(base_ + "/body"));
  task->resume();
  ASSERT_TRUE(
      runUntil([&] { return delegate_->isHolding(task->taskIdentifier()) && served.isSet(); }));
  platform::drainMainQueue();
  // The whole answer is on its way, but nothing passes before the delegate allows it.
  auto before = delegate_->record(task->taskIdentifier());
  EXPECT_EQ(before.events, (std::vector<std::string>{"created", "response"}));
  EXPECT_EQ(task->state(), State::running);

  std::thread([&] { delegate_->release(task->taskIdentifier(), Disposition::allow); }).join();
  ASSERT_TRUE(runUntil([&] { return delegate_->isComplete(task->taskIdentifier()); }));
  auto after = delegate_->record(task->taskIdentifier());
  EXPECT_EQ(after.events,
            (std::vector<std::string>{"created", "response", "data", "metrics", "complete"}));
  EXPECT_EQ(after.body_text(), "payload");
}

// A body of many reads, held back while the answer is awaited, still arrives complete and in
// order once allowed, and nothing is counted before.
TEST_F(URLSessionTest, ALargeBodyHeldForTheAnswerArrivesWholeAfterIt) {
  std::string large;
  for (int i = 0; large.size() < 1024 * 1024; ++i)
    large += std::to_string(i) + ",";
  server_.server().Get("/large", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content(large, "text/plain");
  });
  delegate_->answer = Answer::hold;
  makeSession();
  auto task = session_->dataTask(requestFor(base_ + "/large"));
  task->resume();
  ASSERT_TRUE(runUntil([&] { return delegate_->isHolding(task->taskIdentifier()); }));
  platform::drainMainQueue();
  EXPECT_EQ(delegate_->record(task->taskIdentifier()).events,
            (std::vector<std::string>{"created", "response"}));
  EXPECT_EQ(task->countOfBytesReceived(), 0);

  delegate_->release(task->taskIdentifier(), Disposition::allow);
  ASSERT_TRUE(runUntil([&] { return delegate_->isComplete(task->taskIdentifier()); }));
  auto record = delegate_->record(task->taskIdentifier());
  EXPECT_EQ(record.error, nullptr);
  ASSERT_GE(record.events.size(), 5u);
  EXPECT_EQ(record.events[1], "response");
  EXPECT_EQ(record.events[2], "data");
  EXPECT_EQ(record.events[record.events.size() - 2], "metrics");
  EXPECT_EQ(record.events.back(), "complete");
  EXPECT_TRUE(record.body_text() == large);
  EXPECT_EQ(task->countOfBytesReceived(), static_cast<std::int64_t>(large.size()));
}

// Part of a body may be taken while the answer is awaited (up to a bound); whatever the
// size, however late the answer and whether the task is suspended when it comes, the delegate
// sees no byte before `allow`, all of them in order after it, and none after `cancel`. A
// transfer cut short fails after the bytes that came, as it would have had the body waited on
// the connection.
TEST_F(URLSessionTest, TheDispositionDecidesOnBodiesBelowAndAboveTheHeldBound) {
  struct Row {
    const char* name;
    std::size_t size;
    Disposition disposition;
    bool suspendedAtAnswer;
    std::size_t cutAfter;  // the server breaks off after so many bytes; 0: it does not
  };
  const Row rows[] = {
      {"small, allowed", 7, Disposition::allow, false, 0},
      {"small, cancelled", 7, Disposition::cancel, false, 0},
      {"small, allowed while suspended", 7, Disposition::allow, true, 0},
      {"just under the bound, allowed", 60 * 1024, Disposition::allow, false, 0},
      {"above the bound, allowed", 300 * 1024, Disposition::allow, false, 0},
      {"above the bound, cancelled", 300 * 1024, Disposition::cancel, false, 0},
      {"above the bound, allowed while suspended", 300 * 1024, Disposition::allow, true, 0},
      {"cut short, allowed", 5000, Disposition::allow, false, 1000},
      {"cut short, cancelled", 5000, Disposition::cancel, false, 1000},
  };
  server_.server().Get(
      R"(/sized/(\d+)/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
        const auto size = std::stoul(req.matches[1]);
        const auto cut = std::stoul(req.matches[2]);
        auto body = std::make_shared<std::string>(testsupport::patternedText(size));
        res.set_content_provider(
            size, "application/octet-stream",
            [body, cut](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
              if (cut > 0 && offset >= cut) return false;
              std::size_t piece = std::min<std::size_t>(length, 16384);
              if (cut > 0) piece = std::min(piece, cut - offset);
              return sink.write(body->data() + offset, piece);
            });
      });
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    makeSession();
    delegate_->answer = Answer::hold;
    auto task = session_->dataTask(requestFor(base_ + "/sized/" + std::to_string(row.size) + "/" +
                                              std::to_string(row.cutAfter)));
    task->resume();
    ASSERT_TRUE(runUntil([&] { return delegate_->isHolding(task->taskIdentifier()); }));
    // A second task run to its end: the I/O thread took what it could of the first meanwhile.
    delegate_->answer = Answer::allow;
    run(requestFor(base_ + "/hello"));
    EXPECT_EQ(delegate_->record(task->taskIdentifier()).events,
              (std::vector<std::string>{"created", "response"}));
    EXPECT_EQ(task->countOfBytesReceived(), 0);

    if (row.suspendedAtAnswer) task->suspend();
    delegate_->release(task->taskIdentifier(), row.disposition);
    if (row.suspendedAtAnswer) {
      run(requestFor(base_ + "/hello"));
      EXPECT_EQ(delegate_->record(task->taskIdentifier()).events,
                (std::vector<std::string>{"created", "response"}));
      task->resume();
    }
    ASSERT_TRUE(runUntil([&] { return delegate_->isComplete(task->taskIdentifier()); }));
    const auto record = delegate_->record(task->taskIdentifier());
    if (row.disposition == Disposition::cancel) {
      EXPECT_EQ(record.events,
                (std::vector<std::string>{"created", "response", "metrics", "complete"}));
      ASSERT_NE(urlError(record.error), nullptr);
      EXPECT_EQ(urlError(record.error)->code(), URLError::Code::cancelled);
      continue;
    }
    const std::size_t expected = row.cutAfter > 0 ? row.cutAfter : row.size;
    EXPECT_TRUE(testsupport::sameBody(record.body_text(),
                                      testsupport::patternedText(row.size).substr(0, expected)));
    EXPECT_EQ(task->countOfBytesReceived(), static_cast<std::int64_t>(expected));
    ASSERT_GE(record.events.size(), 5u);
    EXPECT_EQ(record.events[2], "data");
    EXPECT_EQ(record.events[record.events.size() - 2], "metrics");
    if (row.cutAfter > 0) {
      ASSERT_NE(urlError(record.error), nullptr);
      EXPECT_EQ(urlError(record.error)->code(), URLError::Code::networkConnectionLost);
    } else {
      EXPECT_EQ(record.error, nullptr);
    }
  }
}

TEST_F(URLSessionTest, ADispositionOfCancelEndsTheTaskWithoutBody) {
  delegate_->answer = Answer::cancel;
  auto record = run(requestFor(base_ + "/hello"));
  EXPECT_EQ(record.events,
            (std::vector<std::string>{"created", "response", "metrics", "complete"}));
  ASSERT_NE(urlError(record.error), nullptr);
  EXPECT_EQ(urlError(record.error)->code(), URLError::Code::cancelled);
  EXPECT_TRUE(record.body.empty());
}

TEST_F(URLSessionTest, ADispositionHandlerDroppedUnansweredCancelsInsteadOfStalling) {
  delegate_->answer = Answer::drop;
  auto record = run(requestFor(base_ + "/hello"));
  ASSERT_NE(urlError(record.error), nullptr);
  EXPECT_EQ(urlError(record.error)->code(), URLError::Code::cancelled);
}

// Answers each connection's one request with the whole response in a single write, then closes
// it. `respond` maps the request's path to the response's bytes.
class OneWriteServer {
 public:
  explicit OneWriteServer(std::function<std::string(const std::string&)> respond)
      : respond_(std::move(respond)) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener_, 16) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ADD_FAILURE() << "cannot listen on 127.0.0.1";
      return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~OneWriteServer() {
    ::shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
  }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  void serve() {
    for (;;) {
      const int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) return;
      std::string request;
      char buffer[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t got = recv(connection, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        request.append(buffer, static_cast<std::size_t>(got));
      }
      const auto start = request.find(' ') + 1;
      const std::string response =
          respond_(request.substr(start, request.find(' ', start) - start));
      EXPECT_EQ(send(connection, response.data(), response.size(), MSG_NOSIGNAL),
                static_cast<ssize_t>(response.size()));
      ::close(connection);
    }
  }

  std::function<std::string(const std::string&)> respond_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

// A response that has arrived whole and is allowed during the delegate's own call ends the task
// in that same delegate-queue operation: what the delegate queued meanwhile comes after the
// completion. Anything else (a later answer, a cancel, a suspension, cancel or receive hold
// taken during the call, a body still arriving) goes through the I/O thread, after it, in the
// order it always had.
TEST_F(URLSessionTest, AWholeResponseAllowedDuringTheCallEndsTheTaskRightAfterIt) {
  enum class InCall {
    allow,
    answerLater,
    cancel,
    suspendThenAllow,
    cancelThenAllow,
    holdThenAllow
  };
  struct Row {
    const char* name;
    InCall inCall;
    std::size_t bodySize;
    bool cache;  // the session has a URL cache, and the response may be stored
    std::vector<std::string> events;
  };
  const Row rows[] = {
      {"allowed", InCall::allow, 12, false, {"response", "data", "metrics", "complete", "marker"}},
      {"allowed, stored in the cache",
       InCall::allow,
       12,
       true,
       {"response", "data", "cache", "metrics", "complete", "marker"}},
      {"answered after the call",
       InCall::answerLater,
       12,
       true,
       {"response", "marker", "data", "cache", "metrics", "complete"}},
      {"cancelled", InCall::cancel, 12, false, {"response", "marker", "metrics", "cancelled"}},
      {"suspended, then allowed",
       InCall::suspendThenAllow,
       12,
       false,
       {"response", "marker", "data", "metrics", "complete"}},
      {"cancelled, then allowed",
       InCall::cancelThenAllow,
       12,
       false,
       {"response", "marker", "metrics", "cancelled"}},
      {"held, then allowed",
       InCall::holdThenAllow,
       12,
       false,
       {"response", "marker", "data", "metrics", "complete"}},
      {"a body past what is taken before the answer",
       InCall::allow,
       300 * 1024,
       false,
       {"response", "marker", "data", "metrics", "complete"}},
  };
  // The whole response goes out in one write, so the session reads it in one turn, as it does a
  // small answer of a nearby server: whether the task may end in place depends on the row alone.
  OneWriteServer server([](const std::string& path) {
    const std::string body =
        testsupport::patternedText(std::stoul(path.substr(path.rfind('/') + 1)));
    return "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nCache-Control: max-age=600\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  });

  // Records events of one task in order; the delegate queue runs on this thread.
  class Delegate : public platform::URLSessionDelegate {
   public:
    InCall inCall = InCall::allow;
    std::vector<std::string> events;
    std::string body;
    bool done = false;

    void didReceiveResponse(const SessionPtr& session, const DataTaskPtr& task,
                            const platform::URLResponsePtr&,
                            std::function<void(Disposition)> handler) override {
      events.push_back("response");
      // Queued behind this call: it runs before the task ends unless the task ends in this
      // very operation.
      session->delegateQueue()->addOperation([this, task, handler] {
        events.push_back("marker");
        if (inCall == InCall::answerLater) handler(Disposition::allow);
        if (inCall == InCall::suspendThenAllow) task->resume();
        if (inCall == InCall::holdThenAllow) task->releaseReceiving();
      });
      switch (inCall) {
        case InCall::allow:
          return handler(Disposition::allow);
        case InCall::answerLater:
          return;
        case InCall::cancel:
          return handler(Disposition::cancel);
        case InCall::suspendThenAllow:
          task->suspend();
          return handler(Disposition::allow);
        case InCall::cancelThenAllow:
          task->cancel();
          return handler(Disposition::allow);
        case InCall::holdThenAllow:
          task->holdReceiving();
          return handler(Disposition::allow);
      }
    }
    void didReceiveData(const SessionPtr&, const DataTaskPtr&,
                        const platform::Bytes& data) override {
      if (events.back() != "data") events.push_back("data");
      body.append(data.begin(), data.end());
    }
    void willCacheResponse(const SessionPtr& session, const DataTaskPtr& task,
                           const platform::CachedURLResponsePtr& proposed,
                           std::function<void(platform::CachedURLResponsePtr)> handler) override {
      events.push_back("cache");
      URLSessionDelegate::willCacheResponse(session, task, proposed, std::move(handler));
    }
    void didFinishCollectingMetrics(const SessionPtr&, const TaskPtr&,
                                    const platform::URLSessionTaskMetrics&) override {
      events.push_back("metrics");
    }
    void didCompleteWithError(const SessionPtr&, const TaskPtr&,
                              platform::ErrorPtr error) override {
      events.push_back(error ? "cancelled" : "complete");
      done = true;
    }
  };

  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto delegate = std::make_shared<Delegate>();
    delegate->inCall = row.inCall;
    auto configuration = URLSessionConfiguration::ephemeral();
    if (!row.cache) configuration.urlCache = nullptr;
    auto cache = configuration.urlCache;
    auto session = URLSession::make(configuration, delegate, nettest::mainDelegateQueue());
    const auto request = requestFor(server.base() + "/whole/" + std::to_string(row.bodySize));
    auto task = session->dataTask(request);
    task->resume();
    ASSERT_TRUE(runUntil([&] { return delegate->done; }));
    platform::drainMainQueue();
    EXPECT_EQ(delegate->events, row.events);
    const bool allowed = row.events.back() != "cancelled";
    EXPECT_EQ(task->state(), State::completed);
    EXPECT_EQ(task->countOfBytesReceived(), allowed ? std::int64_t(row.bodySize) : 0);
    if (allowed) {
      EXPECT_TRUE(testsupport::sameBody(delegate->body, testsupport::patternedText(row.bodySize)));
    }
    if (cache) {
      EXPECT_EQ(cache->cachedResponse(request) != nullptr, allowed);
    }
    session->finishTasksAndInvalidate();
  }
}

TEST_F(URLSessionTest, ASuspendedTaskMovesNoBytesUntilResumed) {
  Flag served;
  server_.server().Get("/body", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content("resumed payload", "text/plain");
    served.set();
  });
  makeSession();
  auto task = session_->dataTask(requestFor(base_ + "/body"));
  task->suspend();  // not running yet: nothing happens
  EXPECT_EQ(task->state(), State::suspended);
  // Suspended while the response is being answered: the suspension is in place before the
  // answer lets the body through.
  delegate_->onResponse = [](const platform::URLSessionDelegate::TaskPtr& t) { t->suspend(); };
  task->resume();
  ASSERT_TRUE(runUntil([&] {
    return served.isSet() && delegate_->record(task->taskIdentifier()).response != nullptr;
  }));
  platform::drainMainQueue();
  EXPECT_EQ(task->state(), State::suspended);
  EXPECT_EQ(delegate_->record(task->taskIdentifier()).events,
            (std::vector<std::string>{"created", "response"}));

  delegate_->onResponse = nullptr;
  task->resume();
  ASSERT_TRUE(runUntil([&] { return delegate_->isComplete(task->taskIdentifier()); }));
  auto record = delegate_->record(task->taskIdentifier());
  EXPECT_EQ(record.body_text(), "resumed payload");
  EXPECT_EQ(record.error, nullptr);
}

TEST_F(URLSessionTest, AnIdleTransferTimesOutAfterTheRequestInterval) {
  Gate& gate = newGate();
  server_.server().Get("/stall", [&](const httplib::Request&, httplib::Response& res) {
    gate.wait();
    res.set_content("too late", "text/plain");
  });
  auto request = requestFor(base_ + "/stall");
  request.timeoutInterval = 0.3;
  auto record = run(request);
  ASSERT_NE(urlError(record.error), nullptr);
  EXPECT_EQ(urlError(record.error)->errorCode(), -1001);
  EXPECT_EQ(record.events, (std::vector<std::string>{"created", "metrics", "complete"}));
  EXPECT_EQ(urlError(record.error)->failingURL()->absoluteString(), base_ + "/stall");
}

TEST_F(URLSessionTest, TheConfigurationTimeoutAppliesWhenItIsShorter) {
  Gate& gate = newGate();
  server_.server().Get("/stall", [&](const httplib::Request&, httplib::Response& res) {
    gate.wait();
    res.set_content("too late", "text/plain");
  });
  auto configuration = URLSessionConfiguration::ephemeral();
  configuration.timeoutIntervalForRequest = 0.3;
  makeSession(configuration);
  auto record = run(requestFor(base_ + "/stall"));  // the request itself allows 60 s
  EXPECT_EQ(urlError(record.error)->code(), URLError::Code::timedOut);
}

TEST_F(URLSessionTest, BodiesAreBoundedAsTheyArriveAndSlowTransfersFail) {
  server_.server().Get("/big", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(std::string(5000, 'a'), "text/plain");
  });
  server_.server().Get("/fits", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(std::string(1000, 'a'), "text/plain");
  });
  // One byte every 50 ms, until the client goes away (or ten seconds passed).
  server_.server().Get("/drip", [](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("text/plain", [](std::size_t offset, httplib::DataSink& sink) {
      if (offset >= 200) {
        sink.done();
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      return sink.write("x", 1);
    });
  });
  struct Row {
    const char* path;
    const char* acceptEncoding;  // "identity": the server sends the body as it is
    std::int64_t maximum;
    std::int64_t minimumRate;
    std::optional<URLError::Code> failure;
  };
  const Row rows[] = {
      {"/big", "identity", 1000, 0, URLError::Code::dataLengthExceedsMaximum},
      // Compressed to a few bytes on the wire, 5000 once decoded.
      {"/big", "gzip", 1000, 0, URLError::Code::dataLengthExceedsMaximum},
      {"/fits", "gzip", 1000, 0, std::nullopt},
      {"/big", "identity", 0, 0, std::nullopt},
      {"/drip", "identity", 0, 1024, URLError::Code::timedOut},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.path) + " " + row.acceptEncoding);
    auto configuration = URLSessionConfiguration::ephemeral();
    configuration.maximumBodyBytes = row.maximum;
    configuration.minimumBytesPerSecond = row.minimumRate;
    configuration.lowSpeedSeconds = 1;
    makeSession(configuration);
    auto request = requestFor(base_ + row.path);
    request.setValueForHTTPHeaderField(row.acceptEncoding, "Accept-Encoding");
    const auto record = run(request);
    if (row.failure) {
      ASSERT_NE(urlError(record.error), nullptr);
      EXPECT_EQ(urlError(record.error)->code(), *row.failure);
      EXPECT_LE(std::int64_t(record.body.size()), row.maximum > 0 ? row.maximum : 200);
    } else {
      EXPECT_EQ(record.error, nullptr);
    }
  }
}

TEST_F(URLSessionTest, OnlyTheRequestsOwnAcceptFieldIsSent) {
  server_.server().Get("/accept", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(req.has_header("Accept") ? "[" + req.get_header_value("Accept") + "]" : "none",
                    "text/plain");
  });
  makeSession();
  EXPECT_EQ(run(requestFor(base_ + "/accept")).body_text(), "none");
  auto typed = requestFor(base_ + "/accept");
  typed.setValueForHTTPHeaderField("application/json", "Accept");
  EXPECT_EQ(run(typed).body_text(), "[application/json]");
}

TEST_F(URLSessionTest, ARefusedConnectionFailsWithCannotConnectToHost) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  int port = ntohs(address.sin_port);
  ::close(fd);  // bound but never listening: nobody answers on that port now

  auto record = run(requestFor("http://127.0.0.1:" + std::to_string(port) + "/"));
  ASSERT_NE(urlError(record.error), nullptr);
  EXPECT_EQ(urlError(record.error)->code(), URLError::Code::cannotConnectToHost);
  EXPECT_EQ(record.metricsCount, 1);

  // Waiting for connectivity tells the delegate once and keeps trying until the resource
  // time-out.
  auto configuration = URLSessionConfiguration::ephemeral();
  configuration.waitsForConnectivity = true;
  configuration.timeoutIntervalForResource = 1.5;
  makeSession(configuration);
  auto waited = run(requestFor("http://127.0.0.1:" + std::to_string(port) + "/"));
  EXPECT_TRUE(waited.waiting);
  EXPECT_EQ(std::count(waited.events.begin(), waited.events.end(), "waiting"), 1);
  EXPECT_EQ(urlError(waited.error)->code(), URLError::Code::timedOut);
}

TEST_F(URLSessionTest, UnsupportedSchemesAndMissingURLsFailWithoutTouchingTheNetwork) {
  auto record = run(requestFor("ftp://127.0.0.1/file"));
  EXPECT_EQ(urlError(record.error)->code(), URLError::Code::unsupportedURL);
  EXPECT_EQ(record.events, (std::vector<std::string>{"created", "metrics", "complete"}));
  EXPECT_EQ(urlError(run(URLRequest()).error)->code(), URLError::Code::badURL);
  auto cacheOnly = requestFor(base_ + "/hello");
  cacheOnly.cachePolicy = URLRequest::CachePolicy::returnCacheDataDontLoad;
  EXPECT_EQ(urlError(run(cacheOnly).error)->code(), URLError::Code::resourceUnavailable);
}

// What goes out: the request's fields, then the session's where the request has none of that
// name (in any case). A name that is no token, or a value with a line break, refuses the
// task, from either list.
TEST_F(URLSessionTest, HeaderFieldsGoOutFromRequestAndSessionOrAreRefused) {
  server_.server().Get("/fields", [](const httplib::Request& req, httplib::Response& res) {
    std::string seen;
    for (const char* name : {"X-Value", "X~Value", "Accept"}) {
      seen += std::to_string(req.get_header_value_count(name)) + ":" +
              req.get_header_value(name) + "|";
    }
    res.set_content(seen, "text/plain");
  });
  using Fields = std::vector<std::pair<std::string, std::string>>;
  struct Row {
    const char* name;
    Fields own;         // the request's
    Fields additional;  // the session's
    std::optional<std::string> seen;  // none: refused
  };
  const Row rows[] = {
      {"nothing", {}, {}, "0:|0:|0:|"},
      {"the request's own", {{"X-Value", "a"}}, {}, "1:a|0:|0:|"},
      {"a token character", {{"X~Value", "t"}}, {}, "0:|1:t|0:|"},
      {"the session's", {}, {{"X-Value", "s"}, {"Accept", "text/x"}}, "1:s|0:|1:text/x|"},
      {"the request's first, in any case",
       {{"x-value", "own"}, {"accept", "a/b"}},
       {{"X-Value", "session"}, {"Accept", "text/x"}},
       "1:own|0:|1:a/b|"},
      {"a line break in a value", {{"X-Value", "a\r\nX-Injected: yes"}}, {}, std::nullopt},
      {"a space in a name", {{"X Value", "a"}}, {}, std::nullopt},
      {"a separator in a name", {{"X@Value", "a"}}, {}, std::nullopt},
      {"a brace in a name", {{"X{", "a"}}, {}, std::nullopt},
      {"a control in a name", {{"X\x01", "a"}}, {}, std::nullopt},
      {"a byte outside ASCII in a name", {{"X-V\xC3\xA4lue", "a"}}, {}, std::nullopt},
      {"a bad name from the session", {}, {{"X Bad", "a"}}, std::nullopt},
      {"a bad value from the session", {}, {{"X-Value", "a\nb"}}, std::nullopt},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto configuration = URLSessionConfiguration::ephemeral();
    if (!row.additional.empty()) {
      configuration.httpAdditionalHeaders = HTTPHeaderFields(row.additional);
    }
    makeSession(configuration);
    auto request = requestFor(base_ + "/fields");
    for (const auto& [name, value] : row.own)
      request.setValueForHTTPHeaderField(value, name);
    auto record = run(request);
    if (!row.seen) {
      ASSERT_NE(urlError(record.error), nullptr);
      EXPECT_EQ(urlError(record.error)->code(), URLError::Code::badURL);
      EXPECT_EQ(record.response, nullptr);
      continue;
    }
    ASSERT_EQ(record.error, nullptr);
    EXPECT_EQ(record.body_text(), *row.seen);
  }
}

TEST_F(URLSessionTest, ManyConcurrentTasksEachSeeTheirCallbacksInOrderAndMetricsOnce) {
  server_.server().Get(R"(/n/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(std::string(1000 + std::stoi(req.matches[1]), 'x'), "text/plain");
  });
  auto configuration = URLSessionConfiguration::ephemeral();
  configuration.httpMaximumConnectionsPerHost = 8;
  makeSession(configuration);
  std::vector<std::shared_ptr<platform::URLSessionDataTask>> tasks;
  for (int i = 0; i < 40; ++i) {
    tasks.push_back(session_->dataTask(requestFor(base_ + "/n/" + std::to_string(i))));
  }
  for (auto& task : tasks)
    task->resume();
  ASSERT_TRUE(runUntil([&] {
    return std::all_of(tasks.begin(), tasks.end(),
                       [&](auto& t) { return delegate_->isComplete(t->taskIdentifier()); });
  }));
  for (std::size_t i = 0; i < tasks.size(); ++i) {
    auto record = delegate_->record(tasks[i]->taskIdentifier());
    EXPECT_EQ(record.events,
              (std::vector<std::string>{"created", "response", "data", "metrics", "complete"}))
        << "task " << i;
    EXPECT_EQ(record.body.size(), 1000 + i);
    EXPECT_EQ(record.metricsCount, 1);
  }
}

// Many tasks at once may run on more than one I/O thread: the host's connection bound holds
// for the session as a whole and is reached, cookies one response set go with every later
// request, and the invalidation still comes after every task's completion.
TEST_F(URLSessionTest, ABusySessionKeepsItsHostBoundCookiesAndInvalidationOrder) {
  server_.server().Get("/set", [](const httplib::Request&, httplib::Response& res) {
    res.set_header("Set-Cookie", "flavour=oat; Path=/");
    res.set_content("set", "text/plain");
  });
  // Each request waits until the batch it arrived in is full (or a few seconds pass), so the
  // most the server holds at once is what the session lets run together.
  std::mutex mutex;
  std::condition_variable arrivedMore;
  int batch = 0, arrived = 0, inFlight = 0, most = 0;
  server_.server().Get("/together", [&](const httplib::Request& req, httplib::Response& res) {
    std::unique_lock lock(mutex);
    const int target = (arrived / batch + 1) * batch;
    ++arrived;
    most = std::max(most, ++inFlight);
    arrivedMore.notify_all();
    arrivedMore.wait_for(lock, std::chrono::seconds(5), [&] { return arrived >= target; });
    --inFlight;
    res.set_content(req.get_header_value("Cookie"), "text/plain");
  });
  for (int bound : {2, 4, 5, 6}) {
    SCOPED_TRACE(bound);
    {
      std::lock_guard lock(mutex);
      batch = bound;
      arrived = inFlight = most = 0;
    }
    auto configuration = URLSessionConfiguration::ephemeral();
    configuration.httpMaximumConnectionsPerHost = bound;
    makeSession(configuration);
    ASSERT_EQ(run(requestFor(base_ + "/set")).body_text(), "set");
    std::vector<std::shared_ptr<platform::URLSessionDataTask>> tasks;
    for (int i = 0; i < 3 * bound; ++i)
      tasks.push_back(session_->dataTask(requestFor(base_ + "/together")));
    for (auto& task : tasks)
      task->resume();
    session_->finishTasksAndInvalidate();
    ASSERT_TRUE(runUntil([&] { return delegate_->invalidated(); }, 30));
    {
      std::lock_guard lock(mutex);
      EXPECT_EQ(most, bound);
    }
    for (auto& task : tasks) {
      auto record = delegate_->record(task->taskIdentifier());
      EXPECT_EQ(record.error, nullptr);
      EXPECT_EQ(record.body_text(), "flavour=oat");
    }
    auto events = delegate_->sessionEvents();
    ASSERT_EQ(events.size(), tasks.size() + 2);
    EXPECT_EQ(std::count(events.begin(), events.end(), "complete"), 3 * bound + 1);
    EXPECT_EQ(events.back(), "invalid");
  }
}

TEST_F(URLSessionTest, CookiesAreKeptPerSessionUnlessTheRequestOptsOut) {
  server_.server().Get("/set", [](const httplib::Request&, httplib::Response& res) {
    res.set_header("Set-Cookie", "flavour=oat; Path=/");
    res.set_content("set", "text/plain");
  });
  server_.server().Get("/get", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(req.get_header_value("Cookie"), "text/plain");
  });
  run(requestFor(base_ + "/set"));
  EXPECT_EQ(run(requestFor(base_ + "/get")).body_text(), "flavour=oat");
  auto optOut = requestFor(base_ + "/get");
  optOut.httpShouldHandleCookies = false;
  EXPECT_EQ(run(optOut).body_text(), "");

  auto configuration = URLSessionConfiguration::ephemeral();
  configuration.httpCookieAcceptPolicy = platform::HTTPCookieAcceptPolicy::never;
  makeSession(configuration);
  run(requestFor(base_ + "/set"));
  EXPECT_EQ(run(requestFor(base_ + "/get")).body_text(), "");
}

TEST_F(URLSessionTest, InvalidateAndCancelEndsEveryTaskThenReportsInvalidationLast) {
  serveSlowly("late");
  makeSession();
  auto running = session_->dataTask(requestFor(base_ + "/slow"));
  auto idle = session_->dataTask(requestFor(base_ + "/hello"));
  running->resume();
  ASSERT_TRUE(runUntil([&] { return slowEntered_.isSet(); }));

  std::vector<std::shared_ptr<URLSessionTask>> listed;
  bool listedDone = false;
  session_->getAllTasks([&](std::vector<std::shared_ptr<URLSessionTask>> tasks) {
    listed = std::move(tasks);
    listedDone = true;
  });
  ASSERT_TRUE(runUntil([&] { return listedDone; }));
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0], running);

  session_->invalidateAndCancel();
  ASSERT_TRUE(runUntil([&] { return delegate_->invalidated(); }));
  EXPECT_EQ(delegate_->sessionEvents(),
            (std::vector<std::string>{"complete", "complete", "invalid"}));
  EXPECT_EQ(urlError(delegate_->record(running->taskIdentifier()).error)->code(),
            URLError::Code::cancelled);
  EXPECT_EQ(urlError(delegate_->record(idle->taskIdentifier()).error)->code(),
            URLError::Code::cancelled);
  EXPECT_EQ(session_->delegate(), nullptr);

  // An invalidated session makes tasks that never reach the network.
  auto late = session_->dataTask(requestFor(base_ + "/hello"));
  late->resume();
  EXPECT_EQ(late->state(), State::completed);
  EXPECT_EQ(urlError(late->error())->code(), URLError::Code::cancelled);
}

TEST_F(URLSessionTest, FinishTasksAndInvalidateLetsRunningTasksFinish) {
  Gate& gate = serveSlowly("finished");
  auto task = startHeldTask();
  ASSERT_TRUE(slowEntered_.isSet());
  session_->finishTasksAndInvalidate();
  gate.open();
  ASSERT_TRUE(runUntil([&] { return delegate_->invalidated(); }));
  auto record = delegate_->record(task->taskIdentifier());
  EXPECT_EQ(record.error, nullptr);
  EXPECT_EQ(record.body_text(), "finished");
}

TEST_F(URLSessionTest, ARunningTaskKeepsItsSessionAliveUntilItCompletes) {
  Gate& gate = serveSlowly("kept");
  auto session = URLSession::make(URLSessionConfiguration::ephemeral(), delegate_,
                                  nettest::mainDelegateQueue());
  std::weak_ptr<URLSession> weak = session;
  auto task = session->dataTask(requestFor(base_ + "/slow"));
  task->resume();
  session.reset();
  ASSERT_TRUE(runUntil([&] { return slowEntered_.isSet(); }));
  EXPECT_FALSE(weak.expired());
  gate.open();
  ASSERT_TRUE(runUntil([&] { return delegate_->isComplete(task->taskIdentifier()); }));
  EXPECT_EQ(delegate_->record(task->taskIdentifier()).body_text(), "kept");
  ASSERT_TRUE(runUntil([&] { return weak.expired(); }));
}

TEST_F(URLSessionTest, HTTPSServersMustBeTrustedByTheSystemStore) {
  nettest::SelfSignedCertificate certificate;
  httplib::SSLServer tls(certificate.certificatePath.c_str(), certificate.keyPath.c_str());
  ASSERT_TRUE(tls.is_valid());
  tls.Get("/secret", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("must not arrive", "text/plain");
  });
  int port = tls.bind_to_any_port("127.0.0.1");
  std::thread thread([&] { tls.listen_after_bind(); });
  while (!tls.is_running())
    std::this_thread::yield();

  auto record = run(requestFor("https://127.0.0.1:" + std::to_string(port) + "/secret"));
  tls.stop();
  thread.join();
  ASSERT_NE(urlError(record.error), nullptr);
  EXPECT_EQ(urlError(record.error)->code(), URLError::Code::serverCertificateHasUnknownRoot)
      << urlError(record.error)->debugDescription();
  EXPECT_EQ(record.response, nullptr);
  EXPECT_TRUE(record.body.empty());
}

TEST_F(URLSessionTest, WithoutADelegateTasksStillRunAndRecordTheirOutcome) {
  auto session = URLSession::make(URLSessionConfiguration::ephemeral());
  auto task = session->dataTask(requestFor(base_ + "/hello"));
  task->resume();
  ASSERT_TRUE(runUntil([&] { return task->state() == State::completed; }));
  EXPECT_EQ(task->error(), nullptr);
  EXPECT_EQ(task->countOfBytesReceived(), 12);
  session->invalidateAndCancel();
}

}  // namespace
