#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "app/service/api_service_manager.h"
#include "app/splash/splash_screen_view_model.h"
#include "app/support/app_test_support.h"
#include "app/update/updator_network.h"
#include "platform/foundation/log.h"
#include "support/http_test_handlers.h"
#include "support/http_test_server.h"

namespace app {
namespace {

// The update server for one test: answers the description path below any first path segment
// from a table of (status, body, content type), and records the requests it saw.
class UpdateServer {
 public:
  struct Answer {
    int status = 200;
    std::string body;
    std::string contentType = "application/json";
  };

  UpdateServer() {
    http_.server().Get(R"(/(\w+)/wp-content/uploads/tovarine/TovarineVersioning\.json)",
                       [this](const httplib::Request& request, httplib::Response& response) {
                         std::lock_guard lock(mutex_);
                         seen_.push_back(request);
                         auto it = answers_.find(request.matches[1]);
                         if (it == answers_.end()) {
                           response.status = 404;
                           return;
                         }
                         response.status = it->second.status;
                         response.set_content(it->second.body, it->second.contentType.c_str());
                       });
    http_.server().Get(R"(/(\w+)/wp-content/uploads/tovarine/Tovarine\.dmg)",
                       [this](const httplib::Request& request, httplib::Response& response) {
                         serveInstaller(request, response);
                       });
    http_.start();
  }

  // How the installer path answers below a first path segment: a status and body, sent in
  // `pieces` chunks when more than one (each piece waits until the client has reported the
  // one before, so they cannot merge), with an optional suggested file name.
  struct Installer {
    int status = 200;
    std::string body;
    int pieces = 1;
    std::string suggestedName;
  };
  void installer(const std::string& name, Installer answer) {
    std::lock_guard lock(mutex_);
    installers_[name] = std::move(answer);
  }
  // The client reports progress; chunked answers go on at that pace.
  void progressReported() { progress_.reported(); }

  void answer(const std::string& name, Answer a) {
    std::lock_guard lock(mutex_);
    answers_[name] = std::move(a);
  }
  std::string base(const std::string& name) const { return http_.baseURL() + "/" + name; }
  std::vector<httplib::Request> seen() const {
    std::lock_guard lock(mutex_);
    return seen_;
  }

 private:
  void serveInstaller(const httplib::Request& request, httplib::Response& response) {
    Installer answer;
    {
      std::lock_guard lock(mutex_);
      auto it = installers_.find(request.matches[1]);
      if (it == installers_.end()) {
        response.status = 404;
        return;
      }
      answer = it->second;
      progress_.reset();
    }
    response.status = answer.status;
    if (!answer.suggestedName.empty()) {
      response.set_header("Content-Disposition",
                          "attachment; filename=\"" + answer.suggestedName + "\"");
    }
    if (answer.pieces <= 1) {
      response.set_content(answer.body, "application/octet-stream");
      return;
    }
    testsupport::sendPacedPieces(response, answer.body, answer.pieces, progress_);
  }

  mutable std::mutex mutex_;
  testsupport::ProgressPacer progress_;
  std::map<std::string, Installer> installers_;
  std::map<std::string, Answer> answers_;
  std::vector<httplib::Request> seen_;
  // Declared last: it stops serving before the tables its handler reads go away.
  testsupport::HttpTestServer http_{/*onePerConnection=*/true};
};

class ScopedServerURL {
 public:
  explicit ScopedServerURL(const std::string& url) {
    setenv("TOVARINE_UPDATE_URL", url.c_str(), 1);
  }
  ~ScopedServerURL() { unsetenv("TOVARINE_UPDATE_URL"); }
};

class UpdateClient : public testing::Test {
 protected:
  UpdateClient() : bundle_(test::infoJSON("Tovarine", "1.0", "1"), {}) { test::qtApplication(); }

