// Download tasks against an HTTP server on 127.0.0.1 that serves ranges, can pause a body
// until the test lets it go on, and can drop the connection half way.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/dispatch/main_queue.h"
#include "platform/foundation/file_manager.h"
#include "platform/net/download_resume_data.h"
#include "platform/net/support/test_server.h"
#include "platform/net/support/transfer_delegate.h"
#include "platform/net/url_error.h"
#include "platform/net/url_session.h"

namespace {

using nettest::Gate;
using nettest::TestServer;
using nettest::TransferDelegate;
using platform::Bytes;
using platform::URL;
using platform::URLError;
using platform::URLRequest;
using platform::URLSession;
using platform::URLSessionDownloadTask;

std::string pattern(std::size_t size) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    text[i] = static_cast<char>('A' + (i * 13 + i / 509) % 26);
  return text;
}

::testing::AssertionResult sameBody(const std::string& actual, const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at])
    ++at;
  return ::testing::AssertionFailure() << "bodies differ: " << actual.size() << " bytes against "
                                       << expected.size() << ", first difference at " << at;
}

std::string readFile(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

bool exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

const URLError* urlError(const platform::ErrorPtr& error) {
  return dynamic_cast<const URLError*>(error.get());
}

// How the server serves "/file" on its first request; later requests are served plainly.
struct FirstRequest {
  long pauseAfter = -1;  // stop after this many bytes of the entity until the gate opens
  long dropAfter = -1;   // close the connection after this many bytes of the entity
};

struct SeenRequest {
  std::string range;
  std::string ifRange;
};

class DownloadTaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Downloads of this test go to a temporary directory of its own, so what is left there
    // can be told apart from other programs' files.
    std::string directory = "/tmp/download-test-XXXXXX";
    ASSERT_NE(mkdtemp(directory.data()), nullptr);
    temporaryDirectory_ = directory;
    if (const char* old = std::getenv("TMPDIR")) oldTemporaryDirectory_ = old;
    setenv("TMPDIR", directory.c_str(), 1);
    body_ = pattern(300000);
    server_.server().Get("/file", [this](const httplib::Request& req, httplib::Response& res) {
      serveFile(req, res);
    });
    server_.server().Get("/chunked", [this](const httplib::Request&, httplib::Response& res) {
      // Each chunk goes out only after the client reported the one before, so the pieces
      // cannot merge on the way.
      res.set_chunked_content_provider("application/octet-stream", [this](size_t offset,
                                                                          httplib::DataSink& sink) {
        const int index = static_cast<int>(offset / 1000);
        if (index == 4) {
          sink.done();
          return true;
        }
        if (index > 0) {
          std::unique_lock lock(writesMutex_);
          writesChanged_.wait_for(lock, std::chrono::seconds(10), [&] { return writes_ >= index; });
        }
        const std::string piece = body_.substr(offset, 1000);
        return sink.write(piece.data(), piece.size());
      });
    });
    server_.server().Get("/missing", [](const httplib::Request&, httplib::Response& res) {
      res.status = 404;
      res.set_content("no such thing", "application/octet-stream");
    });
    base_ = server_.start();
    delegate_->onWrite = [this] {
      std::lock_guard lock(writesMutex_);
      ++writes_;
      writesChanged_.notify_all();
    };
    session_ = URLSession::make(platform::URLSessionConfiguration::ephemeral(), delegate_,
                                nettest::mainDelegateQueue());
  }

  void TearDown() override {
    gate_.open();
    session_->invalidateAndCancel();
    platform::runMainUntil(
        [&] {
          auto events = delegate_->sessionEvents();
          return !events.empty() && events.back() == "invalid";
        },
        10);
    session_.reset();
    server_.stop();
    for (const auto& path : cleanUp_)
      std::filesystem::remove_all(path);
    platform::drainMainQueue();
    if (oldTemporaryDirectory_) {
      setenv("TMPDIR", oldTemporaryDirectory_->c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
    std::filesystem::remove_all(temporaryDirectory_);
  }

  void serveFile(const httplib::Request& req, httplib::Response& res) {
    const bool first = requests_.fetch_add(1) == 0;
    {
      std::lock_guard lock(seenMutex_);
      seen_.push_back({req.get_header_value("Range"), req.get_header_value("If-Range")});
    }
    // The server would serve the asked-for range of what the handler gives on its own; here
    // the handler decides what to answer.
    const_cast<httplib::Request&>(req).ranges.clear();
    std::size_t start = 0;
    const std::string range = req.get_header_value("Range");
    const std::string ifRange = req.get_header_value("If-Range");
    if (!ignoreRange_ && std::sscanf(range.c_str(), "bytes=%zu-", &start) == 1 &&
        (ifRange.empty() || ifRange == etag_) && start <= body_.size()) {
      res.status = 206;
      res.set_header("Content-Range", "bytes " + std::to_string(start + rangeShift_) + "-" +
                                          std::to_string(body_.size() - 1) + "/" +
                                          std::to_string(body_.size()));
    } else {
      start = 0;
    }
    if (!etag_.empty()) res.set_header("ETag", etag_);
    const FirstRequest plan = first ? firstRequest_ : FirstRequest{};
    res.set_content_provider(
        body_.size() - start, "application/octet-stream",
        [this, start, plan](size_t offset, size_t length, httplib::DataSink& sink) {
          const long position = static_cast<long>(start + offset);
          long piece = std::min<long>(static_cast<long>(length), 16384);
          for (long limit : {plan.pauseAfter, plan.dropAfter}) {
            if (limit > position) piece = std::min(piece, limit - position);
          }
          if (position == plan.dropAfter) return false;
          if (position == plan.pauseAfter) gate_.wait();
          return sink.write(body_.data() + position, static_cast<size_t>(piece));
        });
  }

  URLRequest get(const std::string& path) { return URLRequest(*URL::fromString(base_ + path)); }

  nettest::TaskRecord finish(const std::shared_ptr<platform::URLSessionTask>& task) {
    EXPECT_TRUE(
        platform::runMainUntil([&] { return delegate_->isComplete(task->taskIdentifier()); }, 20));
    return delegate_->record(task->taskIdentifier());
  }

  nettest::TaskRecord run(const std::shared_ptr<URLSessionDownloadTask>& task) {
    task->resume();
    return finish(task);
  }

  // Starts a download of "/file" that stops after `bytes` and cancels it producing resume
  // data, which it answers (the handler must have been called exactly once).
  std::optional<Bytes> interruptedResumeData(long bytes) {
    firstRequest_.pauseAfter = bytes;
    auto task = session_->downloadTask(get("/file"));
    task->resume();
    EXPECT_TRUE(platform::runMainUntil(
        [&] {
          auto writes = delegate_->transfer(task->taskIdentifier()).writes;
          return !writes.empty() && writes.back().total == bytes;
        },
        20));
    std::atomic<int> calls{0};
    std::optional<Bytes> data;
    std::atomic<bool> calledInside{false};
    const auto caller = std::this_thread::get_id();
    task->cancelByProducingResumeData([&](std::optional<Bytes> resumeData) {
      if (std::this_thread::get_id() == caller) calledInside = true;
      data = std::move(resumeData);
      ++calls;
    });
    const auto record = finish(task);
    EXPECT_EQ(calls.load(), 1);
    EXPECT_FALSE(calledInside.load());
    EXPECT_NE(urlError(record.error), nullptr);
    if (auto error = urlError(record.error)) {
      EXPECT_EQ(error->code(), URLError::Code::cancelled);
      EXPECT_EQ(error->resumeData(), data);
    }
    gate_.open();
    return data;
  }

  std::vector<SeenRequest> seen() {
    std::lock_guard lock(seenMutex_);
    return seen_;
  }

  std::string temporaryDirectory_;
  std::optional<std::string> oldTemporaryDirectory_;
  TestServer server_;
  std::string base_;
  std::string body_;
  std::string etag_ = "\"v1\"";
  bool ignoreRange_ = false;
  long rangeShift_ = 0;
  FirstRequest firstRequest_;
  std::atomic<int> requests_{0};
  Gate gate_;
  std::mutex seenMutex_;
  std::vector<SeenRequest> seen_;
  std::mutex writesMutex_;
  std::condition_variable writesChanged_;
  int writes_ = 0;
  std::vector<std::string> cleanUp_;
  std::shared_ptr<TransferDelegate> delegate_ = std::make_shared<TransferDelegate>();
  std::shared_ptr<URLSession> session_;
};

TEST_F(DownloadTaskTest, AChunkedBodyIsWrittenWithProgressAndHandedOverBeforeTheCompletion) {
  auto task = session_->downloadTask(get("/chunked"));
  EXPECT_EQ(task->kind(), platform::URLSessionTask::Kind::download);
  bool completedBeforeFinishing = true;
  delegate_->onFinished = [&](const URL&) {
    const auto record = delegate_->record(task->taskIdentifier());
    completedBeforeFinishing = record.completed || record.metricsCount > 0;
  };
  const auto record = run(task);
  ASSERT_EQ(record.error, nullptr);
  const auto transfer = delegate_->transfer(task->taskIdentifier());
  ASSERT_GE(transfer.writes.size(), 3u);
  std::int64_t sum = 0;
  for (const auto& write : transfer.writes) {
    sum += write.step;
    EXPECT_EQ(write.total, sum);
    EXPECT_EQ(write.expected, -1);  // chunked: no length announced
  }
  EXPECT_EQ(sum, 4000);
  EXPECT_FALSE(completedBeforeFinishing);
  ASSERT_TRUE(transfer.location);
  EXPECT_TRUE(sameBody(transfer.fileContents, body_.substr(0, 4000)));
  // A private file of the temporary directory, gone once the delegate is done with it.
  const std::string path = transfer.location->path();
  EXPECT_EQ(path.substr(0, path.find_last_of('/')), temporaryDirectory_);
  EXPECT_FALSE(exists(path));
  // Downloads are not asked about their response.
  EXPECT_EQ(std::count(record.events.begin(), record.events.end(), "response"), 0);
  EXPECT_NE(task->response(), nullptr);
}

TEST_F(DownloadTaskTest, EveryCompletedResponseIsHandedOverAndAMovedFileStays) {
  const std::string kept = temporaryDirectory_ + "/kept";
  delegate_->onFinished = [&](const URL& location) {
    platform::FileManager::defaultManager()->moveItemAtPath(location.path(), kept);
  };
  auto task = session_->downloadTask(get("/file"));
  const auto record = run(task);
  ASSERT_EQ(record.error, nullptr);
  const auto transfer = delegate_->transfer(task->taskIdentifier());
  ASSERT_FALSE(transfer.writes.empty());
  EXPECT_EQ(transfer.writes.back().total, 300000);
  EXPECT_EQ(transfer.writes.back().expected, 300000);
  EXPECT_TRUE(sameBody(readFile(kept), body_));

  delegate_->onFinished = nullptr;
  auto missing = session_->downloadTask(get("/missing"));
  ASSERT_EQ(run(missing).error, nullptr);
  EXPECT_EQ(delegate_->transfer(missing->taskIdentifier()).fileContents, "no such thing");
}

TEST_F(DownloadTaskTest, CancellingWithResumeDataThenResumingAppendsThePartialContent) {
  const auto resumeData = interruptedResumeData(100000);
  ASSERT_TRUE(resumeData);
  const auto record = platform::DownloadResumeRecord::decode(*resumeData);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->bytesReceived, 100000);
  EXPECT_EQ(record->entityTag, "\"v1\"");
  EXPECT_TRUE(exists(record->temporaryPath));  // kept for the continuation

  auto resumed = session_->downloadTaskWithResumeData(*resumeData);
  ASSERT_EQ(run(resumed).error, nullptr);
  const auto requests = seen();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].range, "bytes=100000-");
  EXPECT_EQ(requests[1].ifRange, "\"v1\"");
  const auto transfer = delegate_->transfer(resumed->taskIdentifier());
  ASSERT_TRUE(transfer.resumedAt);
  EXPECT_EQ(transfer.resumedAt->first, 100000);
  EXPECT_EQ(transfer.resumedAt->second, 300000);
  ASSERT_FALSE(transfer.writes.empty());
  EXPECT_EQ(transfer.writes.back().total, 300000);
  EXPECT_EQ(transfer.writes.back().expected, 300000);
  EXPECT_TRUE(sameBody(transfer.fileContents, body_));
  EXPECT_FALSE(exists(record->temporaryPath));
}

