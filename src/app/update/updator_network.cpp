#include "app/update/updator_network.h"

#include "app/update/checked_continuation.h"
#include "app/update/updator_router.h"
#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/log.h"

namespace app {

void UpdatorNetwork::getVersioning(std::function<void(VersioningResult)> completion) {
  if (updateServerBaseURL().empty()) {
    // A build without an update server has nothing to ask: that is "no update", not a failed
    // request, and it is said once.
    platform::print("No update server configured; the update check is skipped.");
    platform::DispatchQueue::main()->async(
        [completion = std::move(completion)] { completion(VersioningPtr{}); });
    return;
  }
  CheckedContinuation<VersioningResult> continuation("getVersioning()", std::move(completion));
  apiService_->requestDecodable(UpdatorCloudCommonRouter::getVersioning, nullptr,
                                [continuation](APIServiceManager::VersioningResult result) {
                                  continuation.resume(std::move(result));
                                });
}

void UpdatorNetwork::downloadFileVersioning(ProgressHandler onProgress,
                                            std::function<void(DownloadResult)> completion) {
  CheckedContinuation<DownloadResult> continuation("downloadFileVersioning(of:)",
                                                   std::move(completion));
  apiService_->download(
      UpdatorCloudCommonRouter::downloadFileVersioning,
      [continuation, onProgress = std::move(onProgress)](APIServiceManager::DownloadReport report) {
        if (!report) {
          continuation.resume(std::unexpected(report.error()));
          return;
        }
        if (auto progress = report->as<DownloadStatus::Progress>()) {
          if (onProgress) onProgress(progress->progress);
        } else if (report->as<DownloadStatus::CompletedData>()) {
          continuation.resume(std::move(*report));
        }
        // `completed` and `started` are not reports this layer makes; nothing waits on them.
      });
}

}  // namespace app