  // Runs one description request against `base` and waits for its answer.
  UpdatorCloudProtocol::VersioningResult check(const std::string& base) {
    ScopedServerURL url(base);
    auto service = APIServiceManager::make();
    service->setErrorHandler(
        [this](const halyard::HalyardError& error, const APIResource& resource) {
          handledErrors.push_back({error.debugDescription(), resource.router()});
        });
    UpdatorNetwork client(service);
    // Shared, so that an answer arriving after a failed wait has somewhere to go.
    auto result = std::make_shared<std::optional<UpdatorCloudProtocol::VersioningResult>>();
    client.getVersioning(
        [result](UpdatorCloudProtocol::VersioningResult r) { *result = std::move(r); });
    EXPECT_TRUE(test::runUntil([&] { return result->has_value(); }, 20));
    if (!*result) return std::unexpected(nullptr);
    return **result;
  }

  test::ScopedTestBundle bundle_;
  UpdateServer server;
  std::vector<std::pair<std::string, UpdatorCloudCommonRouter>> handledErrors;
};

}  // namespace

TEST_F(UpdateClient, AnUpToDateDescriptionIsNotOffered) {
  server.answer(
      "valid",
      {200, R"({"name":"Tovarine","releaseVersion":1.0,"buildVersion":1,"isMandatory":true})"});
  platform::LogCapture capture;
  auto result = check(server.base("valid"));
  ASSERT_TRUE(result.has_value());
  ASSERT_NE(*result, nullptr);
  EXPECT_EQ((*result)->isUpdateAvailable(*bundle_.bundle()), false);
  // The text of the answer went to the console before the decoded result arrived.
  EXPECT_TRUE(capture.contains("success(")) << capture.text();
  EXPECT_TRUE(handledErrors.empty());

  const auto requests = server.seen();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].get_header_value("Content-Type"), "application/json");
  EXPECT_TRUE(requests[0].has_header("User-Agent"));
  EXPECT_TRUE(requests[0].has_header("Accept-Language"));
  EXPECT_TRUE(requests[0].has_header("Accept-Encoding"));
}

TEST_F(UpdateClient, MandatoryAndOptionalOffers) {
  server.answer(
      "mandatory",
      {200, R"({"name":"Tovarine","releaseVersion":1.1,"buildVersion":1,"isMandatory":true})"});
  server.answer(
      "optional",
      {200, R"({"name":"Tovarine","releaseVersion":1.0,"buildVersion":2,"isMandatory":false})",
       "text/plain"});
  auto mandatory = check(server.base("mandatory"));
  ASSERT_TRUE(mandatory.has_value() && *mandatory);
  EXPECT_EQ((*mandatory)->isUpdateAvailable(*bundle_.bundle()), true);
  EXPECT_EQ((*mandatory)->isMandatory, true);
  auto optional = check(server.base("optional"));
  ASSERT_TRUE(optional.has_value() && *optional);
  EXPECT_EQ((*optional)->isUpdateAvailable(*bundle_.bundle()), true);
  EXPECT_EQ((*optional)->isMandatory, false);
}

TEST_F(UpdateClient, ADescriptionForAnotherProductIsUndetermined) {
  server.answer(
      "wrongname",
      {200, R"({"name":"tovarine","releaseVersion":9,"buildVersion":9,"isMandatory":true})"});
  auto result = check(server.base("wrongname"));
  ASSERT_TRUE(result.has_value() && *result);
  EXPECT_EQ((*result)->isUpdateAvailable(*bundle_.bundle()), std::nullopt);
}

TEST_F(UpdateClient, AStringVersionFailsDecoding) {
  server.answer(
      "string",
      {200, R"({"name":"Tovarine","releaseVersion":"1.1","buildVersion":1,"isMandatory":true})"});
  auto result = check(server.base("string"));
  ASSERT_FALSE(result.has_value());
  ASSERT_NE(result.error(), nullptr);
  EXPECT_EQ(result.error()->apiCode(), std::nullopt);
  EXPECT_EQ(result.error()->invalidCredential(), 401);
  ASSERT_EQ(handledErrors.size(), 1u);
  EXPECT_EQ(handledErrors[0].second, UpdatorCloudCommonRouter::getVersioning);
}

TEST_F(UpdateClient, ANullBodyIsNoDescription) {
  server.answer("null", {200, "null"});
  auto result = check(server.base("null"));
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(*result, nullptr);
}

