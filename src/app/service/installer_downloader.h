#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "app/service/download_status.h"
#include "app/service/free_space.h"
#include "halyard/core/halyard_error.h"
#include "halyard/core/session.h"
#include "halyard/core/url_convertible.h"

namespace app {

// Fetches the installer disk image. Reports arrive on the main queue: any number of
// `progress`, then exactly one `completed` (the file in the caches folder, never read into
// memory) or one failure. A download is accepted only with a status from 200 to 299 and a
// body that is not empty; it is bounded by size, free disk space and a minimum rate rather
// than by a total time, so a large image can finish and a hostile server cannot fill the disk
// or keep the download going for ever.
class InstallerDownloader {
 public:
  using Report = std::expected<DownloadStatus, halyard::HalyardError>;
  using ReportHandler = std::function<void(Report)>;

  virtual ~InstallerDownloader() = default;
  // `request` yields the URL request of the installer (it may throw, which fails the download).
  virtual void download(halyard::URLRequestConvertiblePtr request, ReportHandler report) = 0;
};

using InstallerDownloaderPtr = std::shared_ptr<InstallerDownloader>;

// How far an installer download may go.
struct InstallerLimits {
  // No installer is larger: a larger declared length fails at once, and a body that grows past
  // it (counted once decoded) fails as soon as it does.
  std::int64_t maximumBytes = std::int64_t(2) << 30;
  // A download slower than this for `lowSpeedSeconds` seconds in a row fails.
  std::int64_t minimumBytesPerSecond = 1024;
  long lowSpeedSeconds = 30;
  // Left free on the disks the installer is written to, beyond what it still needs.
  std::uint64_t freeSpaceReserve = std::uint64_t(64) << 20;
  // The free bytes of the file system holding a path, absent when unknown; the system's
  // figure for unprivileged users when not set.
  FreeSpaceSource freeBytes;
};

// The failure of a download that found no room for the installer.
class InstallerSpaceShortage final : public platform::Error {
 public:
  explicit InstallerSpaceShortage(SpaceShortage shortage) : shortage_(std::move(shortage)) {}
  const SpaceShortage& shortage() const { return shortage_; }
  std::string localizedDescription() const override;

 private:
  SpaceShortage shortage_;
};

// The shortage a download failed on, when it failed for want of room.
std::optional<SpaceShortage> spaceShortage(const halyard::HalyardError& error);

// The bounds of `limits` that the transfer itself enforces, set on a session configuration.
void applyInstallerLimits(platform::URLSessionConfiguration& configuration,
                          const InstallerLimits& limits);

// The installer download over an HTTP session (configured with `applyInstallerLimits`): the
// file goes to `installerDestination` (its folder made, an older file replaced) and is handed
// on by its location. Free space is checked before the download and at every report of
// progress. An answer outside 200...299, or one the limits refuse, fails the download and
// leaves no file behind, so an error page never takes the installer's place.
InstallerDownloaderPtr makeHalyardInstallerDownloader(halyard::SessionPtr session);
InstallerDownloaderPtr makeBoundedInstallerDownloader(halyard::SessionPtr session,
                                                      InstallerLimits limits);

// Where a downloaded installer is kept before the user chooses its place: the application's
// own folder in the user's caches folder ($XDG_CACHE_HOME/tovarine, ~/.cache/tovarine), under
// the server's suggested name reduced to a plain file name. A name that is empty, hidden or
// made only of dots becomes "Tovarine.deb", so nothing from the server can lead outside that
// folder.
std::filesystem::path installerCacheFolder();
std::string safeInstallerFileName(std::string_view suggestedName);
std::filesystem::path installerDestination(std::string_view suggestedName);

}  // namespace app
