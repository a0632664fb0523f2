#pragma once

#include <expected>
#include <functional>
#include <memory>

#include "app/service/api_service_error.h"
#include "app/service/api_service_manager.h"
#include "app/service/download_status.h"
#include "app/update/versioning.h"
#include "halyard/core/halyard_error.h"
#include "platform/net/progress.h"

namespace app {

// The update server as the splash screen sees it. Each operation answers exactly once, on the
// main queue.
class UpdatorCloudProtocol {
 public:
  using VersioningResult = std::expected<VersioningPtr, std::shared_ptr<const ApiServiceError>>;
  using DownloadResult = std::expected<DownloadStatus, halyard::HalyardError>;
  using ProgressHandler = std::function<void(const std::shared_ptr<const platform::Progress>&)>;

  virtual ~UpdatorCloudProtocol() = default;

  // The update description; null when the server describes none.
  virtual void getVersioning(std::function<void(VersioningResult)> completion) = 0;
  // The installer: progress to `onProgress` as it comes, then `completed` (the file) or the
  // failure.
  virtual void downloadFileVersioning(ProgressHandler onProgress,
                                      std::function<void(DownloadResult)> completion) = 0;
};

using UpdatorCloudPtr = std::shared_ptr<UpdatorCloudProtocol>;

class UpdatorNetwork final : public UpdatorCloudProtocol {
 public:
  explicit UpdatorNetwork(APIServiceManagerPtr apiService) : apiService_(std::move(apiService)) {}

  const APIServiceManagerPtr& apiService() const { return apiService_; }

  void getVersioning(std::function<void(VersioningResult)> completion) override;
  void downloadFileVersioning(ProgressHandler onProgress,
                              std::function<void(DownloadResult)> completion) override;

 private:
  APIServiceManagerPtr apiService_;
};

}  // namespace app
