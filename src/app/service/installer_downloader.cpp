#include "app/service/installer_downloader.h"

#include <fmt/format.h>
#include <sys/statvfs.h>

#include <string>

#include "halyard/core/download_request.h"
#include "halyard/core/response_serializer.h"
#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/file_manager.h"

namespace app {
namespace {

constexpr const char* kDefaultInstallerName = "Tovarine.deb";
// Longer names are cut; file systems refuse names past 255 bytes.
constexpr std::size_t kMaxFileNameBytes = 200;

// An answer that can be an installer: a success status and a body not declared empty.
bool mayBeInstaller(const platform::HTTPURLResponsePtr& response) {
  return response && response->statusCode() >= 200 && response->statusCode() < 300 &&
         response->expectedContentLength() != 0;
}

// Why a download was given up by this side; it reads as the failure of the installer.
class InstallerRefusal final : public platform::Error {
 public:
  explicit InstallerRefusal(std::string reason) : reason_(std::move(reason)) {}
  std::string localizedDescription() const override { return reason_; }

 private:
  std::string reason_;
};

halyard::HalyardError refusal(std::string reason) {
  return halyard::HalyardError::responseValidationFailed(
      halyard::HalyardError::ResponseValidationFailureReason::CustomValidationFailed{
          platform::makeError(InstallerRefusal(std::move(reason)))});
}

std::optional<std::uint64_t> systemFreeBytes(const std::filesystem::path& path) {
  struct statvfs info {};
  if (::statvfs(path.c_str(), &info) != 0) return std::nullopt;
  return std::uint64_t(info.f_bavail) * std::uint64_t(info.f_frsize);
}

// The path itself, or the nearest folder above it that exists (the caches folder may not yet).
std::filesystem::path existingAncestor(std::filesystem::path path) {
  std::error_code error;
  while (!path.empty() && !std::filesystem::exists(path, error)) {
    if (path == path.parent_path()) break;
    path = path.parent_path();
  }
  return path;
}

// Checks one download against its limits; the first refusal sticks.
class DownloadGuard {
 public:
  explicit DownloadGuard(InstallerLimits limits) : limits_(std::move(limits)) {
    if (!limits_.freeBytes) limits_.freeBytes = systemFreeBytes;
  }

  // Why the download must stop having received `received` of `expected` bytes (expected < 0:
  // not declared), if it must.
  std::optional<std::string> problem(std::int64_t received, std::int64_t expected) const {
    if (expected > limits_.maximumBytes) {
      return fmt::format("The installer is declared as {} bytes, more than the {} allowed.",
                         expected, limits_.maximumBytes);
    }
    if (received > limits_.maximumBytes) {
      return fmt::format("The installer passed the {} bytes allowed.", limits_.maximumBytes);
    }
    if (expected >= 0 && received > expected) {
      return fmt::format("The installer passed its declared length of {} bytes.", expected);
    }
    const std::uint64_t still = expected > received ? std::uint64_t(expected - received) : 0;
    const std::filesystem::path places[] = {
        installerCacheFolder(),
        std::filesystem::path(platform::FileManager::defaultManager()->temporaryDirectory())};
    for (const auto& place : places) {
      const auto free = limits_.freeBytes(existingAncestor(place));
      if (free && *free < still + limits_.freeSpaceReserve) {
        return fmt::format("Not enough free space in {} for the installer ({} bytes free).",
                           place.string(), *free);
      }
    }
    return std::nullopt;
  }

  std::optional<halyard::HalyardError> refused;

 private:
  InstallerLimits limits_;
};

void removeQuietly(const platform::URL& file) {
  try {
    platform::FileManager::defaultManager()->removeItemAtPath(file.path());
  } catch (const platform::FileError&) {
    // Already gone; nothing was left behind.
  }
}

class HalyardInstallerDownloader final : public InstallerDownloader {
 public:
  HalyardInstallerDownloader(halyard::SessionPtr session, InstallerLimits limits)
      : session_(std::move(session)), limits_(std::move(limits)) {}

