#include "app/splash/splash_screen_view_model.h"

#include <algorithm>

#include "app/bundle/localization.h"
#include "app/service/console_excerpt.h"
#include "app/splash/installer_save_options.h"
#include "app/update/updator_router.h"
#include "platform/foundation/log.h"

namespace app {
namespace {

// Errors may describe themselves over several lines and quote the server; the console gets
// one short line.
std::string oneLine(const std::string& text) {
  return consoleExcerpt(text, 400);
}

// Every "%@" of `text` replaced by `value`; a text without one (a table that lacks the key)
// gets the value after it, so the value is never lost.
std::string withPlaceholders(std::string text, const std::string& value) {
  if (text.find("%@") == std::string::npos) return text + ": " + value;
  for (auto at = text.find("%@"); at != std::string::npos;
       at = text.find("%@", at + value.size())) {
    text.replace(at, 2, value);
  }
  return text;
}

// `text` with "%1", "%2", ... replaced by `values` in order; values the text has no place for
// (a table that lacks the key) follow it, so that none is lost.
std::string withValues(std::string text, const std::vector<std::string>& values) {
  std::string missing;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::string mark = "%" + std::to_string(i + 1);
    bool found = false;
    for (auto at = text.find(mark); at != std::string::npos;
         at = text.find(mark, at + values[i].size())) {
      text.replace(at, mark.size(), values[i]);
      found = true;
    }
    if (!found) missing += (missing.empty() ? ": " : ", ") + values[i];
  }
  return text + missing;
}

std::vector<std::string> shortageValues(const SpaceShortage& shortage) {
  return {shortage.folder.string(), byteCountText(shortage.neededBytes),
          byteCountText(shortage.freeBytes)};
}

}  // namespace

std::shared_ptr<SplashScreenViewModel> SplashScreenViewModel::make(UpdatorCloudPtr updatorRestApi,
                                                                   SplashServices services,
                                                                   BundlePtr bundle) {
  auto viewModel = std::shared_ptr<SplashScreenViewModel>(
      new SplashScreenViewModel(std::move(updatorRestApi), std::move(services), std::move(bundle)));
  viewModel->checkForUpdate();
  return viewModel;
}

SplashScreenViewModel::SplashScreenViewModel(UpdatorCloudPtr updatorRestApi,
                                             SplashServices services, BundlePtr bundle)
    : updatorRestApi_(std::move(updatorRestApi)),
      services_(std::move(services)),
      bundle_(std::move(bundle)) {}

void SplashScreenViewModel::checkForUpdate() {
  std::weak_ptr<SplashScreenViewModel> weakSelf = weak_from_this();
  updatorRestApi_->getVersioning([weakSelf](UpdatorCloudProtocol::VersioningResult result) {
    auto self = weakSelf.lock();
    if (!self) return;
    if (!result) {
      // Offline, server down or no server configured: the user must still get to the
      // starting screen, so a failed check counts as "no update".
      platform::print("Update check failed: " + result.error()->localizedDescription() + " " +
                      oneLine(result.error()->debugDescription()));
      self->moveOn();
      return;
    }
    const VersioningPtr& description = *result;
    if (description && description->isUpdateAvailable(*self->bundle_) == true) {
      self->offeredMandatory_ = description->isMandatory.value_or(false);
      self->versioning = description;
    } else {
      self->moveOn();
    }
  });
}

void SplashScreenViewModel::togglePresentTutorial() {
  presentTutorial = !presentTutorial.get();
}

void SplashScreenViewModel::moveOn() {
  if (!presentTutorial.get()) togglePresentTutorial();
}

void SplashScreenViewModel::updateProgress(const platform::Progress& p) {
  progress = p.fractionCompleted() * 100.0;
}

void SplashScreenViewModel::startInstallerDownload() {
  std::weak_ptr<SplashScreenViewModel> weakSelf = weak_from_this();
  updatorRestApi_->downloadFileVersioning(
      [weakSelf](const std::shared_ptr<const platform::Progress>& p) {
        if (auto self = weakSelf.lock(); self && p) self->updateProgress(*p);
      },
      [weakSelf](UpdatorCloudProtocol::DownloadResult result) {
        auto self = weakSelf.lock();
        if (!self) return;
        if (!result) {
          self->downloadFailedWith(result.error());
          return;
        }
        if (auto done = result->as<DownloadStatus::Completed>()) {
          self->saveInstaller(done->downloadedFileUrl.path());
        }
      });
}

