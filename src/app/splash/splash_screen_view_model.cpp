#include "app/splash/splash_screen_view_model.h"

#include <algorithm>

#include "app/bundle/localization.h"
#include "app/splash/installer_save_options.h"
#include "app/update/updator_router.h"
#include "platform/foundation/log.h"

namespace app {
namespace {

// Errors may describe themselves over several lines; the console gets one.
std::string oneLine(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  return text;
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
      platform::print("Update check failed: " + oneLine(result.error()->debugDescription()));
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
          platform::print("Installer download failed: " +
                          oneLine(result.error().debugDescription()));
          // A mandatory update keeps the user here, with a way to try again; an optional one
          // says it failed, then lets the user go on with this version.
          if (self->offeredMandatory_) {
            self->downloadFailed = true;
            return;
          }
          self->services_.errorAlerts->showError(
              localizedString("ALERT_DOWNLOAD_FAILED_TITLE"),
              localizedString("ALERT_DOWNLOAD_FAILED_DESCRIPTION"), [weakSelf] {
                if (auto again = weakSelf.lock()) again->moveOn();
              });
          return;
        }
        if (auto done = result->as<DownloadStatus::CompletedData>()) {
          self->saveInstaller(std::make_shared<const platform::Bytes>(std::move(done->data)));
        }
      });
}

void SplashScreenViewModel::retryInstallerDownload() {
  if (!downloadFailed.get()) return;
  downloadFailed = false;
  progress = std::nullopt;
  startInstallerDownload();
}

void SplashScreenViewModel::saveInstaller(std::shared_ptr<const platform::Bytes> data) {
  const SavePanel::Options options = installerSaveOptions(
      routerAddress(UpdatorCloudCommonRouter::downloadFileVersioning), currentDownloadsFolder());
  std::weak_ptr<SplashScreenViewModel> weakSelf = weak_from_this();
  services_.savePanel->begin(
      options, [weakSelf, data](SavePanel::Response response,
                                std::optional<std::filesystem::path> location) {
        auto self = weakSelf.lock();
        if (!self) return;
        if (response != SavePanel::Response::ok) {
          self->openAndQuit(std::nullopt);
          return;
        }
        if (!location) return;
        auto written = self->services_.fileWriter->write(*data, *location);
        if (written) {
          self->openAndQuit(location);
          return;
        }
        // Quitting here would throw the download away without a word; say what happened and
        // let the user pick another place (cancelling that panel still quits).
        platform::print("Saving the installer to " + location->string() +
                        " failed: " + written.error());
        self->services_.errorAlerts->showError(localizedString("ALERT_SAVE_FAILED_TITLE"),
                                               localizedString("ALERT_SAVE_FAILED_DESCRIPTION"),
                                               [weakSelf, data] {
                                                 if (auto again = weakSelf.lock())
                                                   again->saveInstaller(data);
                                               });
      });
}

void SplashScreenViewModel::openAndQuit(const std::optional<std::filesystem::path>& location) {
  if (location) services_.workspace->open(*location);
  services_.application->terminate();
}

}  // namespace app
