#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app/bundle/bundle.h"
#include "app/splash/splash_services.h"
#include "app/update/updator_network.h"
#include "platform/foundation/observable.h"
#include "platform/net/progress.h"

namespace app {

// The splash screen's state: the update check, an offered update, the installer download and
// the hand-over to the next screen. Lives on the main queue; the work it starts holds it
// weakly, so a released view model makes that work end without effect.
class SplashScreenViewModel : public platform::ObservableObject,
                              public std::enable_shared_from_this<SplashScreenViewModel> {
 public:
  // Creates the view model and starts the update check (it does not wait for it).
  static std::shared_ptr<SplashScreenViewModel> make(UpdatorCloudPtr updatorRestApi,
                                                     SplashServices services,
                                                     BundlePtr bundle = Bundle::main());

  // Present exactly while an update is offered.
  platform::Published<VersioningPtr> versioning{*this, nullptr};
  // True once the splash has given way to the next screen (the tour or the starting screen).
  platform::Published<bool> presentTutorial{*this, false};
  // The installer download in percent, from the first progress report on.
  platform::Published<std::optional<double>> progress{*this, std::nullopt};
  // True while a mandatory update's download has failed and waits for the user to try again.
  platform::Published<bool> downloadFailed{*this, false};
  // What went wrong with that download, as the user reads it.
  platform::Published<std::string> downloadFailureMessage{*this, std::string()};

  const UpdatorCloudPtr& updatorRestApi() const { return updatorRestApi_; }

  void checkForUpdate();
  void togglePresentTutorial();
  void startInstallerDownload();
  // Starts the failed download of a mandatory update again.
  void retryInstallerDownload();
  void updateProgress(const platform::Progress& progress);
  // The downloaded installer is copied where the user chooses, never read whole.
  // The save panel opens in `folder` when given, else in the user's downloads folder.
  void saveInstaller(const std::filesystem::path& installer,
                     std::optional<std::filesystem::path> folder = std::nullopt);
  void openAndQuit(const std::optional<std::filesystem::path>& location);

 private:
  SplashScreenViewModel(UpdatorCloudPtr updatorRestApi, SplashServices services, BundlePtr bundle);
  void moveOn();
  void downloadFailedWith(const halyard::HalyardError& error);
  void saveFailedWith(const std::filesystem::path& installer, const std::filesystem::path& location,
                      const WriteFailure& failure);

  UpdatorCloudPtr updatorRestApi_;
  SplashServices services_;
  BundlePtr bundle_;
  // Whether the update last offered was mandatory, remembered past the alert that showed it.
  bool offeredMandatory_ = false;
};

using SplashScreenViewModelPtr = std::shared_ptr<SplashScreenViewModel>;

}  // namespace app
