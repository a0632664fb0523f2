#include "app/service/api_service_manager.h"

#include <algorithm>
#include <filesystem>

#include "app/service/api_request.h"
#include "app/service/console_excerpt.h"
#include "halyard/core/halyard_info.h"
#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/log.h"

namespace app {
namespace {

constexpr double kDescriptionTimeout = 30.0;
// The description is a small JSON document; anything past this, once decoded, is refused.
constexpr std::int64_t kDescriptionMaximumBytes = 1 << 20;
constexpr std::size_t kResponseLineExcerpt = 120;
constexpr std::uint64_t kImageCacheCapacity = 500'000'000;
constexpr std::uint64_t kImageCachePreferredUsage = 400'000'000;

class NoInstallerDownloadError final : public platform::Error {
 public:
  std::string localizedDescription() const override {
    return "No installer downloader was set up.";
  }
};

halyard::SessionPtr makeSession(bool boundTotalTime) {
  auto configuration = halyard::Session::defaultConfiguration();
  configuration.requestCachePolicy =
      platform::URLRequest::CachePolicy::reloadIgnoringLocalCacheData;
  configuration.timeoutIntervalForRequest = kDescriptionTimeout;
  // A large installer may take longer than any fixed total; it only must not stall.
  if (boundTotalTime) {
    configuration.timeoutIntervalForResource = kDescriptionTimeout;
    configuration.maximumBodyBytes = kDescriptionMaximumBytes;
  } else {
    applyInstallerLimits(configuration, InstallerLimits());
  }
  auto rootQueue =
      platform::DispatchQueue::serial(halyard::HalyardInfo::labelPrefix + ".session.rootQueue");
  return halyard::Session::initWithConfiguration(
      std::move(configuration), std::make_shared<halyard::SessionDelegate>(), std::move(rootQueue),
      true, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, {});
}

}  // namespace

APIServiceManager::APIServiceManager()
    : cache_(std::make_shared<CustomCache<std::string, std::any>>(
          std::make_shared<CustomCache<std::string, std::any>::Storage>(false))),
      errorHandler_([](const halyard::HalyardError&, const APIResource&) {}),
      autoPuringImageCache_(imagecache::AutoPurgingImageCache<>::make(kImageCacheCapacity,
                                                                      kImageCachePreferredUsage)),
      session_(makeSession(true)),
      transferSession_(makeSession(false)) {}

std::shared_ptr<APIServiceManager> APIServiceManager::make(
    InstallerDownloaderFactory makeInstallerDownloader) {
  auto manager = std::shared_ptr<APIServiceManager>(new APIServiceManager());
  if (!makeInstallerDownloader) makeInstallerDownloader = makeHalyardInstallerDownloader;
  manager->installerDownloader_ = makeInstallerDownloader(manager->transferSession_);
  return manager;
}

const imagecache::ImageDownloaderPtr& APIServiceManager::imageDownloader() {
  std::call_once(imageDownloaderOnce_, [this] {
    imageDownloader_ = imagecache::ImageDownloader::initWithConfiguration(
        imagecache::ImageDownloader::defaultURLSessionConfiguration(),
        imagecache::ImageDownloader::DownloadPrioritization::fifo, 4,
        imagecache::ImageDownloader::defaultImageCache());
  });
  return imageDownloader_;
}

halyard::DataRequestPtr APIServiceManager::requestDecodable(
    UpdatorCloudCommonRouter router, std::shared_ptr<halyard::RequestInterceptor> interceptor,
    std::function<void(VersioningResult)> completion) {
  auto resource = std::make_shared<const UpdatorCloudCommonResource>(router);
  auto request = session_->makeDataRequest(std::make_shared<const APIRequest>(resource),
                                           std::move(interceptor));
  const auto main = platform::DispatchQueue::main();
  const auto passthrough = std::make_shared<const halyard::PassthroughPreprocessor>();
  const auto& emptyCodes = halyard::ResponseSerializer::standardEmptyResponseCodes();
  const auto& emptyMethods = halyard::ResponseSerializer::standardEmptyRequestMethods();

  request->validateStatusAndContentType();
  request->responseAsString(
      main, passthrough, std::nullopt, emptyCodes, emptyMethods,
      [](const halyard::DataResponse<std::string>& response) {
        // One short console line, whatever the server sent: of a
        // body, only its start.
        platform::print(consoleExcerpt(response.description(), kResponseLineExcerpt));
      });
  std::weak_ptr<APIServiceManager> weakSelf = weak_from_this();
  request->responseAsDecodable<std::optional<Versioning>>(
      main, passthrough, platform::JSONDecoder(), emptyCodes, emptyMethods,
      [weakSelf, resource, completion = std::move(completion)](
          const halyard::DataResponse<std::optional<Versioning>>& response) {
        if (response.result) {
          const auto& value = *response.result;
          completion(value ? std::make_shared<const Versioning>(*value) : VersioningPtr());
          return;
        }
        const halyard::HalyardError& error = response.result.error();
        if (auto self = weakSelf.lock()) self->errorHandler_(error, *resource);
        std::optional<int> apiCode;
        if (auto code = error.rejectedStatusCode()) apiCode = static_cast<int>(*code);
        completion(std::unexpected(std::make_shared<const ApiServiceError>(
            resource, apiCode, error.debugDescription(), failureKind(error))));
      });
  return request;
}

void APIServiceManager::download(UpdatorCloudCommonRouter router,
                                 std::function<void(DownloadReport)> completion) {
  auto resource = std::make_shared<const UpdatorCloudCommonResource>(router);
  std::weak_ptr<APIServiceManager> weakSelf = weak_from_this();
  auto deliver = [weakSelf, resource, completion = std::move(completion)](DownloadReport report) {
    // An empty image is never handed on as an installer, whoever fetched it.
    if (report) {
      bool empty = false;
      if (auto done = report->as<DownloadStatus::Completed>()) {
        std::error_code error;
        empty = std::filesystem::file_size(done->downloadedFileUrl.path(), error) == 0 || error;
      }
      if (empty) {
        report = std::unexpected(halyard::HalyardError::responseSerializationFailed(
            halyard::HalyardError::ResponseSerializationFailureReason::InputDataNilOrZeroLength{}));
      }
    }
    if (!report) {
      if (auto self = weakSelf.lock()) self->errorHandler_(report.error(), *resource);
    }
    completion(std::move(report));
  };
  if (!installerDownloader_) {
    platform::DispatchQueue::main()->async([deliver] {
      deliver(std::unexpected(halyard::HalyardError::createURLRequestFailed(
          platform::makeError(NoInstallerDownloadError()))));
    });
    return;
  }
  installerDownloader_->download(std::make_shared<const APIRequest>(resource), std::move(deliver));
}

}  // namespace app
