// Download requests end to end against a server on 127.0.0.1: progress, destinations and
// their options, the default name, resumption (206 and 200), cancellation with resume data,
// validation of the downloaded file.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "halyard/core/download_request.h"
#include "halyard/core/session.h"
#include "halyard/support/recording_monitor.h"
#include "halyard/support/test_server.h"
#include "halyard/support/wait.h"
#include "platform/net/url_error.h"
#include "support/http_test_handlers.h"
#include "support/recorder.h"
#include "support/test_files.h"

namespace {

using halyard::DownloadRequest;
using halyard::DownloadResponse;
using halyard::HalyardError;
using halyard::Session;
using halyardtest::waitUntil;
using platform::Bytes;
using platform::URL;
using testsupport::readFile;
using testsupport::sameBody;
using Options = DownloadRequest::Options;

// A monitor that records the destination events with their URLs.
class DestinationMonitor : public halyardtest::RecordingMonitor {
 public:
  void requestDidCreateDestinationURL(const std::shared_ptr<DownloadRequest>&,
                                      const URL& url) override {
    destinations_.add(url);
  }
  std::vector<URL> destinations() const { return destinations_.entries(); }

 private:
  testsupport::Recorder<URL> destinations_;
};

class DownloadITest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(directory_.create("halyard-download"));
    directory_.redirectTMPDIR("tmp");
    file_.body = testsupport::patternedText(200000);

    auto& s = server_.server();
    s.Get("/file",
          [this](const httplib::Request& req, httplib::Response& res) { file_.serve(req, res); });
    s.Get("/chunked", [this](const httplib::Request&, httplib::Response& res) {
      testsupport::sendPacedPieces(res, file_.body.substr(0, 5000), 5, reports_);
    });
    s.Get("/named", [](const httplib::Request&, httplib::Response& res) {
      res.set_header("Content-Disposition", "attachment; filename=\"../../escape.dmg\"");
      res.set_content("disk image", "application/octet-stream");
    });
    s.Get("/empty.html", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("", "text/html");
    });
    s.Get("/page.html", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("<p>hi</p>", "text/html");
    });
    s.Get("/missing", [](const httplib::Request&, httplib::Response& res) {
      res.status = 404;
      res.set_content("gone", "text/plain");
    });
    base_ = server_.start();
  }

  void TearDown() override {
    file_.gate.open();
    session_.reset();
    platform::drainMainQueue();
    server_.stop();
    directory_.remove();
  }

  std::string url(const std::string& path) const { return base_ + path; }

  template <class Value>
  std::optional<DownloadResponse<Value>> await(std::optional<DownloadResponse<Value>>& slot) {
    EXPECT_TRUE(waitUntil([&] { return slot.has_value(); }, 20));
    return slot;
  }

  DownloadRequest::Destination into(const std::string& path, Options options) {
    return [path, options](const URL&, const platform::HTTPURLResponsePtr&) {
      return DownloadRequest::DestinationResult{URL::fileURLWithPath(path, false), options};
    };
  }

  testsupport::TemporaryDirectory directory_;
  // "/file": what it serves; it outlives the server that reads it.
  testsupport::RangedBody file_;
  // The client's progress reports, which "/chunked" waits on.
  testsupport::ProgressPacer reports_;
  halyardtest::TestServer server_;
  std::string base_;
  std::shared_ptr<Session> session_ = Session::initWithConfiguration();
};

TEST_F(DownloadITest, ProgressIsReportedAndTheFileMovesToItsDestination) {
  // The destination's folder does not exist, and a file is already there: both options.
  const std::string destination = directory_.path() + "/new/folder/got.bin";
  auto request = session_->makeDownloadRequest(
      url("/chunked"), halyard::HTTPMethod::GET, std::nullopt, nullptr, nullptr,
      into(destination, Options::fromList(
                            {Options::createParentDirectories(), Options::replaceExistingFile()})));
  std::vector<double> fractions;
  std::vector<std::int64_t> completed;
  request->setDownloadProgressHandler(platform::DispatchQueue::main(),
                                      [&](const halyard::ProgressPtr& progress) {
                                        completed.push_back(progress->completedUnitCount());
                                        reports_.reported();
                                      });
  std::optional<DownloadResponse<Bytes>> response;
  request->responseAsData([&](const auto& r) { response = r; });
  ASSERT_TRUE(await(response));
  ASSERT_TRUE(response->result) << response->result.error().debugDescription();
  EXPECT_EQ(std::string(response->result->begin(), response->result->end()),
            file_.body.substr(0, 5000));
  EXPECT_EQ(response->fileURL->path(), destination);
  EXPECT_EQ(readFile(destination), file_.body.substr(0, 5000));
  ASSERT_GE(completed.size(), 3u);
  EXPECT_TRUE(std::is_sorted(completed.begin(), completed.end()));
  EXPECT_EQ(completed.back(), 5000);

  // Again into the same place: the old file is replaced.
  auto again =
      session_->makeDownloadRequest(url("/file"), halyard::HTTPMethod::GET, std::nullopt, nullptr,
                                    nullptr, into(destination, Options::replaceExistingFile()));
  std::optional<DownloadResponse<URL>> moved;
  again->responseAsURL([&](const auto& r) { moved = r; });
  ASSERT_TRUE(await(moved));
  ASSERT_TRUE(moved->result);
  EXPECT_TRUE(sameBody(readFile(destination), file_.body));
}

