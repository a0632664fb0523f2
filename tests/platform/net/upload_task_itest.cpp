// Upload tasks against an HTTP server on 127.0.0.1 that checks what it received.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>

#include "platform/dispatch/main_queue.h"
#include "platform/net/support/test_server.h"
#include "platform/net/support/transfer_delegate.h"
#include "platform/net/url_error.h"
#include "platform/net/url_session.h"
#include "support/test_files.h"

namespace {

using nettest::TestServer;
using nettest::TransferDelegate;
using nettest::urlError;
using platform::Bytes;
using platform::URL;
using platform::URLError;
using platform::URLRequest;
using platform::URLSession;
using testsupport::patternedText;
using testsupport::sameBody;

// What the server saw of the last request.
struct Received {
  std::string method;
  std::string body;
  std::optional<std::string> contentLength;
  std::optional<std::string> transferEncoding;
  bool expect = false;
};

// A stream that hands out its bytes a few at a time, as a pipe or a generator would.
class TrickleStream : public platform::InputStream {
 public:
  explicit TrickleStream(std::string text, std::size_t piece = 7)
      : text_(std::move(text)), piece_(piece) {}

 protected:
  std::size_t doRead(std::uint8_t* buffer, std::size_t maxLength) override {
    const std::size_t count = std::min({maxLength, piece_, text_.size() - offset_});
    std::copy_n(text_.data() + offset_, count, buffer);
    offset_ += count;
    return count;
  }

 private:
  std::string text_;
  std::size_t piece_;
  std::size_t offset_ = 0;
};

// A stream that fails after its first bytes.
class FailingStream : public platform::InputStream {
 protected:
  std::size_t doRead(std::uint8_t* buffer, std::size_t maxLength) override {
    if (served_) throw platform::StreamError(EIO, "the source broke");
    served_ = true;
    buffer[0] = 'x';
    return std::min<std::size_t>(maxLength, 1);
  }

 private:
  bool served_ = false;
};

class UploadTaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto record = [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard lock(mutex_);
      received_.method = req.method;
      received_.body = req.body;
      received_.contentLength = optionalHeader(req, "Content-Length");
      received_.transferEncoding = optionalHeader(req, "Transfer-Encoding");
      received_.expect = req.has_header("Expect");
      res.set_content("got " + std::to_string(req.body.size()), "text/plain");
    };
    server_.server().Post("/echo", record);
    server_.server().Put("/echo", record);
    server_.server().Post("/moved", [](const httplib::Request&, httplib::Response& res) {
      res.status = 307;
      res.set_header("Location", "/echo");
    });
    base_ = server_.start();
    session_ = URLSession::make(platform::URLSessionConfiguration::ephemeral(), delegate_,
                                nettest::mainDelegateQueue());
    ASSERT_TRUE(directory_.create("upload-test"));
  }
  void TearDown() override {
    session_->invalidateAndCancel();
    platform::runMainUntil([&] { return delegate_->invalidated(); }, 10);
    session_.reset();
    server_.stop();
    directory_.remove();
    platform::drainMainQueue();
  }

  static std::optional<std::string> optionalHeader(const httplib::Request& req, const char* name) {
    if (!req.has_header(name)) return std::nullopt;
    return req.get_header_value(name);
  }

  URLRequest post(const std::string& path, const std::string& method = "POST") {
    URLRequest request(*URL::fromString(base_ + path));
    request.httpMethod = method;
    return request;
  }

  template <class Task>
  nettest::TaskRecord run(const std::shared_ptr<Task>& task) {
    task->resume();
    EXPECT_TRUE(
        platform::runMainUntil([&] { return delegate_->isComplete(task->taskIdentifier()); }, 20));
    return delegate_->record(task->taskIdentifier());
  }

  Received received() {
    std::lock_guard lock(mutex_);
    return received_;
  }

  TestServer server_;
  std::string base_;
  testsupport::TemporaryDirectory directory_;
  std::shared_ptr<TransferDelegate> delegate_ = std::make_shared<TransferDelegate>();
  std::shared_ptr<URLSession> session_;
  std::mutex mutex_;
  Received received_;
};

TEST_F(UploadTaskTest, DataBodyGoesOutWithItsLengthAndReportsEveryByteSentBeforeTheResponse) {
  const std::string body = patternedText(200000);
  auto request = post("/echo", "PUT");
  request.httpBody = Bytes{'i', 'g', 'n', 'o', 'r', 'e', 'd'};  // the upload's body wins
  auto task = session_->uploadTask(request, Bytes(body.begin(), body.end()));
  EXPECT_EQ(task->kind(), platform::URLSessionTask::Kind::upload);
  const auto record = run(task);
  ASSERT_EQ(record.error, nullptr);
  ASSERT_NE(record.response, nullptr);
  EXPECT_EQ(dynamic_cast<const platform::HTTPURLResponse&>(*record.response).statusCode(), 200);
  EXPECT_EQ(record.body_text(), "got 200000");

  const auto seen = received();
  EXPECT_EQ(seen.method, "PUT");
  EXPECT_TRUE(sameBody(seen.body, body));
  EXPECT_EQ(seen.contentLength, "200000");
  EXPECT_FALSE(seen.expect);
  EXPECT_FALSE(seen.transferEncoding);

  const auto transfer = delegate_->transfer(task->taskIdentifier());
  ASSERT_FALSE(transfer.sent.empty());
  std::int64_t sum = 0;
  for (const auto& report : transfer.sent) {
    sum += report.step;
    EXPECT_EQ(report.total, sum);
    EXPECT_EQ(report.expected, 200000);
  }
  EXPECT_EQ(sum, 200000);
  EXPECT_EQ(task->countOfBytesSent(), 200000);
  EXPECT_EQ(task->countOfBytesExpectedToSend(), 200000);
  // Sending is told in full before the answer arrives.
  EXPECT_EQ(transfer.sentBeforeResponse, 200000);
}