TEST_F(DownloadTaskTest, AServerThatSendsTheWholeEntityAgainStartsTheFileAgain) {
  const auto resumeData = interruptedResumeData(50000);
  ASSERT_TRUE(resumeData);
  ignoreRange_ = true;
  auto resumed = session_->downloadTaskWithResumeData(*resumeData);
  ASSERT_EQ(run(resumed).error, nullptr);
  const auto transfer = delegate_->transfer(resumed->taskIdentifier());
  ASSERT_TRUE(transfer.resumedAt);
  EXPECT_EQ(transfer.resumedAt->first, 0);
  EXPECT_EQ(transfer.resumedAt->second, 300000);
  EXPECT_TRUE(sameBody(transfer.fileContents, body_));
}

TEST_F(DownloadTaskTest, AContinuationAtAnotherOffsetIsRefused) {
  const auto resumeData = interruptedResumeData(50000);
  ASSERT_TRUE(resumeData);
  rangeShift_ = 10;
  const auto record = run(session_->downloadTaskWithResumeData(*resumeData));
  ASSERT_NE(urlError(record.error), nullptr);
  EXPECT_EQ(urlError(record.error)->code(), URLError::Code::badServerResponse);
}

TEST_F(DownloadTaskTest, ADroppedConnectionLeavesResumeDataOnTheError) {
  firstRequest_.dropAfter = 120000;
  auto task = session_->downloadTask(get("/file"));
  const auto record = run(task);
  ASSERT_NE(urlError(record.error), nullptr);
  EXPECT_NE(urlError(record.error)->code(), URLError::Code::cancelled);
  const auto resumeData = urlError(record.error)->resumeData();
  ASSERT_TRUE(resumeData);
  EXPECT_EQ(platform::DownloadResumeRecord::decode(*resumeData)->bytesReceived, 120000);

  auto resumed = session_->downloadTaskWithResumeData(*resumeData);
  ASSERT_EQ(run(resumed).error, nullptr);
  EXPECT_EQ(seen().back().range, "bytes=120000-");
  EXPECT_TRUE(sameBody(delegate_->transfer(resumed->taskIdentifier()).fileContents, body_));
}

