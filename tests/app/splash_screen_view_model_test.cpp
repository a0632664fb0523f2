#include "app/splash/splash_screen_view_model.h"

#include <gtest/gtest.h>

#include <fstream>

#include "app/service/installer_downloader.h"
#include "app/support/app_test_support.h"
#include "platform/foundation/log.h"
#include "platform/net/url_error.h"

namespace app {
namespace {

using test::FakeServices;
using test::FakeUpdator;

VersioningPtr offer(std::optional<bool> mandatory, std::string name = "Tovarine",
                    double release = 2.0) {
  auto v = std::make_shared<Versioning>();
  v->name = std::move(name);
  v->releaseVersion = release;
  v->buildVersion = 1;
  v->isMandatory = mandatory;
  return v;
}

class SplashFlow : public testing::Test {
 protected:
  SplashFlow() : bundle_(test::infoJSON("Tovarine", "1.0", "1"), {}) {
    viewModel = SplashScreenViewModel::make(updator, fakes.services(), bundle_.bundle());
  }

  void answerCheck(UpdatorCloudProtocol::VersioningResult result) {
    ASSERT_EQ(updator->versioningCompletions.size(), 1u);
    updator->versioningCompletions.front()(std::move(result));
  }
  void offerUpdate(bool mandatory) {
    answerCheck(offer(mandatory));
    ASSERT_NE(viewModel->versioning.get(), nullptr);
    // The alert's OK: clear the description, then download.
    viewModel->versioning = nullptr;
    viewModel->startInstallerDownload();
    ASSERT_EQ(updator->downloadCompletions.size(), 1u);
  }
  // The download ends with the installer in a file, as the real one does.
  void finishDownload(const platform::Bytes& data) {
    updator->downloadCompletions.back()(DownloadStatus::completed(installerFile(data), {}));
  }
  platform::URL installerFile(const platform::Bytes& data) {
    const auto path = downloads_.path() / ("installer-" + std::to_string(++files_) + ".deb");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    return platform::URL::fileURLWithPath(path.string());
  }

