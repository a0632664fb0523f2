#include "app/service/installer_downloader.h"

#include <fmt/format.h>

#include <atomic>
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

halyard::HalyardError shortageError(SpaceShortage shortage) {
  return halyard::HalyardError::responseValidationFailed(
      halyard::HalyardError::ResponseValidationFailureReason::CustomValidationFailed{
          platform::makeError(InstallerSpaceShortage(std::move(shortage)))});
}

// Checks one download against its limits; the first refusal sticks.
class DownloadGuard {
 public:
  explicit DownloadGuard(InstallerLimits limits) : limits_(std::move(limits)) {
    if (!limits_.freeBytes) limits_.freeBytes = systemFreeBytes;
  }

  // Why the download must stop having received `received` of `expected` bytes (expected < 0:
  // not declared), if it must.
  std::optional<halyard::HalyardError> problem(std::int64_t received, std::int64_t expected) const {
    if (expected > limits_.maximumBytes) {
      return refusal(fmt::format("The installer is declared as {} bytes, more than the {} allowed.",
                                 expected, limits_.maximumBytes));
    }
    if (received > limits_.maximumBytes) {
      return refusal(
          fmt::format("The installer passed the {} bytes allowed.", limits_.maximumBytes));
    }
    if (expected >= 0 && received > expected) {
      return refusal(
          fmt::format("The installer passed its declared length of {} bytes.", expected));
    }
    const std::uint64_t total = expected > 0 ? std::uint64_t(expected) : 0;
    // A disk short from the start needs room for the whole installer the answer declares.
    if (shortAtStart) {
      SpaceShortage shortage = *shortAtStart;
      shortage.neededBytes = total + limits_.freeSpaceReserve;
      return shortageError(shortage);
    }
    const std::uint64_t arrived = received > 0 ? std::uint64_t(received) : 0;
    if (auto shortage = shortageFor(total > arrived ? total - arrived : 0)) {
      // Told as the user will find it once the partial file is gone: the whole installer
      // against the room there is without it.
      shortage->neededBytes = total + limits_.freeSpaceReserve;
      shortage->freeBytes += arrived;
      return shortageError(*shortage);
    }
    return std::nullopt;
  }

  // The first folder the installer passes through that lacks `still` bytes and the reserve.
  std::optional<SpaceShortage> shortageFor(std::uint64_t still) const {
    const std::filesystem::path places[] = {
        installerCacheFolder(),
        std::filesystem::path(platform::FileManager::defaultManager()->temporaryDirectory())};
    for (const auto& place : places) {
      const auto free = limits_.freeBytes(existingAncestor(place));
      if (free && *free < still + limits_.freeSpaceReserve) {
        return SpaceShortage{place, *free, still + limits_.freeSpaceReserve};
      }
    }
    return std::nullopt;
  }

  std::optional<halyard::HalyardError> refused;
  // The same, for the transfer's own thread, which may be about to put the file in place.
  std::atomic<bool> refusedOnAnyThread{false};
  // A disk found short before anything was asked: the answer's declared length, at the first
  // report, tells how much is needed; a transfer that fails before it fails on this.
  std::optional<SpaceShortage> shortAtStart;

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
    // A disk that is already (nearly) full is only known to be too small once the answer says
    // how large the installer is: its first report refuses it, with the real figure.
    guard->shortAtStart = guard->shortageFor(0);
    auto destination = [guard](const platform::URL& temporaryURL,
                               const platform::HTTPURLResponsePtr& response) {
      // A refused download may finish its transfer after the refusal: its file goes nowhere
      // (the move fails, which the refusal already is), so nothing of it stays behind.
      if (guard->refusedOnAnyThread.load()) {
        std::error_code ignored;
        std::filesystem::remove(temporaryURL.path(), ignored);
        const std::filesystem::path temporary = temporaryURL.path();
        return halyard::DownloadRequest::DestinationResult{
            platform::URL::fileURLWithPath(
                (temporary.parent_path() / ("refused-" + temporary.filename().string())).string()),
            Options::replaceExistingFile()};
      }
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
          // A refusal may come after a whole answer was already moved into place.
          if (guard->refused && mayBeInstaller(response.response)) {
            removeQuietly(platform::URL::fileURLWithPath(
                installerDestination(response.response->suggestedFilename()).string()));
          }
          if (guard->refused) {
            report(std::unexpected(*guard->refused));
          } else if (guard->shortAtStart && !response.result &&
                     !response.result.error().rejectedStatusCode()) {
            // The transfer broke off on the disk that was short from the start.
            report(std::unexpected(shortageError(*guard->shortAtStart)));
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
            guard->refused = std::move(problem);
            guard->refusedOnAnyThread = true;
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

std::string InstallerSpaceShortage::localizedDescription() const {
  return fmt::format("Not enough free space in {} for the installer ({} bytes free, {} needed).",
                     shortage_.folder.string(), shortage_.freeBytes, shortage_.neededBytes);
}

std::optional<SpaceShortage> spaceShortage(const halyard::HalyardError& error) {
  const auto* validation = error.as<halyard::HalyardError::ResponseValidationFailed>();
  if (!validation) return std::nullopt;
  const auto* custom =
      std::get_if<halyard::HalyardError::ResponseValidationFailureReason::CustomValidationFailed>(
          &validation->reason.storage);
  if (!custom || !custom->error) return std::nullopt;
  const auto* shortage = dynamic_cast<const InstallerSpaceShortage*>(custom->error.get());
  if (!shortage) return std::nullopt;
  return shortage->shortage();
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