TEST_F(DownloadTaskTest, WithoutAValidatorThereIsNoResumeDataAndNoFileLeft) {
  etag_.clear();  // and no Last-Modified either
  const auto resumeData = interruptedResumeData(30000);
  EXPECT_FALSE(resumeData);
  EXPECT_TRUE(std::filesystem::is_empty(temporaryDirectory_));
}

TEST_F(DownloadTaskTest, CancellingWithResumeDataAlwaysAnswersLater) {
  auto done = session_->downloadTask(get("/missing"));
  run(done);
  std::atomic<int> calls{0};
  std::atomic<bool> inside{false}, withData{false};
  const auto caller = std::this_thread::get_id();
  auto handler = [&](std::optional<Bytes> data) {
    if (std::this_thread::get_id() == caller) inside = true;
    if (data) withData = true;
    ++calls;
  };
  // A task that completed, and one that never started: neither has anything to continue.
  done->cancelByProducingResumeData(handler);
  auto never = session_->downloadTask(get("/file"));
  never->cancelByProducingResumeData(handler);
  EXPECT_TRUE(platform::runMainUntil([&] { return calls.load() == 2; }, 10));
  EXPECT_FALSE(inside.load());
  EXPECT_FALSE(withData.load());
  const auto record = finish(never);
  ASSERT_NE(urlError(record.error), nullptr);
  EXPECT_EQ(urlError(record.error)->code(), URLError::Code::cancelled);
}

