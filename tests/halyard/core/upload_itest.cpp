// Upload requests end to end: data, file, stream and multipart bodies, deflate-compressed
// bodies, against a server on 127.0.0.1 that checks what it received.

#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "halyard/core/session.h"
#include "halyard/core/upload_request.h"
#include "halyard/encoding/deflate_request_compressor.h"
#include "halyard/encoding/multipart_form_data.h"
#include "halyard/encoding/multipart_upload.h"
#include "halyard/support/raw_capture_server.h"
#include "halyard/support/recording_monitor.h"
#include "halyard/support/wait.h"
#include "platform/net/url_error.h"
#include "support/test_files.h"

namespace {

using halyard::DataResponse;
using halyard::HalyardError;
using halyard::MultipartFormData;
using halyard::Session;
using halyard::Uploadable;
using Capture = halyardtest::RawCaptureServer::Capture;
using halyardtest::waitUntil;
using platform::Bytes;
using platform::URL;
using testsupport::patternedText;
using testsupport::sameBody;

const std::string kBoundary = "halyard.boundary.00112233aabbccdd";

Bytes bytes(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

// A body maker that hands out a temporary file once and fails on the next attempt.
class OnceThenFailing : public halyard::UploadableConvertible {
 public:
  explicit OnceThenFailing(URL file) : file_(std::move(file)) {}
  Uploadable toUploadable() const override {
    if (calls_++ > 0) throw std::runtime_error("the body cannot be made again");
    return Uploadable::file(file_, true);
  }

 private:
  URL file_;
  mutable std::atomic<int> calls_{0};
};

// Retries a request once, whatever failed.
class RetryOnce : public halyard::RequestInterceptor {
 public:
  void decideRetry(const std::shared_ptr<halyard::Request>& request,
                   const std::shared_ptr<Session>&, const platform::ErrorPtr&,
                   halyard::RetryCompletion completion) override {
    completion(request->retryCount() == 0 ? halyard::RetryResult::retry()
                                          : halyard::RetryResult::doNotRetry());
  }
};

class UploadITest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(directory_.create("halyard-upload"));
    directory_.redirectTMPDIR();
  }

  void TearDown() override {
    session_.reset();
    platform::drainMainQueue();
    directory_.remove();
  }

  std::string url() const { return server_.baseURL() + "/echo"; }

  std::string bodyDirectory() const {
    return directory_.path() + "/org.tovarine.halyard.manager/multipart.form.data";
  }

  DataResponse<std::string> awaitString(const std::shared_ptr<halyard::UploadRequest>& request) {
    std::optional<DataResponse<std::string>> response;
    request->responseAsString([&](const DataResponse<std::string>& r) { response = r; });
    EXPECT_TRUE(waitUntil([&] { return response.has_value(); }, 20));
    return response.value_or(DataResponse<std::string>{
        {}, nullptr, {}, nullptr, 0, std::unexpected(HalyardError::explicitlyCancelled())});
  }

  std::vector<Capture> received() { return server_.captures(); }
  std::string method(std::size_t index) {
    const auto line = received().at(index).requestLine;
    return line.substr(0, line.find(' '));
  }
  std::string header(std::size_t index, const std::string& name) {
    return received().at(index).header(name).value_or("");
  }

  // A form with a field, a file and a stream, under a fixed boundary.
  std::shared_ptr<MultipartFormData> makeForm() {
    const std::string path = directory_.path() + "/photo.png";
    std::ofstream(path, std::ios::binary) << patternedText(3000);
    auto form = std::make_shared<MultipartFormData>(nullptr, kBoundary);
    form->appendData(bytes("Tovarine"), "name");
    form->appendFile(URL::fileURLWithPath(path, false), "picture");
    form->appendStreamNamed(platform::InputStream::withData(bytes(patternedText(500))), 500, "log",
                            "log.txt", "text/plain");
    return form;
  }

  // What `makeForm` encodes to.
  std::string expectedFormBody() {
    MultipartFormData form(nullptr, kBoundary);
    form.appendData(bytes("Tovarine"), "name");
    form.appendData(bytes(patternedText(3000)), "picture", std::string("photo.png"),
                    std::string("image/png"));
    form.appendData(bytes(patternedText(500)), "log", std::string("log.txt"),
                    std::string("text/plain"));
    const Bytes body = form.encodeAll();
    return std::string(body.begin(), body.end());
  }

  testsupport::TemporaryDirectory directory_;
  halyardtest::RawCaptureServer server_;
  std::shared_ptr<Session> session_ = Session::initWithConfiguration();
};

