#pragma once

#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "app/service/download_status.h"
#include "halyard/core/halyard_error.h"
#include "halyard/core/session.h"
#include "halyard/core/url_convertible.h"

namespace app {

// Fetches the installer disk image. Reports arrive on the main queue: any number of
// `progress`, then exactly one `completedData` (the whole, validated content) or one failure.
// A download is accepted only with a status from 200 to 299 and a body that is not empty, and
// it is bounded by an idle time-out rather than a total one, so a large image can finish.
class InstallerDownloader {
 public:
  using Report = std::expected<DownloadStatus, halyard::HalyardError>;
  using ReportHandler = std::function<void(Report)>;

  virtual ~InstallerDownloader() = default;
  // `request` yields the URL request of the installer (it may throw, which fails the download).
  virtual void download(halyard::URLRequestConvertiblePtr request, ReportHandler report) = 0;
};

using InstallerDownloaderPtr = std::shared_ptr<InstallerDownloader>;

// The installer download over an HTTP session: the file goes to `installerDestination` (its
// folder made, an older file replaced), is read into memory and handed on. An answer outside
// 200...299 fails the download and leaves no file behind, so an error page never takes the
// installer's place.
InstallerDownloaderPtr makeHalyardInstallerDownloader(halyard::SessionPtr session);

// Where a downloaded installer is kept before the user chooses its place: the application's
// own folder in the user's caches folder ($XDG_CACHE_HOME/tovarine, ~/.cache/tovarine), under
// the server's suggested name reduced to a plain file name. A name that is empty, hidden or
// made only of dots becomes "Tovarine.dmg", so nothing from the server can lead outside that
// folder.
std::filesystem::path installerCacheFolder();
std::string safeInstallerFileName(std::string_view suggestedName);
std::filesystem::path installerDestination(std::string_view suggestedName);

}  // namespace app