  void download(halyard::URLRequestConvertiblePtr request, ReportHandler report) override {
    using Options = halyard::DownloadRequest::Options;
    const auto main = platform::DispatchQueue::main();
    auto guard = std::make_shared<DownloadGuard>(limits_);
    // Nothing is fetched onto a disk that is already (nearly) full.
    if (auto problem = guard->problem(0, -1)) {
      main->async([report, problem = *problem] { report(std::unexpected(refusal(problem))); });
      return;
    }
    auto destination = [](const platform::URL& temporaryURL,
                          const platform::HTTPURLResponsePtr& response) {
      // A rejected answer stays beside its temporary file and is removed once the failure is
      // known; only one that may be an installer replaces an installer kept earlier.
      if (!mayBeInstaller(response)) {
        const std::filesystem::path temporary = temporaryURL.path();
        return halyard::DownloadRequest::DestinationResult{
            platform::URL::fileURLWithPath(
                (temporary.parent_path() / ("rejected-" + temporary.filename().string())).string()),
            Options::replaceExistingFile()};
      }
      return halyard::DownloadRequest::DestinationResult{
          platform::URL::fileURLWithPath(
              installerDestination(response->suggestedFilename()).string()),
          Options::fromList({Options::createParentDirectories(), Options::replaceExistingFile()})};
    };
    auto download =
        session_->makeDownloadRequest(std::move(request), nullptr, std::move(destination));
    download->validateStatusCodes(halyard::StatusCodeRange{200, 300});
    download->responseAsURL(
        main, [report, guard](const halyard::DownloadResponse<platform::URL>& response) {
          if (response.result && !guard->refused) {
            std::error_code error;
            const auto size = std::filesystem::file_size(response.result->path(), error);
            if (!error && size > 0) {
              report(DownloadStatus::completed(
                  *response.result, response.response
                                        ? std::optional(response.response->suggestedFilename())
                                        : std::nullopt));
              return;
            }
          }
          // Whatever arrived is not an installer.
          if (response.fileURL) removeQuietly(*response.fileURL);
          if (guard->refused) {
            report(std::unexpected(*guard->refused));
          } else if (!response.result) {
            report(std::unexpected(response.result.error()));
          } else {
            report(std::unexpected(halyard::HalyardError::responseSerializationFailed(
                halyard::HalyardError::ResponseSerializationFailureReason::
                    InputDataNilOrZeroLength{})));
          }
        });
    std::weak_ptr<halyard::DownloadRequest> weakDownload = download;
    download->setDownloadProgressHandler(
        main, [report, guard, weakDownload](const halyard::ProgressPtr& progress) {
          if (guard->refused) return;
          if (auto problem =
                  guard->problem(progress->completedUnitCount(), progress->totalUnitCount())) {
            guard->refused = refusal(*problem);
            if (auto running = weakDownload.lock()) running->cancel();
            return;
          }
          report(DownloadStatus::progress(progress));
        });
  }

 private:
  const halyard::SessionPtr session_;
  const InstallerLimits limits_;
};

}  // namespace

void applyInstallerLimits(platform::URLSessionConfiguration& configuration,
                          const InstallerLimits& limits) {
  configuration.maximumBodyBytes = limits.maximumBytes;
  configuration.maximumDownloadBytes = limits.maximumBytes;
  configuration.minimumBytesPerSecond = limits.minimumBytesPerSecond;
  configuration.lowSpeedSeconds = limits.lowSpeedSeconds;
}

InstallerDownloaderPtr makeHalyardInstallerDownloader(halyard::SessionPtr session) {
  return makeBoundedInstallerDownloader(std::move(session), InstallerLimits());
}

InstallerDownloaderPtr makeBoundedInstallerDownloader(halyard::SessionPtr session,
                                                      InstallerLimits limits) {
  return std::make_shared<HalyardInstallerDownloader>(std::move(session), std::move(limits));
}

std::filesystem::path installerCacheFolder() {
  const auto caches = platform::FileManager::defaultManager()->pathsForDirectory(
      platform::SearchPathDirectory::cachesDirectory, platform::SearchPathDomainMask::user);
  const std::filesystem::path root =
      caches.empty() ? std::filesystem::temp_directory_path() : std::filesystem::path(caches[0]);
  return root / "tovarine";
}

std::string safeInstallerFileName(std::string_view suggestedName) {
  // Only the last component of whatever path the server sent, with either separator.
  const auto slash = suggestedName.find_last_of("/\\");
  std::string_view base =
      slash == std::string_view::npos ? suggestedName : suggestedName.substr(slash + 1);
  std::string name;
  for (char c : base) {
    const auto u = static_cast<unsigned char>(c);
    // Control characters have no place in a file name shown to the user.
    name += (u < 0x20 || u == 0x7F) ? '_' : c;
  }
  if (name.size() > kMaxFileNameBytes) {
    name.resize(kMaxFileNameBytes);
    // Never end inside a multi-byte character.
    while (!name.empty() && (static_cast<unsigned char>(name.back()) & 0xC0) == 0x80) {
      name.pop_back();
    }
    if (!name.empty() && static_cast<unsigned char>(name.back()) >= 0xC0) name.pop_back();
  }
  const bool onlyDots = name.find_first_not_of('.') == std::string::npos;
  if (name.empty() || onlyDots || name.front() == '.' || name.front() == '-') {
    return kDefaultInstallerName;
  }
  return name;
}

std::filesystem::path installerDestination(std::string_view suggestedName) {
  return installerCacheFolder() / safeInstallerFileName(suggestedName);
}

}  // namespace app
