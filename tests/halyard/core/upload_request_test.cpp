#include "halyard/core/upload_request.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "halyard/core/session.h"
#include "halyard/support/fake_request_delegate.h"
#include "halyard/support/recording_monitor.h"

namespace {

using halyard::Uploadable;
using halyard::UploadRequest;
using platform::URL;

class UploadRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = "/tmp/upload-request-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    directory_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(directory_); }

  std::shared_ptr<UploadRequest> makeRequest(Uploadable body) {
    auto upload = std::make_shared<const halyard::Session::Upload>(
        halyard::makeURLRequestConvertible(
            platform::URLRequest(*URL::fromString("http://127.0.0.1/up"))),
        std::make_shared<const Uploadable>(std::move(body)));
    return std::make_shared<UploadRequest>(
        halyard::RequestContext{platform::UUID(), queue_, queue_, monitor_, nullptr, delegate_},
        upload, nullptr);
  }

  // Runs `body` on the request's underlying queue, where its hooks belong.
  void onQueue(const std::function<void()>& body) { queue_->sync(body); }

  URL file(const std::string& name) {
    const std::string path = directory_ + "/" + name;
    std::ofstream(path) << "body";
    return URL::fileURLWithPath(path, false);
  }

  std::string directory_;
  platform::DispatchQueuePtr queue_ = platform::DispatchQueue::serial("test.upload.request");
  std::shared_ptr<halyardtest::RecordingMonitor> monitor_ =
      std::make_shared<halyardtest::RecordingMonitor>(queue_);
  std::shared_ptr<halyardtest::FakeRequestDelegate> delegate_ =
      std::make_shared<halyardtest::FakeRequestDelegate>();
};

TEST_F(UploadRequestTest, AnUploadableIsItsOwnBody) {
  const Uploadable data = Uploadable::data({1, 2});
  EXPECT_EQ(std::get<Uploadable::Data>(data.toUploadable().storage).data, (platform::Bytes{1, 2}));
  const Uploadable onDisk = Uploadable::file(URL::fileURLWithPath("/x", false), true);
  EXPECT_TRUE(std::get<Uploadable::File>(onDisk.toUploadable().storage).shouldRemove);
}

TEST_F(UploadRequestTest, EachBodyMakesAnUploadTaskAndAStreamIsHandedOverAsItIs) {
  auto session = platform::URLSession::make(platform::URLSessionConfiguration::ephemeral());
  const platform::URLRequest urlRequest(*URL::fromString("http://127.0.0.1/up"));
  auto stream = platform::InputStream::withData({7});
  for (auto body :
       {Uploadable::data({1}), Uploadable::file(file("f"), false), Uploadable::stream(stream)}) {
    auto request = makeRequest(body);
    onQueue([&] {
      request->recordUploadable(body);
      const auto task = request->makeTask(urlRequest, session);
      EXPECT_EQ(task->kind(), platform::URLSessionTask::Kind::upload);
      EXPECT_EQ(task->originalRequest(), urlRequest);
    });
  }
  auto request = makeRequest(Uploadable::stream(stream));
  onQueue([&] {
    request->recordUploadable(Uploadable::stream(stream));
    EXPECT_EQ(request->provideInputStream(), stream);
    EXPECT_EQ(request->provideInputStream(), stream);
  });
  EXPECT_TRUE(monitor_->contains("requestDidCreateUploadable"));
  EXPECT_TRUE(monitor_->contains("requestDidProvideInputStream"));
  session->invalidateAndCancel();
}

TEST_F(UploadRequestTest, TemporaryBodyFilesGoWhenTheRequestEndsOthersStay) {
  const URL temporary = file("temporary");
  const URL callers = file("callers");
  const URL alreadyGone = URL::fileURLWithPath(directory_ + "/gone", false);
  auto request = makeRequest(Uploadable::data({}));
  onQueue([&] {
    request->recordUploadable(Uploadable::file(temporary, true));
    request->resetState();  // a retry: the next attempt's body follows
    EXPECT_EQ(request->uploadable(), nullptr);
    request->recordUploadable(Uploadable::file(alreadyGone, true));
    request->runFinishHandlersAndCleanUp();
  });
  EXPECT_FALSE(std::filesystem::exists(temporary.path()));

  auto keeping = makeRequest(Uploadable::data({}));
  onQueue([&] {
    keeping->recordUploadable(Uploadable::file(callers, false));
    keeping->runFinishHandlersAndCleanUp();
  });
  EXPECT_TRUE(std::filesystem::exists(callers.path()));
  EXPECT_EQ(delegate_->cleanUps(), 2);
}

TEST_F(UploadRequestTest, ABodyThatCannotBeMadeIsTheRequestsError) {
  auto request = makeRequest(Uploadable::data({}));
  onQueue([&] {
    request->recordUploadableFailure(halyard::HalyardError::createUploadableFailed(
        platform::makeError(halyard::HalyardError::explicitlyCancelled())));
  });
  ASSERT_TRUE(request->error());
  EXPECT_TRUE(request->error()->isCreateUploadableFailed());
  EXPECT_TRUE(monitor_->contains("requestDidFailToCreateUploadableWithError"));
  EXPECT_EQ(delegate_->decisions(), 1);
}

using UploadRequestDeathTest = UploadRequestTest;

TEST_F(UploadRequestDeathTest, TasksAndStreamsNeedTheirBody) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto request = makeRequest(Uploadable::data({}));
  EXPECT_DEATH(request->makeTask(platform::URLRequest(), nullptr),
               "Attempting to create a URLSessionUploadTask when Uploadable value doesn't exist.");
  EXPECT_DEATH(request->provideInputStream(),
               "Attempting to access the input stream but the uploadable doesn't exist.");
  request->setUploadable(std::make_shared<const Uploadable>(Uploadable::data({1})));
  EXPECT_DEATH(request->provideInputStream(),
               "Attempted to access the stream of an UploadRequest that wasn't created with one.");
}

}  // namespace
