#include <gtest/gtest.h>

#include <fstream>

#include "app/service/api_request.h"
#include "app/service/api_service_error.h"
#include "app/service/console_excerpt.h"
#include "app/service/custom_cache.h"
#include "app/service/free_space.h"
#include "app/service/installer_downloader.h"
#include "app/splash/splash_services.h"
#include "app/support/app_test_support.h"
#include "halyard/core/halyard_error.h"
#include "platform/foundation/log.h"
#include "platform/net/url_error.h"

namespace app {
namespace {

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) previous_ = old;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (previous_) {
      setenv(name_, previous_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> previous_;
};

struct OtherObject : CacheObject {};

}  // namespace

TEST(ExpiringCache, EntriesExpireStrictlyAfterTheirDate) {
  CacheEntry<int> noExpiry(1, std::nullopt);
  EXPECT_FALSE(noExpiry.isContentDiscarded());
  EXPECT_FALSE(noExpiry.beginContentAccess());
  EXPECT_FALSE(noExpiry.isContentDiscarded());

  CacheEntry<int> past(2, platform::Date::now() - 1.0);
  EXPECT_FALSE(past.isContentDiscarded());  // no check made yet
  EXPECT_TRUE(past.beginContentAccess());
  EXPECT_TRUE(past.isContentDiscarded());

  const platform::Date fixed = platform::Date::now();
  auto previous = platform::setDateClock([fixed] { return fixed; });
  CacheEntry<int> expiringNow(3, fixed);
  EXPECT_FALSE(expiringNow.beginContentAccess());
  platform::setDateClock(previous);
}

TEST(ExpiringCache, KeyWrappersCompareByKey) {
  KeyWrapper<std::string> a("k"), b("k"), c("other");
  KeyWrapper<int> number(1);
  OtherObject other;
  EXPECT_TRUE(a.isEqual(&b));
  EXPECT_EQ(a.hash(), b.hash());
  EXPECT_FALSE(a.isEqual(&c));
  EXPECT_FALSE(a.isEqual(&number));
  EXPECT_FALSE(a.isEqual(&other));
  EXPECT_FALSE(a.isEqual(nullptr));
}

TEST(ExpiringCache, TheMemoryCacheHonoursItsEvictionFlag) {
  using Storage = CustomCache<std::string, int>::Storage;
  for (bool evicts : {true, false}) {
    auto storage = std::make_shared<Storage>(evicts);
    CustomCache<std::string, int> cache(storage);
    storage->setObject(std::make_shared<CacheEntry<int>>(1, platform::Date::now() - 5),
                       std::make_shared<const KeyWrapper<std::string>>("old"));
    storage->setObject(std::make_shared<CacheEntry<int>>(2, std::nullopt),
                       std::make_shared<const KeyWrapper<std::string>>("new"));
    EXPECT_EQ(storage->object(KeyWrapper<std::string>("new"))->value(), 2);
    auto old = storage->object(KeyWrapper<std::string>("old"));
    EXPECT_EQ(old == nullptr, evicts);
    storage->removeObject(KeyWrapper<std::string>("new"));
    EXPECT_EQ(storage->object(KeyWrapper<std::string>("new")), nullptr);
  }
}

TEST(InstallerName, ReducedToAPlainNameInTheApplicationsCacheFolder) {
  EXPECT_EQ(safeInstallerFileName("Tovarine.deb"), "Tovarine.deb");
  EXPECT_EQ(safeInstallerFileName("../x"), "x");
  EXPECT_EQ(safeInstallerFileName("../../etc/passwd"), "passwd");
  EXPECT_EQ(safeInstallerFileName("..\\..\\evil.dmg"), "evil.dmg");
  EXPECT_EQ(safeInstallerFileName("/abs/path/a.dmg"), "a.dmg");
  EXPECT_EQ(safeInstallerFileName(".."), "Tovarine.deb");
  EXPECT_EQ(safeInstallerFileName("dir/"), "Tovarine.deb");
  EXPECT_EQ(safeInstallerFileName(".hidden"), "Tovarine.deb");
  EXPECT_EQ(safeInstallerFileName("-rf"), "Tovarine.deb");
  EXPECT_EQ(safeInstallerFileName(""), "Tovarine.deb");
  EXPECT_EQ(safeInstallerFileName(std::string("a\nb\x01.dmg")), "a_b_.dmg");
  EXPECT_LE(safeInstallerFileName(std::string(500, 'x')).size(), 200u);
  // A long name of two-byte characters is never cut inside one.
  const std::string cut = safeInstallerFileName(std::string("a") + std::string(300, '\xC3'));
  EXPECT_LE(cut.size(), 200u);

  ScopedEnv cache("XDG_CACHE_HOME", "/tmp/tovarine-cache-test");
  EXPECT_EQ(installerDestination("../x"),
            std::filesystem::path("/tmp/tovarine-cache-test/tovarine/x"));
  ScopedEnv relative("XDG_CACHE_HOME", "relative");
  ScopedEnv home("HOME", "/home/someone");
  EXPECT_EQ(installerCacheFolder(), std::filesystem::path("/home/someone/.cache/tovarine"));
}

TEST(ConsoleExcerpt, KeepsTheConsoleShortAndFreeOfTheSendersControlCharacters) {
  struct Row {
    std::string text;
    std::size_t limit;
    std::string printed;
  };
  const Row rows[] = {
      {"plain text", 200, "plain text"},
      {"red\x1b[31m\r\nforged line\x7f", 200, "red\\u{1B}[31m\\u{D}\\u{A}forged line\\u{7F}"},
      {std::string(300, 'x'), 10, "xxxxxxxxxx… (300 bytes in all)"},
      // Never cut inside a character.
      {"a\xC3\xA9"
       "b",
       2, "a… (4 bytes in all)"},
      {"", 5, ""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(consoleExcerpt(row.text, row.limit), row.printed) << row.text;
  }
}

TEST(ApiServiceError, EachFailureHasItsOwnKind) {
  using Kind = ApiServiceError::Kind;
  using H = halyard::HalyardError;
  auto task = [](platform::URLError::Code code) {
    return H::sessionTaskFailed(platform::makeError(platform::URLError(code)));
  };
  const std::pair<H, Kind> rows[] = {
      {task(platform::URLError::Code::timedOut), Kind::timedOut},
      {task(platform::URLError::Code::cannotConnectToHost), Kind::networkError},
      {task(platform::URLError::Code::cannotFindHost), Kind::networkError},
      {task(platform::URLError::Code::dataLengthExceedsMaximum), Kind::undecodableAnswer},
      {task(platform::URLError::Code::unsupportedURL), Kind::invalidAddress},
      {H::invalidURL(halyard::URLConvertible(std::string("::"))), Kind::invalidAddress},
      {H::responseValidationFailed(H::ResponseValidationFailureReason::UnacceptableStatusCode{404}),
       Kind::rejectedStatus},
      {H::responseSerializationFailed(
           H::ResponseSerializationFailureReason::InputDataNilOrZeroLength{}),
       Kind::undecodableAnswer},
      {H::explicitlyCancelled(), Kind::networkError},
  };
  for (const auto& [error, kind] : rows)
    EXPECT_EQ(failureKind(error), kind) << error.debugDescription();
  // The log line names the kind, and only the start of a long account.
  auto resource =
      std::make_shared<UpdatorCloudCommonResource>(UpdatorCloudCommonRouter::getVersioning);
  const ApiServiceError timedOut(resource, std::nullopt, std::string(1000, 'x'), Kind::timedOut);
  EXPECT_EQ(timedOut.debugDescription().rfind(
                "ApiServiceError(timedOut, resource: /wp-content/uploads/tovarine/"
                "TovarineVersioning.json, underlying: xxx",
                0),
            0u)
      << timedOut.debugDescription();
  EXPECT_LT(timedOut.debugDescription().size(), 300u);
  EXPECT_EQ(timedOut.localizedDescription(), "The update server did not answer in time.");
  EXPECT_EQ(ApiServiceError(resource, 503).kind(), Kind::rejectedStatus);
}

TEST(AtomicFileWriter, AFolderWithoutRoomIsNamedAndGetsNothing) {
  test::TemporaryFolder folder;
  const auto source = folder.write("source.deb", std::string(5000, 'x'));
  struct Row {
    const char* name;
    std::optional<std::uint64_t> free;
    bool written;
  } rows[] = {
      {"room to spare", 1 << 20, true},       {"exactly enough", 5000, true},
      {"one byte short", 4999, false},        {"full", 0, false},
      {"unknown: tried", std::nullopt, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    test::TemporaryFolder target;
    std::vector<std::filesystem::path> asked;
    AtomicFileWriter writer([&](const std::filesystem::path& path) {
      asked.push_back(path);
      return row.free;
    });
    // The folder of the file, or the nearest one that exists.
    auto written = writer.copy(source, target.path() / "Tovarine.deb");
    ASSERT_FALSE(asked.empty());
    EXPECT_EQ(asked.front(), target.path());
    EXPECT_EQ(written.has_value(), row.written);
    if (row.written) continue;
    ASSERT_TRUE(written.error().shortage.has_value());
    EXPECT_EQ(written.error().shortage->folder, target.path());
    EXPECT_EQ(written.error().shortage->neededBytes, 5000u);
    EXPECT_EQ(written.error().shortage->freeBytes, *row.free);
    EXPECT_TRUE(std::filesystem::is_empty(target.path())) << "something was left behind";
  }
}

TEST(ByteCountText, ReadsAsPeopleReadSizes) {
  const std::pair<std::uint64_t, const char*> rows[] = {
      {0, "0 bytes"},          {999, "999 bytes"},        {1000, "1.0 kB"},
      {1500, "1.5 kB"},        {999'960, "1.0 MB"},       {33'554'432, "33.6 MB"},
      {67'108'864, "67.1 MB"}, {2'147'483'648, "2.1 GB"}, {5'000'000'000'000, "5.0 TB"},
  };
  for (const auto& [bytes, text] : rows)
    EXPECT_EQ(byteCountText(bytes), text) << bytes;
}

TEST(AtomicFileWriter, CopiesWholeFilesAndReportsFailures) {
  test::TemporaryFolder sources;
  test::TemporaryFolder folder;
  AtomicFileWriter writer;
  auto source = [&](const std::string& name, const std::string& content) {
    std::ofstream(sources.path() / name, std::ios::binary) << content;
    return sources.path() / name;
  };
  auto read = [](const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  // Larger than one piece of the copy, and not a multiple of it.
  std::string large(3 * (1 << 20) + 17, '\0');
  for (std::size_t i = 0; i < large.size(); ++i)
    large[i] = static_cast<char>(i * 31 + i / 4099);
  const auto target = folder.path() / "Tovarine.deb";
  ASSERT_TRUE(writer.copy(source("dmg", "dmg"), target).has_value());
  EXPECT_EQ(read(target), "dmg");
  // Replacing keeps no temporary files behind.
  ASSERT_TRUE(writer.copy(source("large", large), target).has_value());
  EXPECT_EQ(read(target), large);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()),
                          std::filesystem::directory_iterator()),
            1);
  auto failed = writer.copy(source("a", "a"), folder.path() / "missing" / "a.dmg");
  ASSERT_FALSE(failed.has_value());
  EXPECT_FALSE(failed.error().reason.empty());
  EXPECT_FALSE(failed.error().shortage.has_value());
  EXPECT_FALSE(writer.copy(source("b", "b"), std::filesystem::path()).has_value());
  // A source that vanished leaves the earlier file as it was.
  EXPECT_FALSE(writer.copy(sources.path() / "gone", target).has_value());
  EXPECT_EQ(read(target), large);
}

TEST(APIRequest, BuildsAGetOfTheConfiguredServer) {
  ScopedEnv server("TOVARINE_UPDATE_URL", "http://127.0.0.1:8123/");
  APIRequest request(
      std::make_shared<UpdatorCloudCommonResource>(UpdatorCloudCommonRouter::getVersioning));
  const auto urlRequest = request.toURLRequest();
  EXPECT_EQ(urlRequest.url->absoluteString(),
            "http://127.0.0.1:8123/wp-content/uploads/tovarine/TovarineVersioning.json");
  EXPECT_EQ(urlRequest.httpMethod, "GET");
  EXPECT_EQ(urlRequest.timeoutInterval, 60.0);
  EXPECT_EQ(urlRequest.valueForHTTPHeaderField("Content-Type"), "application/json");
  APIRequest installer(std::make_shared<UpdatorCloudCommonResource>(
      UpdatorCloudCommonRouter::downloadFileVersioning));
  EXPECT_EQ(installer.toURLRequest().url->absoluteString(),
            "http://127.0.0.1:8123/wp-content/uploads/tovarine/Tovarine.deb");
}

TEST(APIRequest, WithoutAServerTheAddressIsInvalid) {
  test::ScopedTestBundle bundle(R"({"TovarineUpdateURL":""})", {});
  for (const char* base : {static_cast<const char*>(nullptr), "ftp://h", "not a url", "http://"}) {
    ScopedEnv server("TOVARINE_UPDATE_URL", base);
    APIRequest request(
        std::make_shared<UpdatorCloudCommonResource>(UpdatorCloudCommonRouter::getVersioning));
    try {
      request.toURLRequest();
      ADD_FAILURE() << "no error for " << (base ? base : "(none)");
    } catch (const halyard::HalyardError& error) {
      EXPECT_TRUE(error.isInvalidURL());
    }
  }
}

TEST(APIRequest, TheBundleNamesTheServerUnlessTheEnvironmentDoes) {
  test::ScopedTestBundle bundle(R"({"TovarineUpdateURL":"https://updates.test"})", {});
  ScopedEnv none("TOVARINE_UPDATE_URL", nullptr);
  EXPECT_EQ(routerAddress(UpdatorCloudCommonRouter::getVersioning),
            "https://updates.test/wp-content/uploads/tovarine/TovarineVersioning.json");
  ScopedEnv set("TOVARINE_UPDATE_URL", "http://127.0.0.1:1");
  EXPECT_EQ(updateServerBaseURL(), "http://127.0.0.1:1");
}

}  // namespace app
