#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include <QMessageBox>
#include <QPushButton>

#include "app/service/api_service_manager.h"
#include "app/shell/qt_services.h"
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
    http_.server().Get(R"(/(\w+)/wp-content/uploads/tovarine/Tovarine\.deb)",
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
  // An installer path answered by `handler` itself.
  void installerHandler(const std::string& name, httplib::Server::Handler handler) {
    std::lock_guard lock(mutex_);
    handlers_[name] = std::move(handler);
  }

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
      if (auto custom = handlers_.find(request.matches[1]); custom != handlers_.end()) {
        auto handler = custom->second;
        mutex_.unlock();
        handler(request, response);
        mutex_.lock();
        return;
      }
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
  std::map<std::string, httplib::Server::Handler> handlers_;
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

// An address on 127.0.0.1 where nothing listens: a port bound without listening, then let go.
std::string refusingAddress() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                     ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  if (fd >= 0) ::close(fd);
  return bound ? "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/x" : "";
}

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

  // The splash as the application makes it, over the real update client.
  std::shared_ptr<SplashScreenViewModel> makeSplash(test::FakeServices& fakes) {
    return SplashScreenViewModel::make(std::make_shared<UpdatorNetwork>(APIServiceManager::make()),
                                       fakes.services(), bundle_.bundle());
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
  // The request names no types it accepts, so none goes out.
  EXPECT_FALSE(requests[0].has_header("Accept"));
}