TEST_F(UploadITest, DataBodyArrivesWholeAndUploadProgressReachesTheEnd) {
  const std::string body = patternedText(250000);
  auto request = session_->makeDataUploadToURL(bytes(body), url());
  std::atomic<std::int64_t> lastCompleted{0}, lastTotal{0};
  request->setUploadProgressHandler(platform::DispatchQueue::main(),
                                    [&](const halyard::ProgressPtr& progress) {
                                      lastCompleted = progress->completedUnitCount();
                                      lastTotal = progress->totalUnitCount();
                                    });
  const auto response = awaitString(request);
  ASSERT_TRUE(response.result) << response.result.error().debugDescription();
  EXPECT_EQ(*response.result, "got 250000");
  ASSERT_EQ(received().size(), 1u);
  EXPECT_EQ(method(0), "POST");
  EXPECT_TRUE(sameBody(received()[0].body, body));
  EXPECT_TRUE(waitUntil([&] { return lastCompleted.load() == 250000; }));
  EXPECT_EQ(lastTotal.load(), 250000);
}

TEST_F(UploadITest, FileBodyIsSentAndTheCallersFileStays) {
  const std::string path = directory_.path() + "/body.bin";
  const std::string body = patternedText(123456);
  std::ofstream(path, std::ios::binary) << body;
  auto request = session_->makeFileUploadToURL(URL::fileURLWithPath(path, false), url(),
                                               halyard::HTTPMethod::PUT);
  const auto response = awaitString(request);
  ASSERT_TRUE(response.result);
  EXPECT_EQ(method(0), "PUT");
  EXPECT_TRUE(sameBody(received()[0].body, body));
  EXPECT_TRUE(std::filesystem::exists(path));
}

TEST_F(UploadITest, StreamBodyIsSentChunked) {
  const std::string body = patternedText(40000);
  auto monitor = std::make_shared<halyardtest::RecordingMonitor>();
  session_ = Session::initWithConfiguration(Session::defaultConfiguration(), nullptr, nullptr, true,
                                            nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                            {monitor});
  auto request =
      session_->makeStreamUploadToURL(platform::InputStream::withData(bytes(body)), url());
  const auto response = awaitString(request);
  ASSERT_TRUE(response.result) << response.result.error().debugDescription();
  EXPECT_TRUE(sameBody(received()[0].body, body));
  EXPECT_EQ(header(0, "Transfer-Encoding"), "chunked");
  // The body is made before the final URL request, and the stream handed over after. Monitors
  // hear of events on their own queue, so the last one may still be on its way.
  ASSERT_TRUE(
      halyardtest::waitUntil([&] { return monitor->contains("requestDidProvideInputStream"); }));
  const auto events = monitor->events();
  const auto uploadable = std::find(events.begin(), events.end(), "requestDidCreateUploadable");
  const auto urlRequest = std::find(events.begin(), events.end(), "requestDidCreateURLRequest");
  const auto stream = std::find(events.begin(), events.end(), "requestDidProvideInputStream");
  ASSERT_NE(uploadable, events.end());
  ASSERT_NE(stream, events.end());
  EXPECT_LT(uploadable, urlRequest);
  EXPECT_LT(urlRequest, stream);
}

TEST_F(UploadITest, AStreamIsNotSentAgainShortOnARetry) {
  server_.failFirst = true;
  auto request = session_->makeStreamUploadToURL(
      platform::InputStream::withData(bytes(patternedText(1000))), url(), halyard::HTTPMethod::POST,
      std::nullopt, std::make_shared<RetryOnce>());
  request->validateStatusCodes(halyard::StatusCodeRange{200, 300});
  const auto response = awaitString(request);
  ASSERT_FALSE(response.result);
  const auto* failed = response.result.error().as<HalyardError::SessionTaskFailed>();
  ASSERT_NE(failed, nullptr) << response.result.error().debugDescription();
  const auto* urlError = dynamic_cast<const platform::URLError*>(failed->error.get());
  ASSERT_NE(urlError, nullptr);
  EXPECT_EQ(urlError->code(), platform::URLError::Code::requestBodyStreamExhausted);
  EXPECT_EQ(request->retryCount(), 1);
  ASSERT_EQ(received().size(), 1u);  // the second attempt never went out
}

TEST_F(UploadITest, MultipartBodyInMemoryIsTheFormByteForByte) {
  auto request = session_->makeMultipartUpload(makeForm(), halyard::makeURLRequestConvertible([&] {
                                                 platform::URLRequest r(*URL::fromString(url()));
                                                 r.httpMethod = "POST";
                                                 return r;
                                               }()));
  const auto response = awaitString(request);
  ASSERT_TRUE(response.result) << response.result.error().debugDescription();
  EXPECT_EQ(header(0, "Content-Type"), "multipart/form-data; boundary=" + kBoundary);
  EXPECT_TRUE(sameBody(received()[0].body, expectedFormBody()));
  EXPECT_TRUE(std::holds_alternative<Uploadable::Data>(request->uploadable()->storage));
}

TEST_F(UploadITest, MultipartBodyThroughAFileIsTheSameAndTheFileGoesAfterwards) {
  // A threshold of the form's exact length sends it through a file.
  const auto form = makeForm();
  const std::uint64_t length = form->totalBodyLength();
  auto request = session_->makeMultipartUploadToURL(form, url(), length);
  const auto response = awaitString(request);
  ASSERT_TRUE(response.result) << response.result.error().debugDescription();
  EXPECT_TRUE(sameBody(received()[0].body, expectedFormBody()));
  ASSERT_TRUE(std::holds_alternative<Uploadable::File>(request->uploadable()->storage));
  EXPECT_TRUE(waitUntil([&] { return std::filesystem::is_empty(bodyDirectory()); }));
}