TEST_F(UploadTaskTest, FileBodyIsReadWhenTheTaskStarts) {
  const std::string body = patternedText(150000);
  const std::string path = directory_.path() + "/body.bin";
  std::ofstream(path, std::ios::binary) << body;
  auto task = session_->uploadTask(post("/echo"), URL::fileURLWithPath(path));
  const auto record = run(task);
  ASSERT_EQ(record.error, nullptr);
  const auto seen = received();
  EXPECT_TRUE(sameBody(seen.body, body));
  EXPECT_EQ(seen.contentLength, "150000");
  EXPECT_FALSE(seen.expect);
  const auto transfer = delegate_->transfer(task->taskIdentifier());
  ASSERT_FALSE(transfer.sent.empty());
  EXPECT_EQ(transfer.sent.back().total, 150000);
  EXPECT_EQ(transfer.sent.back().expected, 150000);
}

TEST_F(UploadTaskTest, FilesThatCannotBeReadFailTheTask) {
  auto missing =
      session_->uploadTask(post("/echo"), URL::fileURLWithPath(directory_.path() + "/none"));
  auto record = run(missing);
  ASSERT_NE(urlError(record.error), nullptr);
  EXPECT_EQ(urlError(record.error)->code(), URLError::Code::fileDoesNotExist);

  auto directory =
      session_->uploadTask(post("/echo"), URL::fileURLWithPath(directory_.path(), true));
  record = run(directory);
  ASSERT_NE(urlError(record.error), nullptr);
  EXPECT_EQ(urlError(record.error)->code(), URLError::Code::fileIsDirectory);
}

TEST_F(UploadTaskTest, StreamBodyIsAskedForAndSentChunked) {
  const std::string body = patternedText(70000);
  delegate_->bodyStream = [&] { return std::make_shared<TrickleStream>(body, 5000); };
  auto task = session_->uploadTaskWithStreamedRequest(post("/echo"));
  const auto record = run(task);
  ASSERT_EQ(record.error, nullptr) << record.error->debugDescription();
  const auto seen = received();
  EXPECT_TRUE(sameBody(seen.body, body));
  EXPECT_EQ(seen.transferEncoding, "chunked");
  EXPECT_FALSE(seen.contentLength);
  const auto transfer = delegate_->transfer(task->taskIdentifier());
  ASSERT_FALSE(transfer.events.empty());
  EXPECT_EQ(transfer.events.front(), "stream");
  ASSERT_FALSE(transfer.sent.empty());
  EXPECT_EQ(transfer.sent.back().expected, -1);  // a stream's length is not known
}

TEST_F(UploadTaskTest, StreamBodyKeepsALengthTheRequestStates) {
  const std::string body = patternedText(4096);
  delegate_->bodyStream = [&] { return std::make_shared<TrickleStream>(body); };
  auto request = post("/echo");
  request.setValueForHTTPHeaderField("4096", "Content-Length");
  const auto record = run(session_->uploadTaskWithStreamedRequest(request));
  ASSERT_EQ(record.error, nullptr);
  const auto seen = received();
  EXPECT_TRUE(sameBody(seen.body, body));
  EXPECT_EQ(seen.contentLength, "4096");
  EXPECT_FALSE(seen.transferEncoding);
}

TEST_F(UploadTaskTest, AStreamIsNeverSentTwiceShort) {
  // A redirect that keeps the body would need the stream again.
  delegate_->bodyStream = [&] { return std::make_shared<TrickleStream>(patternedText(3000)); };
  auto record = run(session_->uploadTaskWithStreamedRequest(post("/moved")));
  ASSERT_NE(urlError(record.error), nullptr);
  EXPECT_EQ(urlError(record.error)->code(), URLError::Code::requestBodyStreamExhausted);
  EXPECT_TRUE(received().body.empty());  // the second hop never went out

  // A stream that was read before (handed over again) is refused up front.
  auto used = platform::InputStream::withData(Bytes{1, 2, 3});
  used->open();
  std::uint8_t byte;
  used->read(&byte, 1);
  delegate_->bodyStream = [&] { return used; };
  record = run(session_->uploadTaskWithStreamedRequest(post("/echo")));
  ASSERT_NE(urlError(record.error), nullptr);
  EXPECT_EQ(urlError(record.error)->code(), URLError::Code::requestBodyStreamExhausted);

  // No stream at all.
  delegate_->bodyStream = nullptr;
  record = run(session_->uploadTaskWithStreamedRequest(post("/echo")));
  ASSERT_NE(urlError(record.error), nullptr);
  EXPECT_EQ(urlError(record.error)->code(), URLError::Code::requestBodyStreamExhausted);
}

TEST_F(UploadTaskTest, AFileBodyFollowsARedirectWhole) {
  const std::string body = patternedText(5000);
  const std::string path = directory_.path() + "/body.bin";
  std::ofstream(path, std::ios::binary) << body;
  const auto record = run(session_->uploadTask(post("/moved"), URL::fileURLWithPath(path)));
  ASSERT_EQ(record.error, nullptr);
  EXPECT_TRUE(sameBody(received().body, body));
}

TEST_F(UploadTaskTest, AStreamThatFailsFailsTheTask) {
  delegate_->bodyStream = [] { return std::make_shared<FailingStream>(); };
  const auto record = run(session_->uploadTaskWithStreamedRequest(post("/echo")));
  ASSERT_NE(urlError(record.error), nullptr);
  EXPECT_NE(urlError(record.error)->code(), URLError::Code::cancelled);
  EXPECT_NE(urlError(record.error)->detail().find("the source broke"), std::string::npos);
}

}  // namespace