TEST_F(UpdateClient, AnEmptyBodyFails) {
  server.answer("empty", {200, ""});
  auto result = check(server.base("empty"));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error()->apiCode(), std::nullopt);
}

TEST_F(UpdateClient, RejectedStatusesCarryTheirCode) {
  server.answer("missing", {404, "<html>not here</html>", "text/html"});
  server.answer("broken", {500, R"({"name":"Tovarine"})"});
  for (const auto& [name, code] : {std::pair{"missing", 404}, std::pair{"broken", 500}}) {
    auto result = check(server.base(name));
    ASSERT_FALSE(result.has_value()) << name;
    ASSERT_NE(result.error(), nullptr);
    EXPECT_EQ(result.error()->apiCode(), code);
    EXPECT_EQ(result.error()->invalidCredential(), 401);
  }
  EXPECT_EQ(handledErrors.size(), 2u);
}

TEST_F(UpdateClient, AClosedPortFailsWithoutACode) {
  // Bind a port without listening and release it, so nothing listens there.
  int closedPort = 0;
  {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    closedPort = ntohs(address.sin_port);
    ::close(fd);
  }
  auto result = check("http://127.0.0.1:" + std::to_string(closedPort) + "/x");
  ASSERT_FALSE(result.has_value());
  ASSERT_NE(result.error(), nullptr);
  EXPECT_EQ(result.error()->apiCode(), std::nullopt);
}

TEST_F(UpdateClient, NoServerConfiguredMeansNoUpdateWithoutARequest) {
  platform::LogCapture capture;
  auto result = check("");
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(*result, nullptr);
  EXPECT_TRUE(handledErrors.empty()) << handledErrors[0].first;
  EXPECT_EQ(capture.text(), "No update server configured; the update check is skipped.\n");
}

TEST_F(UpdateClient, TheSplashMovesOnWhenTheServerFailsAndOffersWhatItDescribes) {
  test::FakeServices fakes;
  server.answer("down", {503, "busy"});
  server.answer(
      "offer",
      {200, R"({"name":"Tovarine","releaseVersion":2,"buildVersion":1,"isMandatory":false})"});
  {
    ScopedServerURL url(server.base("down"));
    auto viewModel =
        SplashScreenViewModel::make(std::make_shared<UpdatorNetwork>(APIServiceManager::make()),
                                    fakes.services(), bundle_.bundle());
    ASSERT_TRUE(test::runUntil([&] { return viewModel->presentTutorial.get(); }, 20));
    EXPECT_EQ(viewModel->versioning.get(), nullptr);
  }
  {
    ScopedServerURL url(server.base("offer"));
    auto viewModel =
        SplashScreenViewModel::make(std::make_shared<UpdatorNetwork>(APIServiceManager::make()),
                                    fakes.services(), bundle_.bundle());
    ASSERT_TRUE(test::runUntil([&] { return viewModel->versioning.get() != nullptr; }, 20));
    EXPECT_FALSE(viewModel->presentTutorial.get());
    // The server has no installer: the optional download fails, says so, and once the user
    // has read it the window moves on.
    viewModel->versioning = nullptr;
    viewModel->startInstallerDownload();
    ASSERT_TRUE(test::runUntil([&] { return !fakes.alerts->shown.empty(); }, 20));
    EXPECT_FALSE(viewModel->presentTutorial.get());
    fakes.alerts->dismissals.front()();
    EXPECT_TRUE(viewModel->presentTutorial.get());
    EXPECT_TRUE(fakes.panel->shown.empty());
  }
}

TEST_F(UpdateClient, WithoutAServerNoCheckIsMadeAndOneLineSaysSo) {
  // The build's default: neither the bundle nor the environment names a server.
  unsetenv("TOVARINE_UPDATE_URL");
  test::FakeServices fakes;
  platform::LogCapture capture;
  auto viewModel =
      SplashScreenViewModel::make(std::make_shared<UpdatorNetwork>(APIServiceManager::make()),
                                  fakes.services(), bundle_.bundle());
  ASSERT_TRUE(test::runUntil([&] { return viewModel->presentTutorial.get(); }, 20));
  EXPECT_EQ(viewModel->versioning.get(), nullptr);
  // Not a failed request: one line, and nothing about a failure.
  EXPECT_EQ(capture.text(), "No update server configured; the update check is skipped.\n");
  EXPECT_TRUE(fakes.alerts->shown.empty());
}