TEST_F(UploadITest, ARetriedMultipartUploadSendsTheSameFileAndRemovesItAtTheEnd) {
  server_.failFirst = true;
  const auto form = makeForm();
  auto request = session_->makeMultipartUploadToURL(form, url(), 1, halyard::HTTPMethod::POST,
                                                    std::nullopt, std::make_shared<RetryOnce>());
  request->validateStatusCodes(halyard::StatusCodeRange{200, 300});
  const auto response = awaitString(request);
  ASSERT_TRUE(response.result) << response.result.error().debugDescription();
  ASSERT_EQ(received().size(), 2u);
  EXPECT_TRUE(sameBody(received()[0].body, expectedFormBody()));
  EXPECT_TRUE(sameBody(received()[1].body, expectedFormBody()));
  EXPECT_TRUE(waitUntil([&] { return std::filesystem::is_empty(bodyDirectory()); }));
}

TEST_F(UploadITest, BuiltFormsGetAFreshBoundary) {
  auto request = session_->makeBuiltMultipartUploadToURL(
      [](MultipartFormData& form) { form.appendData(bytes("v"), "k"); }, url());
  const auto response = awaitString(request);
  ASSERT_TRUE(response.result);
  const std::string contentType = header(0, "Content-Type");
  ASSERT_TRUE(contentType.starts_with("multipart/form-data; boundary=halyard.boundary."));
  const std::string boundary = contentType.substr(contentType.find('=') + 1);
  EXPECT_EQ(received()[0].body,
            "--" + boundary + "\r\nContent-Disposition: form-data; name=\"k\"\r\n\r\nv\r\n--" +
                boundary + "--\r\n");
}

TEST_F(UploadITest, EveryAttemptsBodyFileIsRemovedAlsoWhenTheRetrysBodyFails) {
  server_.failFirst = true;
  const std::string path = directory_.path() + "/attempt-one.body";
  std::ofstream(path) << "first attempt";
  auto upload = std::make_shared<Session::Upload>(
      halyard::makeURLRequestConvertible([&] {
        platform::URLRequest r(*URL::fromString(url()));
        r.httpMethod = "POST";
        return r;
      }()),
      std::make_shared<OnceThenFailing>(URL::fileURLWithPath(path, false)));
  auto request = session_->makeUploadRequest(upload, std::make_shared<RetryOnce>());
  request->validateStatusCodes(halyard::StatusCodeRange{200, 300});
  const auto response = awaitString(request);
  ASSERT_FALSE(response.result);
  EXPECT_TRUE(response.result.error().isCreateUploadableFailed())
      << response.result.error().debugDescription();
  EXPECT_TRUE(waitUntil([&] { return !std::filesystem::exists(path); }));
}

TEST_F(UploadITest, DeflatedBodiesInflateOnTheServer) {
  session_ = Session::initWithConfiguration(Session::defaultConfiguration(), nullptr, nullptr, true,
                                            nullptr, nullptr,
                                            std::make_shared<halyard::DeflateRequestCompressor>());
  const std::string text = patternedText(20000);
  auto request = session_->makeDataRequest(
      *URL::fromString(url()), halyard::HTTPMethod::POST, std::nullopt, nullptr,
      [&](platform::URLRequest& r) { r.httpBody = bytes(text); });
  std::optional<DataResponse<std::string>> response;
  request->responseAsString([&](const auto& r) { response = r; });
  ASSERT_TRUE(waitUntil([&] { return response.has_value(); }));
  ASSERT_TRUE(response->result);
  const auto seen = received()[0];
  EXPECT_EQ(seen.header("Content-Encoding"), "deflate");
  ASSERT_GT(seen.body.size(), 6u);
  EXPECT_EQ(static_cast<unsigned char>(seen.body[0]), 0x78);
  EXPECT_EQ(static_cast<unsigned char>(seen.body[1]), 0x5E);
  Bytes inflated(text.size() + 1);
  uLongf length = inflated.size();
  ASSERT_EQ(uncompress(inflated.data(), &length, reinterpret_cast<const Bytef*>(seen.body.data()),
                       seen.body.size()),
            Z_OK);
  EXPECT_EQ(std::string(inflated.begin(), inflated.begin() + long(length)), text);

  // An empty body is the zlib rendering of nothing.
  response.reset();
  session_
      ->makeDataRequest(*URL::fromString(url()), halyard::HTTPMethod::POST, std::nullopt, nullptr,
                        [](platform::URLRequest& r) { r.httpBody = Bytes{}; })
      ->responseAsString([&](const auto& r) { response = r; });
  ASSERT_TRUE(waitUntil([&] { return response.has_value(); }));
  EXPECT_EQ(received()[1].body, std::string("\x78\x5E\x03\x00\x00\x00\x00\x01", 8));
}

}  // namespace
