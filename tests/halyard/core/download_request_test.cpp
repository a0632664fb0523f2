#include "halyard/core/download_request.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "halyard/support/fake_request_delegate.h"
#include "halyard/support/recording_monitor.h"
#include "halyard/support/wait.h"
#include "platform/net/url_error.h"

namespace {

using halyard::DownloadRequest;
using halyard::HalyardError;
using Options = DownloadRequest::Options;
using platform::URL;

std::shared_ptr<DownloadRequest> makeRequest(
    const std::shared_ptr<halyardtest::FakeRequestDelegate>& delegate,
    halyard::EventMonitorPtr monitor = nullptr) {
  auto queue = platform::DispatchQueue::serial("test.download.underlying");
  return std::make_shared<DownloadRequest>(
      halyard::RequestContext{platform::UUID(), queue,
                              platform::DispatchQueue::serial("test.download.serialization", queue),
                              std::move(monitor), nullptr, delegate},
      DownloadRequest::Downloadable::request(halyard::makeURLRequestConvertible(
          platform::URLRequest(*URL::fromString("http://127.0.0.1/file")))),
      DownloadRequest::makeSuggestedDestination());
}

platform::HTTPURLResponsePtr responseWithDisposition(const std::string& disposition,
                                                     const std::string& url) {
  return std::make_shared<const platform::HTTPURLResponse>(
      *URL::fromString(url), 200, "HTTP/1.1",
      platform::HTTPHeaderFields{{"Content-Disposition", disposition}});
}

TEST(DownloadRequestOptions, AreABitSet) {
  const Options create = Options::createParentDirectories();
  const Options replace = Options::replaceExistingFile();
  EXPECT_EQ(create.rawValue, 1);
  EXPECT_EQ(replace.rawValue, 2);
  const Options both = Options::fromList({create, replace});
  EXPECT_EQ(both.rawValue, 3);
  EXPECT_TRUE(both.contains(create));
  EXPECT_FALSE(create.contains(replace));
  EXPECT_TRUE(Options().isEmpty());
  EXPECT_EQ(both.subtracting(create), replace);
  EXPECT_EQ(both.symmetricDifference(create), replace);
  EXPECT_EQ(create.unionWith(replace), both);
  EXPECT_TRUE(create.isSubset(both));
  EXPECT_TRUE(both.isSuperset(replace));
  EXPECT_TRUE(create.isDisjoint(replace));
  // Other bits are kept as given.
  EXPECT_EQ(Options{0x10}.unionWith(create).rawValue, 0x11);

  Options options = create;
  EXPECT_EQ(options.remove(replace), std::nullopt);
  EXPECT_EQ(options.update(both), create);  // the bits that were there already
  EXPECT_EQ(options, both);
  EXPECT_EQ(options.remove(Options{6}), replace);
  EXPECT_EQ(options, create);
}

TEST(DownloadRequestDestination, ServerNamesCannotLeaveTheDirectory) {
  EXPECT_EQ(DownloadRequest::safeFileName("installer.dmg"), "installer.dmg");
  EXPECT_EQ(DownloadRequest::safeFileName("../../etc/passwd"), "passwd");
  EXPECT_EQ(DownloadRequest::safeFileName("..\\..\\boot.ini"), "boot.ini");
  EXPECT_EQ(DownloadRequest::safeFileName(".."), "Unknown");
  EXPECT_EQ(DownloadRequest::safeFileName("."), "Unknown");
  EXPECT_EQ(DownloadRequest::safeFileName("folder/"), "Unknown");
  EXPECT_EQ(DownloadRequest::safeFileName(""), "Unknown");
  EXPECT_EQ(DownloadRequest::safeFileName(std::string("a\0b", 3)), "Unknown");
  EXPECT_EQ(DownloadRequest::safeFileName(".hidden"), ".hidden");
}

TEST(DownloadRequestDestination, SuggestedDestinationIsTheFirstDirectoryAndTheSuggestedName) {
  const char* old = std::getenv("XDG_CACHE_HOME");
  const std::string saved = old ? old : "";
  setenv("XDG_CACHE_HOME", "/caches/of/someone", 1);
  const URL temporary = URL::fileURLWithPath("/tmp/download-abc", false);

  const auto destination = DownloadRequest::makeSuggestedDestination(
      platform::SearchPathDirectory::cachesDirectory, platform::SearchPathDomainMask::user,
      Options::fromList({Options::replaceExistingFile()}));
  auto result =
      destination(temporary, responseWithDisposition("attachment; filename=\"Tovarine 2.dmg\"",
                                                     "http://127.0.0.1/download"));
  EXPECT_EQ(result.destinationURL.path(), "/caches/of/someone/Tovarine 2.dmg");
  EXPECT_EQ(result.options, Options::replaceExistingFile());

  result = destination(temporary, responseWithDisposition("attachment; filename=\"../../x.sh\"",
                                                          "http://127.0.0.1/a"));
  EXPECT_EQ(result.destinationURL.path(), "/caches/of/someone/x.sh");
  result = destination(
      temporary, responseWithDisposition("attachment; filename=\"..\"", "http://127.0.0.1/%2E%2E"));
  EXPECT_EQ(result.destinationURL.path(), "/caches/of/someone/Unknown");

  // A directory that names no place: the file stays beside its temporary file (at the
  // temporary location itself it would be removed after the transfer).
  const auto nowhere = DownloadRequest::makeSuggestedDestination(
      static_cast<platform::SearchPathDirectory>(1), platform::SearchPathDomainMask::user,
      Options::createParentDirectories());
  result = nowhere(temporary, responseWithDisposition("attachment", "http://127.0.0.1/f.bin"));
  EXPECT_EQ(result.destinationURL.path(), "/tmp/Halyard_download-abc");
  EXPECT_EQ(result.options, Options::createParentDirectories());

  if (old) {
    setenv("XDG_CACHE_HOME", saved.c_str(), 1);
  } else {
    unsetenv("XDG_CACHE_HOME");
  }
}

TEST(DownloadRequestCancel, CancellingBeforeATaskExistsCompletesOnceWithTheCancellation) {
  auto delegate = std::make_shared<halyardtest::FakeRequestDelegate>();
  auto monitor = std::make_shared<halyardtest::RecordingMonitor>();
  auto request = makeRequest(delegate, monitor);
  std::optional<halyard::DownloadResponse<std::optional<URL>>> response;
  request->responseUnserialized(platform::DispatchQueue::main(),
                                [&](const auto& delivered) { response = delivered; });
  std::atomic<int> resumeDataCalls{0};
  request->cancelWithResumeDataHandler([&](const auto&) { ++resumeDataCalls; });
  request->cancelProducingResumeData(true);  // a second cancellation does nothing
  EXPECT_EQ(request->state(), DownloadRequest::State::cancelled);
  ASSERT_TRUE(halyardtest::waitUntil([&] { return response.has_value(); }));
  ASSERT_FALSE(response->result);
  EXPECT_TRUE(response->result.error().isExplicitlyCancelled());
  EXPECT_FALSE(response->resumeData);
  EXPECT_FALSE(response->fileURL);
  EXPECT_EQ(response->serializationDuration, 0);
  EXPECT_EQ(resumeDataCalls.load(), 0);
  const auto events = monitor->events();
  EXPECT_EQ(std::count(events.begin(), events.end(), "requestDidCancel"), 1);
}

TEST(DownloadRequestResumeData, ComesFromTheErrorWhenNoneWasStored) {
  auto request = makeRequest(std::make_shared<halyardtest::FakeRequestDelegate>());
  EXPECT_FALSE(request->resumeData());
  const platform::Bytes data = {1, 2, 3};
  request->setError(HalyardError::sessionTaskFailed(platform::makeError(
      platform::URLError(platform::URLError::Code::networkConnectionLost).withResumeData(data))));
  EXPECT_EQ(request->resumeData(), data);
  request->setError(HalyardError::explicitlyCancelled());
  EXPECT_FALSE(request->resumeData());
}

}  // namespace