TEST_F(UpdateClient, InstallerReportsGoThroughTheDownloaderAndAreChecked) {
  // A downloader that reports like the real one: progress, then the content.
  class ScriptedDownloader final : public InstallerDownloader {
   public:
    explicit ScriptedDownloader(platform::Bytes content) : content_(std::move(content)) {}
    std::optional<platform::URLRequest> requested;
    void download(halyard::URLRequestConvertiblePtr request, ReportHandler report) override {
      requested = request->toURLRequest();
      auto main = platform::DispatchQueue::main();
      auto progress = std::make_shared<platform::Progress>(3);
      for (int i = 1; i <= 3; ++i) {
        main->async([report, progress, i] {
          progress->setCompletedUnitCount(i);
          report(DownloadStatus::progress(progress));
        });
      }
      main->async([report, content = content_] { report(DownloadStatus::completedData(content)); });
    }

   private:
    platform::Bytes content_;
  };

  ScopedServerURL url(server.base("installer"));
  for (const platform::Bytes& content : {platform::Bytes{'d', 'm', 'g'}, platform::Bytes{}}) {
    std::shared_ptr<ScriptedDownloader> downloader;
    halyard::SessionPtr transferSession;
    auto service = APIServiceManager::make([&](const halyard::SessionPtr& session) {
      transferSession = session;
      return downloader = std::make_shared<ScriptedDownloader>(content);
    });
    EXPECT_EQ(transferSession, service->transferSession());
    EXPECT_NE(service->transferSession(), service->session());
    EXPECT_EQ(service->session()->session()->configuration().timeoutIntervalForResource, 30.0);
    EXPECT_GT(service->transferSession()->session()->configuration().timeoutIntervalForResource,
              3600.0);
    EXPECT_EQ(service->transferSession()->session()->configuration().timeoutIntervalForRequest,
              30.0);
    UpdatorNetwork client(service);
    std::vector<double> fractions;
    std::optional<UpdatorCloudProtocol::DownloadResult> result;
    int resumes = 0;
    client.downloadFileVersioning(
        [&](const std::shared_ptr<const platform::Progress>& p) {
          fractions.push_back(p->fractionCompleted());
        },
        [&](UpdatorCloudProtocol::DownloadResult r) {
          ++resumes;
          result = std::move(r);
        });
    ASSERT_TRUE(test::runUntil([&] { return result.has_value(); }));
    test::processQtEvents();
    EXPECT_EQ(resumes, 1);
    EXPECT_EQ(fractions.size(), 3u);
    EXPECT_EQ(downloader->requested->url->absoluteString(),
              server.base("installer") + "/wp-content/uploads/tovarine/Tovarine.dmg");
    if (content.empty()) {
      // An empty image is never handed on as an installer.
      EXPECT_FALSE(result->has_value());
    } else {
      ASSERT_TRUE(result->has_value());
      EXPECT_EQ((*result)->as<DownloadStatus::CompletedData>()->data, content);
    }
  }
}

// The installer over HTTP, as the application fetches it: into the caches folder, read back
// and handed on, with the failures that must never become an installer.
class InstallerDownload : public UpdateClient {
 protected:
  InstallerDownload() { setenv("XDG_CACHE_HOME", caches_.path().c_str(), 1); }
  ~InstallerDownload() override { unsetenv("XDG_CACHE_HOME"); }

  struct Outcome {
    std::optional<UpdatorCloudProtocol::DownloadResult> result;
    std::vector<double> fractions;
  };