TEST_F(DownloadITest, WithoutADestinationTheFileIsNamedAfterItsTemporaryFile) {
  auto request = session_->makeDownloadRequest(url("/file"));
  std::optional<DownloadResponse<std::optional<URL>>> response;
  request->responseUnserialized([&](const auto& r) { response = r; });
  ASSERT_TRUE(await(response));
  ASSERT_TRUE(response->result);
  ASSERT_TRUE(*response->result);
  const URL file = **response->result;
  EXPECT_EQ(file.path().substr(0, file.path().find_last_of('/')), directory_.path() + "/tmp");
  EXPECT_TRUE(file.lastPathComponent().starts_with("Halyard_download-"));
  EXPECT_TRUE(sameBody(readFile(file.path()), file_.body));
  EXPECT_EQ(response->serializationDuration, 0);
}

TEST_F(DownloadITest, MovesFailWithoutTheOptionsThatWouldAllowThem) {
  auto monitor = std::make_shared<DestinationMonitor>();
  session_ = Session::initWithConfiguration(Session::defaultConfiguration(), nullptr, nullptr, true,
                                            nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                            {monitor});
  const std::string existing = directory_.path() + "/existing.bin";
  std::ofstream(existing) << "keep";
  auto occupied =
      session_->makeDownloadRequest(url("/file"), halyard::HTTPMethod::GET, std::nullopt, nullptr,
                                    nullptr, into(existing, Options()));
  std::optional<DownloadResponse<std::optional<URL>>> response;
  occupied->responseUnserialized([&](const auto& r) { response = r; });
  ASSERT_TRUE(await(response));
  ASSERT_FALSE(response->result);
  const auto* failed = response->result.error().as<HalyardError::DownloadedFileMoveFailed>();
  ASSERT_NE(failed, nullptr) << response->result.error().debugDescription();
  EXPECT_EQ(failed->destination.path(), existing);
  EXPECT_EQ(readFile(existing), "keep");
  EXPECT_FALSE(response->fileURL);

  const std::string nested = directory_.path() + "/missing/folder/file.bin";
  auto noFolder =
      session_->makeDownloadRequest(url("/file"), halyard::HTTPMethod::GET, std::nullopt, nullptr,
                                    nullptr, into(nested, Options()));
  response.reset();
  noFolder->responseUnserialized([&](const auto& r) { response = r; });
  ASSERT_TRUE(await(response));
  ASSERT_FALSE(response->result);
  EXPECT_TRUE(response->result.error().isDownloadedFileMoveFailed());
  // The destination was told before the move was tried.
  EXPECT_TRUE(waitUntil([&] { return monitor->destinations().size() == 2; }));
  EXPECT_EQ(monitor->destinations()[1].path(), nested);
}

TEST_F(DownloadITest, TheSuggestedDestinationKeepsAServersNameInsideTheCaches) {
  const std::string caches = directory_.path() + "/caches";
  setenv("XDG_CACHE_HOME", caches.c_str(), 1);
  auto request = session_->makeDownloadRequest(
      url("/named"), halyard::HTTPMethod::GET, std::nullopt, nullptr, nullptr,
      DownloadRequest::makeSuggestedDestination(
          platform::SearchPathDirectory::cachesDirectory, platform::SearchPathDomainMask::user,
          Options::fromList({Options::createParentDirectories(), Options::replaceExistingFile()})));
  std::optional<DownloadResponse<Bytes>> response;
  request->responseAsData(platform::DispatchQueue::main(),
                          halyard::ResponseSerializer::defaultDataPreprocessor(),
                          halyard::ResponseSerializer::standardEmptyResponseCodes(),
                          halyard::ResponseSerializer::standardEmptyRequestMethods(),
                          [&](const auto& r) { response = r; });
  ASSERT_TRUE(await(response));
  unsetenv("XDG_CACHE_HOME");
  ASSERT_TRUE(response->result) << response->result.error().debugDescription();
  EXPECT_EQ(response->fileURL->path(), caches + "/escape.dmg");
  EXPECT_EQ(readFile(caches + "/escape.dmg"), "disk image");
  EXPECT_FALSE(std::filesystem::exists(directory_.path() + "/escape.dmg"));
}