  test::ScopedTestBundle bundle_;
  test::TemporaryFolder downloads_;
  int files_ = 0;
  std::shared_ptr<FakeUpdator> updator = std::make_shared<FakeUpdator>();
  FakeServices fakes;
  SplashScreenViewModelPtr viewModel;
};

}  // namespace

TEST_F(SplashFlow, StartsCheckingAtOnce) {
  EXPECT_EQ(updator->versioningCompletions.size(), 1u);
  EXPECT_EQ(viewModel->versioning.get(), nullptr);
  EXPECT_FALSE(viewModel->presentTutorial.get());
  EXPECT_EQ(viewModel->progress.get(), std::nullopt);
}

TEST_F(SplashFlow, NoDescriptionMovesOn) {
  int changes = 0;
  auto subscription = viewModel->objectWillChange().subscribe([&] { ++changes; });
  answerCheck(VersioningPtr());
  EXPECT_TRUE(viewModel->presentTutorial.get());
  EXPECT_EQ(changes, 1);
}

TEST_F(SplashFlow, AnUpToDateDescriptionMovesOn) {
  answerCheck(offer(true, "Tovarine", 1.0));
  EXPECT_EQ(viewModel->versioning.get(), nullptr);
  EXPECT_TRUE(viewModel->presentTutorial.get());
}

TEST_F(SplashFlow, ADescriptionForAnotherProductOrWithoutMandatoryFlagMovesOn) {
  answerCheck(offer(true, "Other"));
  EXPECT_TRUE(viewModel->presentTutorial.get());
  auto second = SplashScreenViewModel::make(updator, fakes.services(), bundle_.bundle());
  updator->versioningCompletions.back()(offer(std::nullopt));
  EXPECT_TRUE(second->presentTutorial.get());
  EXPECT_EQ(second->versioning.get(), nullptr);
}

TEST_F(SplashFlow, AFailedCheckPrintsOneLineAndMovesOn) {
  platform::LogCapture capture;
  auto resource =
      std::make_shared<UpdatorCloudCommonResource>(UpdatorCloudCommonRouter::getVersioning);
  answerCheck(std::unexpected(std::make_shared<const ApiServiceError>(resource, 500, "a\nb")));
  EXPECT_TRUE(viewModel->presentTutorial.get());
  EXPECT_EQ(viewModel->versioning.get(), nullptr);
  const std::string text = capture.text();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
  EXPECT_TRUE(capture.contains("Update check failed")) << text;
}

TEST_F(SplashFlow, AnOfferedUpdateWaitsForTheAlert) {
  answerCheck(offer(false));
  ASSERT_NE(viewModel->versioning.get(), nullptr);
  EXPECT_FALSE(viewModel->presentTutorial.get());
  // Cancel: the description goes and the window moves on.
  viewModel->versioning = nullptr;
  viewModel->togglePresentTutorial();
  EXPECT_TRUE(viewModel->presentTutorial.get());
  EXPECT_TRUE(updator->downloadCompletions.empty());
}

TEST_F(SplashFlow, ProgressAppearsWithTheFirstReport) {
  offerUpdate(true);
  EXPECT_EQ(viewModel->progress.get(), std::nullopt);
  auto progress = std::make_shared<platform::Progress>(200);
  for (int done : {0, 50, 200}) {
    progress->setCompletedUnitCount(done);
    updator->progressHandlers.back()(progress);
    EXPECT_DOUBLE_EQ(*viewModel->progress.get(), done / 2.0);
  }
  EXPECT_FALSE(viewModel->presentTutorial.get());
}

TEST_F(SplashFlow, ASuccessfulSaveOpensThePackageAndQuits) {
  offerUpdate(true);
  finishDownload({1, 2, 3});
  ASSERT_EQ(fakes.panel->shown.size(), 1u);
  EXPECT_EQ(fakes.panel->shown[0].nameFieldStringValue, "Tovarine");
  EXPECT_EQ(fakes.panel->shown[0].allowedFileTypes, std::vector<std::string>{"deb"});
  EXPECT_FALSE(fakes.panel->shown[0].allowsOtherFileTypes);
  fakes.panel->completions[0](SavePanel::Response::ok, "/tmp/x/Tovarine.deb");
  ASSERT_EQ(fakes.writer->writes.size(), 1u);
  EXPECT_EQ(fakes.writer->writes[0].first, 3u);
  EXPECT_EQ(fakes.workspace->opened, std::vector<std::filesystem::path>{"/tmp/x/Tovarine.deb"});
  EXPECT_EQ(fakes.application->terminations, 1);
}

TEST_F(SplashFlow, ASavedPackageIsOpenedWithTheDesktopsHandlerElseTheUserIsToldWhereItIs) {
  struct Row {
    const char* name;
    bool handlerExists;
    bool writeSucceeds;
    bool cachesCopyRemains;
    std::size_t alerts;  // before any is dismissed
    int terminations;    // before any alert is dismissed
    bool openerAnswersLater = false;
  } rows[] = {
      {"opened: quits", true, true, false, 0, 1},
      {"nothing opens it: an alert, then quits", false, true, false, 1, 0},
      {"not written: the caches copy stays for another try", true, false, true, 1, 0},
      {"the opener fails after a while: still running, then the alert", false, true, false, 1, 0,
       true},
      {"the opener takes it after a while: then quits", true, true, false, 0, 1, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    FakeServices services;
    services.workspace->handlerExists = row.handlerExists;
    services.workspace->holdAnswers = row.openerAnswersLater;
    services.writer->outcomes = {row.writeSucceeds};
    auto checker = std::make_shared<FakeUpdator>();
    auto flow = SplashScreenViewModel::make(checker, services.services(), bundle_.bundle());
    checker->versioningCompletions.front()(offer(true));
    flow->versioning = nullptr;
    flow->startInstallerDownload();
    const platform::URL cached = installerFile({1, 2, 3});
    checker->downloadCompletions.back()(DownloadStatus::completed(cached, {}));
    ASSERT_EQ(services.panel->shown.size(), 1u);
    EXPECT_EQ(services.panel->shown[0].nameFieldStringValue, "Tovarine");
    EXPECT_EQ(services.panel->shown[0].allowedFileTypes, std::vector<std::string>{"deb"});
    services.panel->completions[0](SavePanel::Response::ok, "/home/u/Downloads/Tovarine.deb");
    if (row.openerAnswersLater) {
      // Until the opener has answered, nothing is said and nothing quits.
      EXPECT_TRUE(services.alerts->shown.empty());
      EXPECT_EQ(services.application->terminations, 0);
      ASSERT_EQ(services.workspace->heldAnswers.size(), 1u);
      services.workspace->heldAnswers[0](row.handlerExists);
    }
    EXPECT_EQ(std::filesystem::exists(cached.path()), row.cachesCopyRemains);
    EXPECT_EQ(services.alerts->shown.size(), row.alerts);
    EXPECT_EQ(services.application->terminations, row.terminations);
    if (row.writeSucceeds && !row.handlerExists) {
      ASSERT_EQ(services.alerts->shown.size(), 1u);
      const std::string& message = services.alerts->shown[0].second;
      EXPECT_NE(message.find("/home/u/Downloads/Tovarine.deb"), std::string::npos) << message;
      services.alerts->dismissals[0]();
      EXPECT_EQ(services.application->terminations, 1);
    }
  }
}

TEST_F(SplashFlow, CancellingThePanelQuitsWithoutWriting) {
  offerUpdate(false);
  finishDownload({1});
  fakes.panel->completions[0](SavePanel::Response::cancel, std::nullopt);
  EXPECT_TRUE(fakes.writer->writes.empty());
  EXPECT_TRUE(fakes.workspace->opened.empty());
  EXPECT_EQ(fakes.application->terminations, 1);
}

TEST_F(SplashFlow, ConfirmingWithoutALocationDoesNothing) {
  offerUpdate(false);
  finishDownload({1});
  fakes.panel->completions[0](SavePanel::Response::ok, std::nullopt);
  EXPECT_TRUE(fakes.writer->writes.empty());
  EXPECT_EQ(fakes.application->terminations, 0);
}

TEST_F(SplashFlow, AFailedWriteSaysSoAndOffersThePanelAgain) {
  fakes.writer->outcomes = {false};
  offerUpdate(true);
  finishDownload({1, 2});
  fakes.panel->completions[0](SavePanel::Response::ok, "/read-only/Tovarine.deb");
  EXPECT_EQ(fakes.application->terminations, 0);
  ASSERT_EQ(fakes.alerts->shown.size(), 1u);
  EXPECT_EQ(fakes.alerts->shown[0].first, "ALERT_SAVE_FAILED_TITLE");  // no table in this bundle
  ASSERT_EQ(fakes.panel->shown.size(), 1u);
  fakes.alerts->dismissals[0]();
  ASSERT_EQ(fakes.panel->shown.size(), 2u);
  // The second try succeeds with the same bytes.
  fakes.panel->completions[1](SavePanel::Response::ok, "/home/u/Tovarine.deb");
  ASSERT_EQ(fakes.writer->writes.size(), 2u);
  EXPECT_EQ(fakes.writer->writes[1].first, 2u);
  EXPECT_EQ(fakes.workspace->opened, std::vector<std::filesystem::path>{"/home/u/Tovarine.deb"});
  EXPECT_EQ(fakes.application->terminations, 1);
}

TEST_F(SplashFlow, CancellingAfterAFailedWriteQuits) {
  fakes.writer->outcomes = {false};
  offerUpdate(true);
  finishDownload({1});
  fakes.panel->completions[0](SavePanel::Response::ok, "/read-only/Tovarine.deb");
  fakes.alerts->dismissals[0]();
  fakes.panel->completions[1](SavePanel::Response::cancel, std::nullopt);
  EXPECT_TRUE(fakes.workspace->opened.empty());
  EXPECT_EQ(fakes.application->terminations, 1);
}

TEST_F(SplashFlow, AFailedDownloadSaysSo) {
  // An optional update: a short alert, then the next screen once it is dismissed. A mandatory
  // one: the splash stays, at its last progress, with the failure shown and no alert.
  struct Case {
    bool mandatory;
    std::size_t alerts;
    bool failedOnSplash;
  };
  for (const Case& c : {Case{false, 1, false}, Case{true, 0, true}}) {
    SCOPED_TRACE(c.mandatory ? "mandatory" : "optional");
    FakeServices services;
    auto updator = std::make_shared<FakeUpdator>();
    auto model = SplashScreenViewModel::make(updator, services.services(), bundle_.bundle());
    updator->versioningCompletions[0](offer(c.mandatory));
    model->versioning = nullptr;
    model->startInstallerDownload();
    auto progress = std::make_shared<platform::Progress>(10);
    progress->setCompletedUnitCount(4);
    updator->progressHandlers[0](progress);
    platform::LogCapture capture;
    updator->downloadCompletions[0](std::unexpected(halyard::HalyardError::explicitlyCancelled()));
    EXPECT_TRUE(capture.contains("Installer download failed")) << capture.text();
    EXPECT_EQ(services.alerts->shown.size(), c.alerts);
    EXPECT_EQ(model->downloadFailed.get(), c.failedOnSplash);
    EXPECT_FALSE(model->presentTutorial.get()) << "moved on before the user saw the failure";
    EXPECT_DOUBLE_EQ(*model->progress.get(), 40.0);
    if (!services.alerts->shown.empty()) {
      EXPECT_EQ(services.alerts->shown[0].first, "ALERT_DOWNLOAD_FAILED_TITLE");
      services.alerts->dismissals[0]();
      EXPECT_TRUE(model->presentTutorial.get());
    }
    EXPECT_TRUE(services.panel->shown.empty());
    EXPECT_EQ(services.application->terminations, 0);
  }
}

TEST_F(SplashFlow, AFullDiskIsNamedWithTheRoomItNeeds) {
  const SpaceShortage shortage{"/home/u/.cache/tovarine", 33'554'432, 150'000'000};
  const auto full = halyard::HalyardError::responseValidationFailed(
      halyard::HalyardError::ResponseValidationFailureReason::CustomValidationFailed{
          platform::makeError(InstallerSpaceShortage(shortage))});
  for (bool mandatory : {true, false}) {
    SCOPED_TRACE(mandatory ? "mandatory" : "optional");
    FakeServices services;
    auto updator = std::make_shared<FakeUpdator>();
    auto model = SplashScreenViewModel::make(updator, services.services(), bundle_.bundle());
    updator->versioningCompletions[0](offer(mandatory));
    model->versioning = nullptr;
    model->startInstallerDownload();
    updator->downloadCompletions[0](std::unexpected(full));
    // This bundle has no table: the key, then the folder, the room needed and the room free.
    const std::string message = mandatory ? model->downloadFailureMessage.get()
                                : services.alerts->shown.empty() ? std::string()
                                                                 : services.alerts->shown[0].second;
    EXPECT_EQ(message, std::string(mandatory ? "DOWNLOAD_NO_SPACE_MESSAGE"
                                             : "ALERT_DOWNLOAD_NO_SPACE_DESCRIPTION") +
                           ": /home/u/.cache/tovarine, 150.0 MB, 33.6 MB");
    if (!mandatory) {
      EXPECT_EQ(services.alerts->shown[0].first, "ALERT_DISK_FULL_TITLE");
    }
    // Any other failure is not a full disk.
    updator->downloadCompletions.clear();
    model->retryInstallerDownload();
    if (mandatory) {
      ASSERT_EQ(updator->downloadCompletions.size(), 1u);
      updator->downloadCompletions[0](
          std::unexpected(halyard::HalyardError::explicitlyCancelled()));
      EXPECT_EQ(model->downloadFailureMessage.get(), "DOWNLOAD_FAILED_MESSAGE");
    }
  }
}

TEST_F(SplashFlow, AServerErrorIsNotBlamedOnTheConnection) {
  const auto rejected = halyard::HalyardError::responseValidationFailed(
      halyard::HalyardError::ResponseValidationFailureReason::UnacceptableStatusCode{503});
  const auto refused = halyard::HalyardError::sessionTaskFailed(
      platform::makeError(platform::URLError(platform::URLError::Code::cannotConnectToHost)));
  struct Row {
    const char* name;
    halyard::HalyardError error;
    bool mandatory;
    const char* message;  // no table in this bundle: the key, then its values
  } rows[] = {
      {"server, mandatory", rejected, true, "DOWNLOAD_SERVER_ERROR_MESSAGE: 503"},
      {"server, optional", rejected, false, "ALERT_DOWNLOAD_SERVER_ERROR_DESCRIPTION: 503"},
      {"connection, mandatory", refused, true, "DOWNLOAD_FAILED_MESSAGE"},
      {"connection, optional", refused, false, "ALERT_DOWNLOAD_FAILED_DESCRIPTION"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    FakeServices services;
    auto checker = std::make_shared<FakeUpdator>();
    auto model = SplashScreenViewModel::make(checker, services.services(), bundle_.bundle());
    checker->versioningCompletions[0](offer(row.mandatory));
    model->versioning = nullptr;
    model->startInstallerDownload();
    checker->downloadCompletions[0](std::unexpected(row.error));
    if (row.mandatory) {
      EXPECT_EQ(model->downloadFailureMessage.get(), row.message);
    } else {
      ASSERT_EQ(services.alerts->shown.size(), 1u);
      EXPECT_EQ(services.alerts->shown[0].second, row.message);
    }
  }
}

TEST_F(SplashFlow, AFullFolderIsNamedAndThePanelComesBackWhereTheInstallerFits) {
  test::TemporaryFolder home;
  home.write("Downloads/.keep", "");
  const char* oldHome = std::getenv("HOME");
  const std::string savedHome = oldHome ? oldHome : "";
  setenv("HOME", home.path().c_str(), 1);
  fakes.writer->outcomes = {false};
  fakes.writer->freeInFolder = 2;
  fakes.freeBytes = [&](const std::filesystem::path& path) -> std::optional<std::uint64_t> {
    return path == home.path() / "Downloads" ? 2 : 1 << 30;
  };
  viewModel = SplashScreenViewModel::make(updator, fakes.services(), bundle_.bundle());
  updator->versioningCompletions.back()(offer(true));
  viewModel->versioning = nullptr;
  viewModel->startInstallerDownload();
  finishDownload({1, 2, 3});
  ASSERT_EQ(fakes.panel->shown.size(), 1u);
  EXPECT_EQ(fakes.panel->shown[0].directory, home.path() / "Downloads");
  fakes.panel->completions[0](SavePanel::Response::ok, home.path() / "Downloads/Tovarine.deb");
  ASSERT_EQ(fakes.alerts->shown.size(), 1u);
  EXPECT_EQ(fakes.alerts->shown[0].first, "ALERT_DISK_FULL_TITLE");
  EXPECT_EQ(fakes.alerts->shown[0].second,
            "ALERT_SAVE_NO_SPACE_DESCRIPTION: " + (home.path() / "Downloads").string() +
                ", 3 bytes, 2 bytes");
  EXPECT_EQ(fakes.application->terminations, 0);
  fakes.alerts->dismissals[0]();
  ASSERT_EQ(fakes.panel->shown.size(), 2u);
  EXPECT_EQ(fakes.panel->shown[1].directory, home.path()) << "reopened on the full folder";
  fakes.panel->completions[1](SavePanel::Response::ok, home.path() / "Tovarine.deb");
  EXPECT_EQ(fakes.workspace->opened,
            std::vector<std::filesystem::path>{home.path() / "Tovarine.deb"});
  if (oldHome) {
    setenv("HOME", savedHome.c_str(), 1);
  } else {
    unsetenv("HOME");
  }
}

TEST_F(SplashFlow, TryingAFailedMandatoryDownloadAgainStartsItAfresh) {
  offerUpdate(true);
  viewModel->retryInstallerDownload();  // nothing failed yet
  EXPECT_EQ(updator->downloadCompletions.size(), 1u);
  updator->downloadCompletions[0](std::unexpected(halyard::HalyardError::explicitlyCancelled()));
  ASSERT_TRUE(viewModel->downloadFailed.get());
  viewModel->retryInstallerDownload();
  EXPECT_FALSE(viewModel->downloadFailed.get());
  EXPECT_FALSE(viewModel->progress.get().has_value());
  ASSERT_EQ(updator->downloadCompletions.size(), 2u);
  finishDownload(platform::Bytes(8, 1));
  EXPECT_EQ(fakes.panel->shown.size(), 1u);
}

TEST_F(SplashFlow, OtherDownloadReportsAreIgnored) {
  offerUpdate(true);
  updator->downloadCompletions[0](DownloadStatus{DownloadStatus::Started{}});
  EXPECT_TRUE(fakes.panel->shown.empty());
}

TEST_F(SplashFlow, AReleasedViewModelEndsItsWorkWithoutEffect) {
  std::weak_ptr<SplashScreenViewModel> weak = viewModel;
  viewModel.reset();
  EXPECT_TRUE(weak.expired());
  updator->versioningCompletions[0](VersioningPtr());  // nothing to move on

  auto downloading = SplashScreenViewModel::make(updator, fakes.services(), bundle_.bundle());
  updator->versioningCompletions.back()(offer(true));
  downloading->versioning = nullptr;
  downloading->startInstallerDownload();
  auto progressHandler = updator->progressHandlers.back();
  auto completion = updator->downloadCompletions.back();
  downloading.reset();
  progressHandler(std::make_shared<platform::Progress>(1));
  completion(DownloadStatus::completed(installerFile({1}), {}));
  EXPECT_TRUE(fakes.panel->shown.empty());
  EXPECT_EQ(fakes.application->terminations, 0);
}

TEST_F(SplashFlow, APanelAnswerAfterReleaseDoesNothing) {
  offerUpdate(true);
  finishDownload({1});
  auto completion = fakes.panel->completions[0];
  viewModel.reset();
  completion(SavePanel::Response::ok, "/tmp/Tovarine.deb");
  EXPECT_TRUE(fakes.writer->writes.empty());
  EXPECT_EQ(fakes.application->terminations, 0);
}

}  // namespace app
