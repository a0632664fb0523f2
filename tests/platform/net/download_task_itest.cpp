// Download tasks against an HTTP server on 127.0.0.1 that serves ranges, can pause a body
// until the test lets it go on, and can drop the connection half way.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/dispatch/main_queue.h"
#include "platform/foundation/file_manager.h"
#include "platform/net/download_resume_data.h"
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
using platform::URLSessionDownloadTask;
using testsupport::patternedText;
using testsupport::readFile;
using testsupport::sameBody;

bool exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

class DownloadTaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Downloads of this test go to a temporary directory of its own, so what is left there
    // can be told apart from other programs' files.
    ASSERT_TRUE(temporaryDirectory_.create("download-test"));
    temporaryDirectory_.redirectTMPDIR();
    file_.body = patternedText(300000);
    server_.server().Get("/file", [this](const httplib::Request& req, httplib::Response& res) {
      file_.serve(req, res);
    });
    server_.server().Get("/chunked", [this](const httplib::Request&, httplib::Response& res) {
      testsupport::sendPacedPieces(res, file_.body.substr(0, 4000), 4, writes_);
    });
    server_.server().Get("/missing", [](const httplib::Request&, httplib::Response& res) {
      res.status = 404;
      res.set_content("no such thing", "application/octet-stream");
    });
    base_ = server_.start();
    delegate_->onWrite = [this] { writes_.reported(); };
    session_ = URLSession::make(platform::URLSessionConfiguration::ephemeral(), delegate_,
                                nettest::mainDelegateQueue());
  }

  void TearDown() override {
    file_.gate.open();
    session_->invalidateAndCancel();
    platform::runMainUntil([&] { return delegate_->invalidated(); }, 10);
    session_.reset();
    server_.stop();
    platform::drainMainQueue();
    temporaryDirectory_.remove();
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
    file_.firstAnswer.pauseAfter = bytes;
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
    file_.gate.open();
    return data;
  }

  testsupport::TemporaryDirectory temporaryDirectory_;
  // "/file": what it serves; it outlives the server that reads it.
  testsupport::RangedBody file_;
  // The client's write reports, which "/chunked" waits on.
  testsupport::ProgressPacer writes_;
  TestServer server_;
  std::string base_;
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
  EXPECT_TRUE(sameBody(transfer.fileContents, file_.body.substr(0, 4000)));
  // A private file of the temporary directory, gone once the delegate is done with it.
  const std::string path = transfer.location->path();
  EXPECT_EQ(path.substr(0, path.find_last_of('/')), temporaryDirectory_.path());
  EXPECT_FALSE(exists(path));
  // Downloads are not asked about their response.
  EXPECT_EQ(std::count(record.events.begin(), record.events.end(), "response"), 0);
  EXPECT_NE(task->response(), nullptr);
}

TEST_F(DownloadTaskTest, EveryCompletedResponseIsHandedOverAndAMovedFileStays) {
  const std::string kept = temporaryDirectory_.path() + "/kept";
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
  EXPECT_TRUE(sameBody(readFile(kept), file_.body));

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
  const auto requests = file_.seen();
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
  EXPECT_TRUE(sameBody(transfer.fileContents, file_.body));
  EXPECT_FALSE(exists(record->temporaryPath));
}

TEST_F(DownloadTaskTest, AServerThatSendsTheWholeEntityAgainStartsTheFileAgain) {
  const auto resumeData = interruptedResumeData(50000);
  ASSERT_TRUE(resumeData);
  file_.ignoreRange = true;
  auto resumed = session_->downloadTaskWithResumeData(*resumeData);
  ASSERT_EQ(run(resumed).error, nullptr);
  const auto transfer = delegate_->transfer(resumed->taskIdentifier());
  ASSERT_TRUE(transfer.resumedAt);
  EXPECT_EQ(transfer.resumedAt->first, 0);
  EXPECT_EQ(transfer.resumedAt->second, 300000);
  EXPECT_TRUE(sameBody(transfer.fileContents, file_.body));
}

TEST_F(DownloadTaskTest, AContinuationAtAnotherOffsetIsRefused) {
  const auto resumeData = interruptedResumeData(50000);
  ASSERT_TRUE(resumeData);
  file_.rangeShift = 10;
  const auto record = run(session_->downloadTaskWithResumeData(*resumeData));
  ASSERT_NE(urlError(record.error), nullptr);
  EXPECT_EQ(urlError(record.error)->code(), URLError::Code::badServerResponse);
}

TEST_F(DownloadTaskTest, ADroppedConnectionLeavesResumeDataOnTheError) {
  file_.firstAnswer.dropAfter = 120000;
  auto task = session_->downloadTask(get("/file"));
  const auto record = run(task);
  ASSERT_NE(urlError(record.error), nullptr);
  EXPECT_NE(urlError(record.error)->code(), URLError::Code::cancelled);
  const auto resumeData = urlError(record.error)->resumeData();
  ASSERT_TRUE(resumeData);
  EXPECT_EQ(platform::DownloadResumeRecord::decode(*resumeData)->bytesReceived, 120000);

  auto resumed = session_->downloadTaskWithResumeData(*resumeData);
  ASSERT_EQ(run(resumed).error, nullptr);
  EXPECT_EQ(file_.seen().back().range, "bytes=120000-");
  EXPECT_TRUE(sameBody(delegate_->transfer(resumed->taskIdentifier()).fileContents, file_.body));
}

TEST_F(DownloadTaskTest, WithoutAValidatorThereIsNoResumeDataAndNoFileLeft) {
  file_.etag.clear();  // and no Last-Modified either
  const auto resumeData = interruptedResumeData(30000);
  EXPECT_FALSE(resumeData);
  EXPECT_TRUE(std::filesystem::is_empty(temporaryDirectory_.path()));
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
  testsupport::TemporaryDirectory elsewhere;
  ASSERT_TRUE(elsewhere.create("download-victim"));
  const std::string victim = elsewhere.path() + "/download-precious";
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
  EXPECT_EQ(file_.seen().back().range, "");
  EXPECT_TRUE(sameBody(delegate_->transfer(task->taskIdentifier()).fileContents, file_.body));
}

}  // namespace