TEST_F(DownloadTaskTest, ResumeDataFromOutsideIsNotTrusted) {
  auto garbage = session_->downloadTaskWithResumeData(Bytes{'n', 'o', 'p', 'e'});
  auto record = run(garbage);
  ASSERT_NE(urlError(record.error), nullptr);
  EXPECT_EQ(urlError(record.error)->code(), URLError::Code::cannotDecodeRawData);

  // A record that names a file elsewhere: that file is left alone and the download starts
  // from the beginning.
  std::string directory = "/tmp/download-victim-XXXXXX";
  ASSERT_NE(mkdtemp(directory.data()), nullptr);
  cleanUp_.push_back(directory);
  const std::string victim = directory + "/download-precious";
  std::ofstream(victim) << "precious contents";
  platform::DownloadResumeRecord forged;
  forged.request = get("/file");
  forged.temporaryPath = victim;
  forged.bytesReceived = 3;
  forged.entityTag = "\"v1\"";
  auto task = session_->downloadTaskWithResumeData(forged.encode());
  record = run(task);
  ASSERT_EQ(record.error, nullptr);
  EXPECT_EQ(readFile(victim), "precious contents");
  EXPECT_EQ(seen().back().range, "");
  EXPECT_TRUE(sameBody(delegate_->transfer(task->taskIdentifier()).fileContents, body_));
}

}  // namespace