  Outcome download(const std::string& name) {
    ScopedServerURL url(server.base(name));
    auto service = APIServiceManager::make();
    UpdatorNetwork client(service);
    Outcome outcome;
    client.downloadFileVersioning(
        [&](const std::shared_ptr<const platform::Progress>& p) {
          outcome.fractions.push_back(p->fractionCompleted());
          server.progressReported();
        },
        [&](UpdatorCloudProtocol::DownloadResult r) { outcome.result = std::move(r); });
    EXPECT_TRUE(test::runUntil([&] { return outcome.result.has_value(); }, 30));
    test::processQtEvents();
    return outcome;
  }

  std::filesystem::path folder() const { return caches_.path() / "tovarine"; }
  std::vector<std::string> filesUnder(const std::filesystem::path& root) const {
    std::vector<std::string> names;
    if (!std::filesystem::exists(root)) return names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
      if (entry.is_regular_file()) {
        names.push_back(std::filesystem::relative(entry.path(), root).string());
      }
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  static std::string read(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  test::TemporaryFolder caches_;
};

TEST_F(InstallerDownload, AChunkedInstallerReportsProgressAndIsKeptInTheCaches) {
  std::string image(64 * 1024, '\0');
  for (std::size_t i = 0; i < image.size(); ++i)
    image[i] = static_cast<char>(i * 7 + i / 251);
  server.installer("chunked", {200, image, 4, ""});
  const Outcome outcome = download("chunked");
  ASSERT_TRUE(outcome.result.has_value());
  ASSERT_TRUE(outcome.result->has_value()) << outcome.result->error().debugDescription();
  const auto* completed = (*outcome.result)->as<DownloadStatus::CompletedData>();
  ASSERT_NE(completed, nullptr);
  EXPECT_EQ(std::string(completed->data.begin(), completed->data.end()), image);
  EXPECT_GE(outcome.fractions.size(), 3u);
  EXPECT_TRUE(std::is_sorted(outcome.fractions.begin(), outcome.fractions.end()));
  // Without a suggested name the file takes the last path component of the address.
  EXPECT_EQ(filesUnder(caches_.path()), std::vector<std::string>{"tovarine/Tovarine.dmg"});
  EXPECT_EQ(read(folder() / "Tovarine.dmg"), image);
}

TEST_F(InstallerDownload, ASuggestedNameNeverLeadsOutOfTheFolder) {
  server.installer("escape", {200, "disk image", 1, "../x"});
  server.installer("hidden", {200, "other image", 1, "../.."});
  const Outcome escape = download("escape");
  ASSERT_TRUE(escape.result.has_value() && escape.result->has_value());
  EXPECT_EQ(read(folder() / "x"), "disk image");
  const Outcome hidden = download("hidden");
  ASSERT_TRUE(hidden.result.has_value() && hidden.result->has_value());
  EXPECT_EQ(filesUnder(caches_.path()),
            (std::vector<std::string>{"tovarine/Tovarine.dmg", "tovarine/x"}));
  EXPECT_EQ(read(folder() / "Tovarine.dmg"), "other image");
}

TEST_F(InstallerDownload, ErrorPagesAndEmptyAnswersAreNeverTheInstaller) {
  // A good installer from an earlier run stays as it is.
  server.installer("good", {200, "the real image", 1, ""});
  const Outcome good = download("good");
  ASSERT_TRUE(good.result.has_value() && good.result->has_value());

  server.installer("missing", {404, "<html>not here</html>", 1, ""});
  server.installer("broken", {500, "<html>oops</html>", 3, ""});
  server.installer("empty", {200, "", 1, ""});
  for (const std::string name : {"missing", "broken", "empty"}) {
    const Outcome outcome = download(name);
    ASSERT_TRUE(outcome.result.has_value()) << name;
    EXPECT_FALSE(outcome.result->has_value()) << name;
    EXPECT_EQ(filesUnder(caches_.path()), std::vector<std::string>{"tovarine/Tovarine.dmg"})
        << name;
  }
  EXPECT_EQ(read(folder() / "Tovarine.dmg"), "the real image");
  const Outcome missing = download("missing");
  ASSERT_TRUE(missing.result.has_value() && !missing.result->has_value());
  EXPECT_EQ(missing.result->error().rejectedStatusCode(), 404);
}

}  // namespace app