TEST_F(DownloadITest, CancellingWithResumeDataAndResumingCompletesTheFile) {
  file_.firstAnswer.pauseAfter = 60000;
  auto request = session_->makeDownloadRequest(url("/file"));
  std::atomic<std::int64_t> written{0};
  request->setDownloadProgressHandler(
      platform::DispatchQueue::main(),
      [&](const halyard::ProgressPtr& progress) { written = progress->completedUnitCount(); });
  std::optional<DownloadResponse<std::optional<URL>>> cancelled;
  request->responseUnserialized([&](const auto& r) { cancelled = r; });
  ASSERT_TRUE(waitUntil([&] { return written.load() == 60000; }));
  // The handler runs on a thread of the URL-loading session.
  std::mutex handedMutex;
  std::optional<std::optional<Bytes>> handed;
  request->cancelWithResumeDataHandler([&](const std::optional<Bytes>& data) {
    std::lock_guard lock(handedMutex);
    handed = data;
  });
  ASSERT_TRUE(await(cancelled));
  file_.gate.open();
  ASSERT_FALSE(cancelled->result);
  EXPECT_TRUE(cancelled->result.error().isExplicitlyCancelled());
  ASSERT_TRUE(cancelled->resumeData);
  ASSERT_TRUE(waitUntil([&] {
    std::lock_guard lock(handedMutex);
    return handed.has_value();
  }));
  {
    std::lock_guard lock(handedMutex);
    EXPECT_EQ(*handed, cancelled->resumeData);
  }
  EXPECT_EQ(request->resumeData(), cancelled->resumeData);

  auto resumed = session_->makeResumedDownloadRequest(*cancelled->resumeData);
  std::vector<std::int64_t> completed;
  resumed->setDownloadProgressHandler(platform::DispatchQueue::main(),
                                      [&](const halyard::ProgressPtr& progress) {
                                        completed.push_back(progress->completedUnitCount());
                                      });
  std::optional<DownloadResponse<Bytes>> response;
  resumed->responseAsData([&](const auto& r) { response = r; });
  ASSERT_TRUE(await(response));
  ASSERT_TRUE(response->result) << response->result.error().debugDescription();
  EXPECT_TRUE(
      sameBody(std::string(response->result->begin(), response->result->end()), file_.body));
  EXPECT_EQ(file_.seen().back().range, "bytes=60000-");
  ASSERT_FALSE(completed.empty());
  EXPECT_EQ(completed.back(), 200000);
  EXPECT_FALSE(resumed->lastRequest());  // resumed straight from the data, no URL request
}

TEST_F(DownloadITest, AServerThatIgnoresTheRangeSendsItAllAgain) {
  file_.firstAnswer.dropAfter = 50000;
  auto request = session_->makeDownloadRequest(url("/file"));
  std::optional<DownloadResponse<std::optional<URL>>> failed;
  request->responseUnserialized([&](const auto& r) { failed = r; });
  ASSERT_TRUE(await(failed));
  ASSERT_FALSE(failed->result);
  EXPECT_TRUE(failed->result.error().isSessionTaskFailed());
  // The dropped connection left resume data on the error.
  ASSERT_TRUE(failed->resumeData);

  file_.ignoreRange = true;
  std::optional<DownloadResponse<Bytes>> response;
  session_->makeResumedDownloadRequest(*failed->resumeData)->responseAsData([&](const auto& r) {
    response = r;
  });
  ASSERT_TRUE(await(response));
  ASSERT_TRUE(response->result);
  EXPECT_TRUE(
      sameBody(std::string(response->result->begin(), response->result->end()), file_.body));
}

TEST_F(DownloadITest, ValidationLooksAtTheStatusAndTheContentTypeOfNonEmptyFiles) {
  auto accepting = [&](const std::string& path) {
    return session_->makeDownloadRequest(
        url(path), halyard::HTTPMethod::GET,
        halyard::HTTPHeaders{halyard::HTTPHeader::makeAccept("application/json")});
  };
  std::optional<DownloadResponse<std::optional<URL>>> response;
  accepting("/empty.html")->validateStatusAndContentType().responseUnserialized([&](const auto& r) {
    response = r;
  });
  ASSERT_TRUE(await(response));
  EXPECT_TRUE(response->result) << "an empty file has no content type to check";

  response.reset();
  accepting("/page.html")->validateStatusAndContentType().responseUnserialized([&](const auto& r) {
    response = r;
  });
  ASSERT_TRUE(await(response));
  ASSERT_FALSE(response->result);
  EXPECT_EQ(response->result.error().receivedContentType(), "text/html");

  response.reset();
  accepting("/missing")->validateStatusAndContentType().responseUnserialized([&](const auto& r) {
    response = r;
  });
  ASSERT_TRUE(await(response));
  ASSERT_FALSE(response->result);
  EXPECT_EQ(response->result.error().rejectedStatusCode(), 404);
}

}  // namespace