void SplashScreenViewModel::downloadFailedWith(const halyard::HalyardError& error) {
  platform::print("Installer download failed: " + oneLine(error.debugDescription()));
  // A mandatory update keeps the user here, with a way to try again; an optional one says it
  // failed, then lets the user go on with this version. Either names a full disk, or a server
  // that answered with an error, as such.
  const auto shortage = spaceShortage(error);
  std::string title = localizedString("ALERT_DOWNLOAD_FAILED_TITLE");
  std::string message;
  if (shortage) {
    title = localizedString("ALERT_DISK_FULL_TITLE");
    message = withValues(localizedString(offeredMandatory_ ? "DOWNLOAD_NO_SPACE_MESSAGE"
                                                           : "ALERT_DOWNLOAD_NO_SPACE_DESCRIPTION"),
                         shortageValues(*shortage));
  } else if (const auto status = error.rejectedStatusCode()) {
    // The server was reached and refused: the user's connection is not to blame.
    message =
        withValues(localizedString(offeredMandatory_ ? "DOWNLOAD_SERVER_ERROR_MESSAGE"
                                                     : "ALERT_DOWNLOAD_SERVER_ERROR_DESCRIPTION"),
                   {std::to_string(*status)});
  } else {
    message = localizedString(offeredMandatory_ ? "DOWNLOAD_FAILED_MESSAGE"
                                                : "ALERT_DOWNLOAD_FAILED_DESCRIPTION");
  }
  if (offeredMandatory_) {
    downloadFailureMessage = message;
    downloadFailed = true;
    return;
  }
  std::weak_ptr<SplashScreenViewModel> weakSelf = weak_from_this();
  services_.errorAlerts->showError(title, message, [weakSelf] {
    if (auto again = weakSelf.lock()) again->moveOn();
  });
}

void SplashScreenViewModel::retryInstallerDownload() {
  if (!downloadFailed.get()) return;
  downloadFailed = false;
  progress = std::nullopt;
  startInstallerDownload();
}

void SplashScreenViewModel::saveInstaller(const std::filesystem::path& installer,
                                          std::optional<std::filesystem::path> folder) {
  const SavePanel::Options options =
      installerSaveOptions(routerAddress(UpdatorCloudCommonRouter::downloadFileVersioning),
                           folder ? *folder : currentDownloadsFolder());
  std::weak_ptr<SplashScreenViewModel> weakSelf = weak_from_this();
  services_.savePanel->begin(
      options, [weakSelf, installer](SavePanel::Response response,
                                     std::optional<std::filesystem::path> location) {
        auto self = weakSelf.lock();
        if (!self) return;
        if (response != SavePanel::Response::ok) {
          self->openAndQuit(std::nullopt);
          return;
        }
        if (!location) return;
        auto written = self->services_.fileWriter->copy(installer, *location);
        if (written) {
          // The caches keep no second copy of a package the user now has where they wanted it.
          std::error_code error;
          if (!std::filesystem::remove(installer, error) && error) {
            platform::log("Removing the downloaded installer " + installer.string() +
                          " failed: " + error.message());
          }
          self->openAndQuit(location);
          return;
        }
        self->saveFailedWith(installer, *location, written.error());
      });
}

void SplashScreenViewModel::saveFailedWith(const std::filesystem::path& installer,
                                           const std::filesystem::path& location,
                                           const WriteFailure& failure) {
  // Quitting here would throw the download away without a word; say what happened and let the
  // user pick another place (cancelling that panel still quits).
  platform::print("Saving the installer to " + location.string() + " failed: " + failure.reason);
  std::weak_ptr<SplashScreenViewModel> weakSelf = weak_from_this();
  if (!failure.shortage) {
    services_.errorAlerts->showError(localizedString("ALERT_SAVE_FAILED_TITLE"),
                                     localizedString("ALERT_SAVE_FAILED_DESCRIPTION"),
                                     [weakSelf, installer] {
                                       if (auto again = weakSelf.lock())
                                         again->saveInstaller(installer);
                                     });
    return;
  }
  // The panel comes back where the installer fits, not on the full folder again.
  const std::filesystem::path home = currentHomeFolder();
  const std::filesystem::path roomy = folderWithRoom(
      failure.shortage->neededBytes, {currentDownloadsFolder(), home}, failure.shortage->folder,
      home, services_.freeBytes ? services_.freeBytes : FreeSpaceSource(systemFreeBytes));
  services_.errorAlerts->showError(localizedString("ALERT_DISK_FULL_TITLE"),
                                   withValues(localizedString("ALERT_SAVE_NO_SPACE_DESCRIPTION"),
                                              shortageValues(*failure.shortage)),
                                   [weakSelf, installer, roomy] {
                                     if (auto again = weakSelf.lock())
                                       again->saveInstaller(installer, roomy);
                                   });
}

void SplashScreenViewModel::openAndQuit(const std::optional<std::filesystem::path>& location) {
  if (!location) {
    services_.application->terminate();
    return;
  }
  std::weak_ptr<SplashScreenViewModel> weakSelf = weak_from_this();
  services_.workspace->open(*location, [weakSelf, file = *location](bool opened) {
    auto self = weakSelf.lock();
    if (!self) return;
    if (opened) {
      self->services_.application->terminate();
      return;
    }
    // Quitting silently would leave the user with a package they do not know of: say where it
    // is and how to install it, and quit only once they have read it.
    platform::print("Nothing could open the installer saved to " + file.string());
    self->services_.errorAlerts->showError(
        localizedString("ALERT_INSTALLER_NOT_OPENED_TITLE"),
        withPlaceholders(localizedString("ALERT_INSTALLER_NOT_OPENED_DESCRIPTION"), file.string()),
        [weakSelf] {
          if (auto again = weakSelf.lock()) again->services_.application->terminate();
        });
  });
}

}  // namespace app
