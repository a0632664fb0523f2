#include "app/service/installer_downloader.h"

#include <string>

#include "halyard/core/download_request.h"
#include "halyard/encoding/response_serializer.h"
#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/file_manager.h"

namespace app {
namespace {

constexpr const char* kDefaultInstallerName = "Tovarine.dmg";
// Longer names are cut; file systems refuse names past 255 bytes.
constexpr std::size_t kMaxFileNameBytes = 200;

// An answer that can be an installer: a success status and a body not declared empty.
bool mayBeInstaller(const platform::HTTPURLResponsePtr& response) {
  return response && response->statusCode() >= 200 && response->statusCode() < 300 &&
         response->expectedContentLength() != 0;
}

class HalyardInstallerDownloader final : public InstallerDownloader {
 public:
  explicit HalyardInstallerDownloader(halyard::SessionPtr session) : session_(std::move(session)) {}

  void download(halyard::URLRequestConvertiblePtr request, ReportHandler report) override {
    using Options = halyard::DownloadRequest::Options;
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
    const auto main = platform::DispatchQueue::main();
    download->responseAsData(
        main, std::make_shared<const halyard::PassthroughPreprocessor>(),
        halyard::ResponseSerializer::standardEmptyResponseCodes(),
        halyard::ResponseSerializer::standardEmptyRequestMethods(),
        [report](const halyard::DownloadResponse<platform::Bytes>& response) {
          if (response.result) {
            report(DownloadStatus::completedData(*response.result));
            return;
          }
          // Whatever arrived is not an installer.
          if (response.fileURL) {
            try {
              platform::FileManager::defaultManager()->removeItemAtPath(response.fileURL->path());
            } catch (const platform::FileError&) {
              // Already gone; nothing was left behind.
            }
          }
          report(std::unexpected(response.result.error()));
        });
    download->setDownloadProgressHandler(main, [report](const halyard::ProgressPtr& progress) {
      report(DownloadStatus::progress(progress));
    });
  }

 private:
  const halyard::SessionPtr session_;
};

}  // namespace

InstallerDownloaderPtr makeHalyardInstallerDownloader(halyard::SessionPtr session) {
  return std::make_shared<HalyardInstallerDownloader>(std::move(session));
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
