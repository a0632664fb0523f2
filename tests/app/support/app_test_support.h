#pragma once

#include <QApplication>
#include <QImage>
#include <QWidget>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/bundle/bundle.h"
#include "app/splash/splash_services.h"
#include "app/starting/device_status_source.h"
#include "app/support/app_fakes.h"
#include "app/update/updator_network.h"
#include "platform/foundation/observable.h"

namespace app::test {

// Where the build laid out the application's resources (the tests run from the build tree).
inline std::filesystem::path buildResourcesPath() {
  return TOVARINE_BUILD_RESOURCES;
}

// A folder that is removed with everything in it when the object goes.
class TemporaryFolder {
 public:
  TemporaryFolder();
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }
  // Writes `text` to `relative` (parents made as needed) and answers the file's path.
  std::filesystem::path write(const std::filesystem::path& relative, const std::string& text) const;

 private:
  std::filesystem::path path_;
};

// A bundle made for one test, installed as the main bundle while the object lives.
class ScopedTestBundle {
 public:
  // `info` is the text of Info.json (none when empty); `tables` maps a language code to the
  // text of its Localizable.strings.
  ScopedTestBundle(const std::string& info, const std::map<std::string, std::string>& tables);
  ~ScopedTestBundle();
  const BundlePtr& bundle() const { return bundle_; }
  const std::filesystem::path& path() const { return folder_.path(); }

 private:
  TemporaryFolder folder_;
  BundlePtr bundle_;
};

// Info.json text with the given values (an empty optional leaves the key out).
std::string infoJSON(std::optional<std::string> displayName,
                     std::optional<std::string> shortVersion,
                     std::optional<std::string> buildVersion);

// The build's own resources as the main bundle while the object lives.
class ScopedBuildBundle {
 public:
  ScopedBuildBundle();
  ~ScopedBuildBundle();
};

// Points the standard user defaults at a fresh folder while the object lives.
class ScopedUserDefaults {
 public:
  ScopedUserDefaults();
  ~ScopedUserDefaults();
  const std::filesystem::path& folder() const { return folder_.path(); }

 private:
  TemporaryFolder folder_;
};

// The Qt application of the test program (offscreen unless a platform was chosen).
QApplication& qtApplication();
// Lets Qt handle what is pending (queued invocations, layouts, paints), several rounds.
void processQtEvents();
// Processes Qt events and drains the main queue until `predicate` holds (false after timeout).
bool runUntil(const std::function<bool()>& predicate, double timeoutSeconds = 5.0);

// The widget drawn into an image of its own size.
QImage render(QWidget& widget);
// Saves `image` under the test output folder ($TOVARINE_TEST_OUTPUT or the temporary folder).
std::filesystem::path saveScreenshot(const QImage& image, const std::string& name);
// Whether `image` holds a horizontal run of at least `length` pixels of exactly `color`.
bool hasRunOfColor(const QImage& image, QRgb color, int length);
// The number of pixels of `image` within `tolerance` of `color` in each channel, inside `area`.
int countPixels(const QImage& image, QRgb color, int tolerance, QRect area);

// ---- Fakes of the update flow's collaborators ------------------------------------------------

// An update to version 9 of the program, `mandatory` or not, as the update service offers it.
VersioningPtr updateOffer(bool mandatory);

class FakeUpdator final : public UpdatorCloudProtocol {
 public:
  std::vector<std::function<void(VersioningResult)>> versioningCompletions;
  std::vector<ProgressHandler> progressHandlers;
  std::vector<std::function<void(DownloadResult)>> downloadCompletions;

  void getVersioning(std::function<void(VersioningResult)> completion) override {
    versioningCompletions.push_back(std::move(completion));
  }
  void downloadFileVersioning(ProgressHandler onProgress,
                              std::function<void(DownloadResult)> completion) override {
    progressHandlers.push_back(std::move(onProgress));
    downloadCompletions.push_back(std::move(completion));
  }
};

class FakeSavePanel final : public SavePanel {
 public:
  std::vector<Options> shown;
  std::vector<Completion> completions;
  void begin(const Options& options, Completion completion) override {
    shown.push_back(options);
    completions.push_back(std::move(completion));
  }
};

class FakeFileWriter final : public FileWriter {
 public:
  std::vector<std::pair<std::size_t, std::filesystem::path>> writes;  // (bytes, location)
  std::vector<bool> outcomes;  // consumed in order; success once they run out
  // Free bytes in the target's folder: a failing outcome then names the shortage.
  std::optional<std::uint64_t> freeInFolder;
  std::expected<void, WriteFailure> copy(const std::filesystem::path& source,
                                         const std::filesystem::path& location) override {
    std::error_code error;
    const auto size = std::filesystem::file_size(source, error);
    writes.emplace_back(error ? 0 : std::size_t(size), location);
    if (!outcomes.empty()) {
      const bool ok = outcomes.front();
      outcomes.erase(outcomes.begin());
      if (!ok) {
        std::optional<SpaceShortage> shortage;
        if (freeInFolder) shortage = SpaceShortage{location.parent_path(), *freeInFolder, size};
        return std::unexpected(WriteFailure{"disk full", shortage});
      }
    }
    return {};
  }
};

class FakeApplication final : public ApplicationControl {
 public:
  int terminations = 0;
  void terminate() override { ++terminations; }
};

class FakeErrorAlerts final : public ErrorAlertPresenter {
 public:
  std::vector<std::pair<std::string, std::string>> shown;
  std::vector<std::function<void()>> dismissals;
  void showError(const std::string& title, const std::string& message,
                 std::function<void()> onDismiss) override {
    shown.emplace_back(title, message);
    dismissals.push_back(std::move(onDismiss));
  }
};

struct FakeServices {
  std::shared_ptr<FakeSavePanel> panel = std::make_shared<FakeSavePanel>();
  std::shared_ptr<FakeFileWriter> writer = std::make_shared<FakeFileWriter>();
  std::shared_ptr<FakeWorkspace> workspace = std::make_shared<FakeWorkspace>();
  std::shared_ptr<FakeApplication> application = std::make_shared<FakeApplication>();
  std::shared_ptr<FakeErrorAlerts> alerts = std::make_shared<FakeErrorAlerts>();
  FreeSpaceSource freeBytes;
  SplashServices services() const {
    return {panel, writer, workspace, application, alerts, freeBytes};
  }
};

// A coordinator stand-in with a published device state.
class FakeCoordinator : public platform::ObservableObject {
 public:
  platform::Published<streaming::DeviceStatus> deviceStatus{*this,
                                                            streaming::DeviceStatus::Detached};
  platform::Published<std::optional<std::string>> displayFailure{*this, std::nullopt};
};

}  // namespace app::test
