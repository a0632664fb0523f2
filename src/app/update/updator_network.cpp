#include "app/update/updator_network.h"

#include "app/update/updator_router.h"
#include "platform/concurrency/checked_continuation.h"
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
  platform::CheckedContinuation<VersioningResult> continuation("getVersioning()",
                                                               std::move(completion));
  apiService_->requestDecodable(UpdatorCloudCommonRouter::getVersioning, nullptr,
                                [continuation](APIServiceManager::VersioningResult result) {
                                  continuation.resume(std::move(result));
                                });
}

void UpdatorNetwork::downloadFileVersioning(ProgressHandler onProgress,
                                            std::function<void(DownloadResult)> completion) {
  platform::CheckedContinuation<DownloadResult> continuation("downloadFileVersioning(of:)",
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
        } else if (report->as<DownloadStatus::Completed>()) {
          continuation.resume(std::move(*report));
        }
        // The installer is never handed on in memory (`completedData`), and `started` is not a
        // report this layer makes; nothing waits on them.
      });
}

}  // namespace app