TEST_F(UpdateClient, OversizedDescriptionsAreRefusedAndOnlyAnExcerptIsPrinted) {
  const std::string huge = R"({"name":")" + std::string(4 << 20, 'a') + R"("})";
  // Compressed on the wire to a few kilobytes; 4 MiB once decoded.
  server.answer("packed", {200, huge, "application/json"});
  server.answer("plain", {200, huge, "application/octet-stream"});
  server.answer("hostile", {200, "evil\x1b[2J\r\nforged line", "text/plain"});
  struct Row {
    const char* name;
    const char* printed;  // a piece of the console line
  };
  const Row rows[] = {{"packed", "failure("},
                      {"plain", "failure("},
                      {"hostile", "evil\\u{1B}[2J\\u{D}\\u{A}forged line"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    platform::LogCapture capture;
    auto result = check(server.base(row.name));
    EXPECT_FALSE(result.has_value());
    const std::string text = capture.text();
    EXPECT_LT(text.size(), 1000u);
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
    EXPECT_EQ(text.find("\nforged"), std::string::npos);
    EXPECT_NE(text.find(row.printed), std::string::npos) << text;
  }
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

TEST_F(UpdateClient, EachFailedCheckLogsItsOwnCauseAndNoMoreThanAnExcerptOfTheBody) {
  server.answer("garbage", {200, "<html>" + std::string(5000, 'g') + "</html>", "text/html"});
  server.answer("missing", {404, "<html>not here</html>", "text/html"});
  server.answer("broken", {500, std::string(5000, 'b'), "text/plain"});
  struct Row {
    const char* name;
    std::string base;
    ApiServiceError::Kind kind;
    const char* logged;  // a piece of the "Update check failed" line
  } rows[] = {
      {"refused", refusingAddress(), ApiServiceError::Kind::networkError,
       "could not be reached. ApiServiceError(networkError, resource: "},
      {"garbage", server.base("garbage"), ApiServiceError::Kind::undecodableAnswer,
       "not an update description. ApiServiceError(undecodableAnswer, "},
      {"missing", server.base("missing"), ApiServiceError::Kind::rejectedStatus,
       "answered with status 404. ApiServiceError(rejectedStatus 404, "},
      {"broken", server.base("broken"), ApiServiceError::Kind::rejectedStatus,
       "ApiServiceError(rejectedStatus 500, "},
      {"no address", "http://[::1/x", ApiServiceError::Kind::invalidAddress,
       "ApiServiceError(invalidAddress, "},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_FALSE(row.base.empty());
    auto result = check(row.base);
    ASSERT_FALSE(result.has_value());
    ASSERT_NE(result.error(), nullptr);
    EXPECT_EQ(result.error()->kind(), row.kind) << result.error()->debugDescription();
    // As the splash logs it.
    ScopedServerURL url(row.base);
    test::FakeServices fakes;
    platform::LogCapture capture;
    auto viewModel = makeSplash(fakes);
    ASSERT_TRUE(test::runUntil([&] { return viewModel->presentTutorial.get(); }, 20));
    const std::string text = capture.text();
    EXPECT_NE(text.find("Update check failed: "), std::string::npos) << text;
    EXPECT_NE(text.find(row.logged), std::string::npos) << text;
    EXPECT_EQ(text.find("invalidCredential"), std::string::npos) << text;
    // The 5000 bytes of a body never reach the log whole.
    EXPECT_EQ(text.find(std::string(200, row.name[0])), std::string::npos) << text;
    EXPECT_LT(text.size(), 1200u) << text;
  }
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
    auto viewModel = makeSplash(fakes);
    ASSERT_TRUE(test::runUntil([&] { return viewModel->presentTutorial.get(); }, 20));
    EXPECT_EQ(viewModel->versioning.get(), nullptr);
  }
  {
    ScopedServerURL url(server.base("offer"));
    auto viewModel = makeSplash(fakes);
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
  auto viewModel = makeSplash(fakes);
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
      main->async([report, file = file_] {
        report(DownloadStatus::completed(platform::URL::fileURLWithPath(file.string()), {}));
      });
    }

    ScriptedDownloader(platform::Bytes content, std::filesystem::path file) : file_(file) {
      std::ofstream(file, std::ios::binary)
          .write(reinterpret_cast<const char*>(content.data()), std::streamsize(content.size()));
    }

   private:
    std::filesystem::path file_;
  };

  ScopedServerURL url(server.base("installer"));
  test::TemporaryFolder files;
  for (const platform::Bytes& content : {platform::Bytes{'d', 'm', 'g'}, platform::Bytes{}}) {
    std::shared_ptr<ScriptedDownloader> downloader;
    halyard::SessionPtr transferSession;
    const auto file = files.path() / (content.empty() ? "empty.dmg" : "image.dmg");
    auto service = APIServiceManager::make([&](const halyard::SessionPtr& session) {
      transferSession = session;
      return downloader = std::make_shared<ScriptedDownloader>(content, file);
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
              server.base("installer") + "/wp-content/uploads/tovarine/Tovarine.deb");
    if (content.empty()) {
      // An empty image is never handed on as an installer.
      EXPECT_FALSE(result->has_value());
    } else {
      ASSERT_TRUE(result->has_value());
      EXPECT_EQ((*result)->as<DownloadStatus::Completed>()->downloadedFileUrl.path(),
                file.string());
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
    return run(APIServiceManager::make());
  }

  // The same over a session of its own, bounded by `limits`.
  Outcome downloadWith(const std::string& name, const InstallerLimits& limits) {
    ScopedServerURL url(server.base(name));
    auto configuration = halyard::Session::defaultConfiguration();
    applyInstallerLimits(configuration, limits);
    auto session = halyard::Session::initWithConfiguration(std::move(configuration));
    return run(APIServiceManager::make([&](const halyard::SessionPtr&) {
      return makeBoundedInstallerDownloader(session, limits);
    }));
  }

  Outcome run(const APIServiceManagerPtr& service) {
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
  const auto* completed = (*outcome.result)->as<DownloadStatus::Completed>();
  ASSERT_NE(completed, nullptr);
  EXPECT_EQ(completed->downloadedFileUrl.path(), (folder() / "Tovarine.deb").string());
  EXPECT_GE(outcome.fractions.size(), 3u);
  EXPECT_TRUE(std::is_sorted(outcome.fractions.begin(), outcome.fractions.end()));
  // Without a suggested name the file takes the last path component of the address.
  EXPECT_EQ(filesUnder(caches_.path()), std::vector<std::string>{"tovarine/Tovarine.deb"});
  EXPECT_EQ(read(folder() / "Tovarine.deb"), image);
}

TEST_F(InstallerDownload, LimitsRefuseWhatCannotBeAnInstallerAndLeaveNothingBehind) {
  server.installerHandler("endless", [](const httplib::Request&, httplib::Response& response) {
    response.set_chunked_content_provider("application/octet-stream",
                                          [](std::size_t, httplib::DataSink& sink) {
                                            static const std::string piece(64 * 1024, 'x');
                                            return sink.write(piece.data(), piece.size());
                                          });
  });
  server.installerHandler("declared", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(std::string(256 * 1024, 'd'), "application/octet-stream");
  });
  // Compressed by the server to a few kilobytes; 8 MiB once decoded.
  server.installerHandler("bomb", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(std::string(8 << 20, '\0'), "text/plain");
  });
  // One byte every 50 ms: never idle, never done.
  server.installerHandler("drip", [](const httplib::Request&, httplib::Response& response) {
    response.set_chunked_content_provider(
        "application/octet-stream", [](std::size_t offset, httplib::DataSink& sink) {
          if (offset >= 200) {
            sink.done();
            return true;
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
          return sink.write("x", 1);
        });
  });
  server.installer("fits", {200, std::string(64 * 1024, 'f'), 1, ""});

  const auto plenty = [](const std::filesystem::path&) {
    return std::optional<std::uint64_t>(std::uint64_t(1) << 40);
  };
  const auto full = [](const std::filesystem::path&) { return std::optional<std::uint64_t>(0); };
  // Room at the start, none once the download is under way.
  auto asked = std::make_shared<std::atomic<int>>(0);
  const auto filling = [asked](const std::filesystem::path&) {
    return std::optional<std::uint64_t>(++*asked <= 2 ? std::uint64_t(1) << 40 : 0);
  };
  struct Row {
    const char* name;
    std::int64_t maximumBytes;
    std::int64_t minimumBytesPerSecond;
    std::function<std::optional<std::uint64_t>(const std::filesystem::path&)> freeBytes;
    const char* failure;  // a piece of the error's text; none: the download succeeds
  };
  const Row rows[] = {
      {"endless", 1 << 20, 0, plenty, "larger than allowed"},
      {"declared", 16 * 1024, 0, plenty, "larger than allowed"},
      {"bomb", 1 << 20, 0, plenty, "larger than allowed"},
      {"drip", 1 << 20, 1024, plenty, "timed out"},
      {"fits", 1 << 20, 0, full, "Not enough free space"},
      {"endless", std::int64_t(1) << 40, 0, filling, "Not enough free space"},
      {"fits", 1 << 20, 1024, plenty, nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    InstallerLimits limits;
    limits.maximumBytes = row.maximumBytes;
    limits.minimumBytesPerSecond = row.minimumBytesPerSecond;
    limits.lowSpeedSeconds = 1;
    limits.freeBytes = row.freeBytes;
    const Outcome outcome = downloadWith(row.name, limits);
    ASSERT_TRUE(outcome.result.has_value());
    if (!row.failure) {
      ASSERT_TRUE(outcome.result->has_value()) << outcome.result->error().debugDescription();
      EXPECT_EQ(read(folder() / "Tovarine.deb"), std::string(64 * 1024, 'f'));
      continue;
    }
    ASSERT_FALSE(outcome.result->has_value());
    EXPECT_NE(outcome.result->error().debugDescription().find(row.failure), std::string::npos)
        << outcome.result->error().debugDescription();
    EXPECT_EQ(filesUnder(caches_.path()), std::vector<std::string>{});
  }
}

TEST_F(InstallerDownload, AFullDiskNamesTheRoomTheDeclaredInstallerNeeds) {
  server.installer("sized", {200, std::string(64 * 1024, 's'), 1, ""});
  struct Row {
    const char* name;
    std::uint64_t free;  // in every folder the installer passes through
    std::uint64_t reserve;
    std::optional<std::uint64_t> needed;  // none: the download succeeds
  } rows[] = {
      // The reserve is not even there: the answer's length tells how much is needed.
      {"nearly full from the start", 1000, 4096, 64 * 1024 + 4096},
      {"full", 0, 4096, 64 * 1024 + 4096},
      {"room for both", 1 << 20, 4096, std::nullopt},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    InstallerLimits limits;
    limits.freeSpaceReserve = row.reserve;
    limits.freeBytes = [free = row.free](const std::filesystem::path&) {
      return std::optional<std::uint64_t>(free);
    };
    const Outcome outcome = downloadWith("sized", limits);
    ASSERT_TRUE(outcome.result.has_value());
    if (!row.needed) {
      EXPECT_TRUE(outcome.result->has_value());
      continue;
    }
    ASSERT_FALSE(outcome.result->has_value());
    const auto shortage = spaceShortage(outcome.result->error());
    ASSERT_TRUE(shortage.has_value()) << outcome.result->error().debugDescription();
    EXPECT_EQ(shortage->neededBytes, *row.needed);
    EXPECT_EQ(shortage->freeBytes, row.free);
    EXPECT_EQ(shortage->folder, folder());
    EXPECT_EQ(filesUnder(caches_.path()), std::vector<std::string>{});
  }
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
            (std::vector<std::string>{"tovarine/Tovarine.deb", "tovarine/x"}));
  EXPECT_EQ(read(folder() / "Tovarine.deb"), "other image");
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
    EXPECT_EQ(filesUnder(caches_.path()), std::vector<std::string>{"tovarine/Tovarine.deb"})
        << name;
  }
  EXPECT_EQ(read(folder() / "Tovarine.deb"), "the real image");
  const Outcome missing = download("missing");
  ASSERT_TRUE(missing.result.has_value() && !missing.result->has_value());
  EXPECT_EQ(missing.result->error().rejectedStatusCode(), 404);
}

// The whole update flow against the local server, with the desktop's own alert and opener.
class UpdateFlow : public InstallerDownload {
 protected:
  UpdateFlow() {
    window_.resize(853, 600);
    window_.show();
    services_ = test::FakeServices();
    flow_.workspace = services_.workspace;
    flow_.savePanel = services_.panel;
    flow_.fileWriter = std::make_shared<AtomicFileWriter>();
    flow_.application = services_.application;
    flow_.errorAlerts = std::make_shared<QtErrorAlertPresenter>(&window_);
  }

  // Offers a mandatory update from `name`'s folder on the server and accepts it.
  SplashScreenViewModelPtr acceptUpdate(const std::string& name) {
    server.answer(
        name,
        {200, R"({"name":"Tovarine","releaseVersion":2,"buildVersion":1,"isMandatory":true})"});
    url_.emplace(server.base(name));
    auto viewModel = SplashScreenViewModel::make(
        std::make_shared<UpdatorNetwork>(APIServiceManager::make()), flow_, bundle_.bundle());
    EXPECT_TRUE(test::runUntil([&] { return viewModel->versioning.get() != nullptr; }, 20));
    viewModel->versioning = nullptr;
    viewModel->startInstallerDownload();
    return viewModel;
  }

  // The alert over the window, once it shows.
  QMessageBox* alert() {
    QMessageBox* shown = nullptr;
    test::runUntil(
        [&] {
          shown = window_.findChild<QMessageBox*>(QStringLiteral("errorAlert"));
          return shown && shown->isVisible();
        },
        20);
    return shown;
  }

  QWidget window_;
  test::FakeServices services_;
  SplashServices flow_;
  std::optional<ScopedServerURL> url_;
  test::TemporaryFolder downloads_;
};

TEST_F(UpdateFlow, AnInstallerNothingOpensIsNamedAndTheApplicationWaitsForTheUser) {
  server.installer("deb", {200, "package bytes", 1, ""});
  // xdg-open's answer when no program is registered for the type.
  const auto failing =
      downloads_.write("opener", "#!/bin/sh\necho 'xdg-open: no method available' >&2\nexit 3\n");
  std::filesystem::permissions(failing, std::filesystem::perms::owner_all);
  flow_.workspace = std::make_shared<QtWorkspace>(std::vector<std::string>{failing.string()}, 30);
  auto viewModel = acceptUpdate("deb");
  ASSERT_TRUE(test::runUntil([&] { return !services_.panel->shown.empty(); }, 20));
  const auto location = downloads_.path() / "Tovarine.deb";
  services_.panel->completions[0](SavePanel::Response::ok, location);
  QMessageBox* box = alert();
  ASSERT_NE(box, nullptr);
  EXPECT_NE(box->informativeText().toStdString().find(location.string()), std::string::npos)
      << box->informativeText().toStdString();
  EXPECT_EQ(read(location), "package bytes");
  EXPECT_EQ(services_.application->terminations, 0) << "quit before the user read the alert";
  test::saveScreenshot(window_.grab().toImage(), "update-not-opened-window");
  box->buttons().front()->click();
  ASSERT_TRUE(test::runUntil([&] { return services_.application->terminations == 1; }, 5));
}

TEST_F(UpdateFlow, AServerThatAnsweredWithAnErrorIsToldApartFromAConnectionThatFailed) {
  server.installer("broken", {500, "<html>oops</html>", 1, ""});
  server.installer("gone", {200, "never fetched", 1, ""});
  struct Row {
    const char* name;
    bool refuseConnection;
    const char* message;  // the test bundle has no table: the key, then its values
  } rows[] = {
      {"broken", false, "DOWNLOAD_SERVER_ERROR_MESSAGE: 500"},
      {"gone", true, "DOWNLOAD_FAILED_MESSAGE"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    server.answer(
        row.name,
        {200, R"({"name":"Tovarine","releaseVersion":2,"buildVersion":1,"isMandatory":true})"});
    url_.emplace(server.base(row.name));
    auto viewModel = SplashScreenViewModel::make(
        std::make_shared<UpdatorNetwork>(APIServiceManager::make()), flow_, bundle_.bundle());
    ASSERT_TRUE(test::runUntil([&] { return viewModel->versioning.get() != nullptr; }, 20));
    viewModel->versioning = nullptr;
    if (row.refuseConnection) {
      const std::string refusing = refusingAddress();
      ASSERT_FALSE(refusing.empty());
      url_.emplace(refusing);
    }
    viewModel->startInstallerDownload();
    ASSERT_TRUE(test::runUntil([&] { return viewModel->downloadFailed.get(); }, 20));
    EXPECT_EQ(viewModel->downloadFailureMessage.get(), row.message);
    EXPECT_TRUE(services_.alerts->shown.empty());
  }
}

}  // namespace app
