#pragma once

#include <any>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "app/service/api_service_error.h"
#include "app/service/custom_cache.h"
#include "app/service/download_status.h"
#include "app/service/installer_downloader.h"
#include "app/update/updator_router.h"
#include "app/update/versioning.h"
#include "halyard/core/data_request.h"
#include "halyard/core/session.h"
#include "imagecache/auto_purging_image_cache.h"
#include "imagecache/image_downloader.h"

namespace app {

// What a keeper of cached responses offers; nothing asks it for anything yet.
class ResponseCacheKeeper {
 public:
  virtual ~ResponseCacheKeeper() = default;
};

// The application's one door to the update server: it owns the HTTP sessions, an expiring
// response cache and an image cache, builds the requests and turns their outcomes into what
// the update client expects. Completions run on the main queue.
class APIServiceManager : public ResponseCacheKeeper,
                          public std::enable_shared_from_this<APIServiceManager> {
 public:
  using ErrorHandler = std::function<void(const halyard::HalyardError&, const APIResource&)>;
  using VersioningResult = std::expected<VersioningPtr, std::shared_ptr<const ApiServiceError>>;
  using DownloadReport = InstallerDownloader::Report;

  // Makes the installer downloader over the session meant for transfers.
  using InstallerDownloaderFactory =
      std::function<InstallerDownloaderPtr(const halyard::SessionPtr& transferSession)>;

  // Without a factory the installer is downloaded over the transfer session; when a factory
  // makes no downloader, installer downloads fail at once.
  static std::shared_ptr<APIServiceManager> make(
      InstallerDownloaderFactory makeInstallerDownloader = nullptr);

  const std::shared_ptr<CustomCache<std::string, std::any>>& cache() const { return cache_; }
  const std::shared_ptr<imagecache::AutoPurgingImageCache<>>& autoPuringImageCache() const {
    return autoPuringImageCache_;
  }
  // Made on first access with the shared downloader's settings; the application never asks for
  // it, so it is never made.
  const imagecache::ImageDownloaderPtr& imageDownloader();
  // The session of the update description: at most 30 seconds for the whole exchange.
  const halyard::SessionPtr& session() const { return session_; }
  // The session installer transfers may use: the same, but bounded only by 30 idle seconds.
  const halyard::SessionPtr& transferSession() const { return transferSession_; }
  const InstallerDownloaderPtr& installerDownloader() const { return installerDownloader_; }

  // Called with every failure before the caller's completion; does nothing by default.
  void setErrorHandler(ErrorHandler handler) { errorHandler_ = std::move(handler); }

  // GET of the router's resource, validated (status 200 to 299), its text printed on one
  // console line and its body decoded as an optional `Versioning`.
  halyard::DataRequestPtr requestDecodable(UpdatorCloudCommonRouter router,
                                           std::shared_ptr<halyard::RequestInterceptor> interceptor,
                                           std::function<void(VersioningResult)> completion);

  // The installer, through the installer downloader: progress reports, then the content or a
  // failure (passed to the error handler first).
  void download(UpdatorCloudCommonRouter router, std::function<void(DownloadReport)> completion);

 private:
  APIServiceManager();

  std::shared_ptr<CustomCache<std::string, std::any>> cache_;
  ErrorHandler errorHandler_;
  std::shared_ptr<imagecache::AutoPurgingImageCache<>> autoPuringImageCache_;
  std::once_flag imageDownloaderOnce_;
  imagecache::ImageDownloaderPtr imageDownloader_;
  halyard::SessionPtr session_;
  halyard::SessionPtr transferSession_;
  InstallerDownloaderPtr installerDownloader_;
};

using APIServiceManagerPtr = std::shared_ptr<APIServiceManager>;

}  // namespace app
