#include "platform/foundation/file_manager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace platform {
namespace {

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

void writeFile(const std::string& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary) << contents;
}

// A fresh directory for one test, under `parent`, removed afterwards.
class ScratchDirectory {
 public:
  explicit ScratchDirectory(const std::string& parent = "/tmp") {
    std::string pattern = parent + "/file-manager-test-XXXXXX";
    path_ = mkdtemp(pattern.data()) ? pattern : std::string();
  }
  ~ScratchDirectory() {
    if (!path_.empty()) std::filesystem::remove_all(path_);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets an environment variable for one test and restores it afterwards.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnvironment() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(FileManager, MovesWithinAFileSystemAndNeverReplaces) {
  ScratchDirectory scratch;
  auto manager = FileManager::defaultManager();
  writeFile(scratch / "a", "first");
  writeFile(scratch / "b", "second");

  EXPECT_THROW(manager->moveItemAtPath(scratch / "a", scratch / "b"), FileError);
  EXPECT_EQ(readFile(scratch / "b"), "second");

  manager->moveItemAtPath(scratch / "a", scratch / "c");
  EXPECT_FALSE(manager->fileExistsAtPath(scratch / "a"));
  EXPECT_EQ(readFile(scratch / "c"), "first");

  try {
    manager->moveItemAtPath(scratch / "missing", scratch / "d");
    FAIL() << "a missing source moved";
  } catch (const FileError& error) {
    EXPECT_EQ(error.code(), ENOENT);
    EXPECT_EQ(error.localizedDescription(),
              "The file \xE2\x80\x9Cmissing\xE2\x80\x9D could not be moved: No such file or "
              "directory.");
  }
}

TEST(FileManager, MovesAcrossFileSystemsByCopyingAndRemoving) {
  ScratchDirectory here("/tmp");
  ScratchDirectory there("/dev/shm");
  struct stat a {
  }, b{};
  if (there.path().empty() || stat(here.path().c_str(), &a) != 0 ||
      stat(there.path().c_str(), &b) != 0 || a.st_dev == b.st_dev) {
    GTEST_SKIP() << "no second file system to move to";
  }
  auto manager = FileManager::defaultManager();
  std::string contents(300000, 'x');
  contents[12345] = 'y';
  writeFile(here / "file", contents);
  chmod((here / "file").c_str(), 0640);
  manager->moveItemAtPath(here / "file", there / "file");
  EXPECT_FALSE(manager->fileExistsAtPath(here / "file"));
  EXPECT_EQ(readFile(there / "file"), contents);
  EXPECT_EQ(manager->attributesOfItemAtPath(there / "file").posixPermissions, 0640u);

  // A directory tree goes across too.
  manager->createDirectoryAtPath(here / "tree/inner", true);
  writeFile(here / "tree/inner/leaf", "leaf");
  manager->moveItemAtPath(here / "tree", there / "tree");
  EXPECT_EQ(readFile(there / "tree/inner/leaf"), "leaf");
  EXPECT_FALSE(manager->fileExistsAtPath(here / "tree"));

  // An existing destination is refused and the source kept.
  writeFile(here / "again", "again");
  EXPECT_THROW(manager->moveItemAtPath(here / "again", there / "file"), FileError);
  EXPECT_EQ(readFile(here / "again"), "again");
  EXPECT_EQ(readFile(there / "file"), contents);
}

TEST(FileManager, CreatesDirectoriesWithAndWithoutIntermediates) {
  ScratchDirectory scratch;
  auto manager = FileManager::defaultManager();
  EXPECT_THROW(manager->createDirectoryAtPath(scratch / "x/y", false), FileError);
  manager->createDirectoryAtPath(scratch / "x/y/z", true);
  bool isDirectory = false;
  EXPECT_TRUE(manager->fileExistsAtPath(scratch / "x/y/z", &isDirectory));
  EXPECT_TRUE(isDirectory);
  // Existing: fine with intermediates, an error without.
  manager->createDirectoryAtPath(scratch / "x/y/z", true);
  EXPECT_THROW(manager->createDirectoryAtPath(scratch / "x/y/z", false), FileError);
  // A file in the way is never taken for a directory.
  writeFile(scratch / "file", "");
  EXPECT_THROW(manager->createDirectoryAtPath(scratch / "file", true), FileError);

  // Asked-for permissions hold whatever the umask says.
  const mode_t old = umask(022);
  manager->createDirectoryAtPath(scratch / "private", true, 0700);
  umask(old);
  EXPECT_EQ(manager->attributesOfItemAtPath(scratch / "private").posixPermissions, 0700u);
}

TEST(FileManager, RemovesFilesAndTreesAndReportsMissingItems) {
  ScratchDirectory scratch;
  auto manager = FileManager::defaultManager();
  manager->createDirectoryAtPath(scratch / "tree/a/b", true);
  writeFile(scratch / "tree/a/b/file", "x");
  manager->removeItemAtPath(scratch / "tree");
  EXPECT_FALSE(manager->fileExistsAtPath(scratch / "tree"));
  EXPECT_THROW(manager->removeItemAtPath(scratch / "tree"), FileError);
  EXPECT_THROW(manager->checkResourceIsReachable(scratch / "tree"), FileError);
  writeFile(scratch / "file", "abc");
  EXPECT_TRUE(manager->checkResourceIsReachable(scratch / "file"));
  const auto attributes = manager->attributesOfItemAtPath(scratch / "file");
  EXPECT_EQ(attributes.type, FileAttributes::Type::regular);
  EXPECT_EQ(attributes.size, 3u);
}

TEST(FileManager, CachesFollowXDGAndOnlyTheUserDomainHasDirectories) {
  auto manager = FileManager::defaultManager();
  {
    ScopedEnvironment cache("XDG_CACHE_HOME", "/somewhere/cache");
    EXPECT_EQ(manager->pathsForDirectory(SearchPathDirectory::cachesDirectory,
                                         SearchPathDomainMask::user),
              std::vector<std::string>{"/somewhere/cache"});
  }
  {
    // A relative value is not a base directory; the home's .cache is.
    ScopedEnvironment cache("XDG_CACHE_HOME", "relative");
    ScopedEnvironment home("HOME", "/home/someone");
    EXPECT_EQ(manager->pathsForDirectory(SearchPathDirectory::cachesDirectory,
                                         SearchPathDomainMask::user),
              std::vector<std::string>{"/home/someone/.cache"});
  }
  EXPECT_TRUE(
      manager->pathsForDirectory(SearchPathDirectory::cachesDirectory, SearchPathDomainMask::system)
          .empty());
  EXPECT_TRUE(
      manager->pathsForDirectory(static_cast<SearchPathDirectory>(1), SearchPathDomainMask::user)
          .empty());
}

TEST(FileManager, TemporaryDirectoryIsTMPDIROrAPrivateDirectoryOfTheUser) {
  auto manager = FileManager::defaultManager();
  {
    ScopedEnvironment tmp("TMPDIR", "/var/tmp/");
    EXPECT_EQ(manager->temporaryDirectory(), "/var/tmp");
  }
  ScopedEnvironment tmp("TMPDIR", nullptr);
  const std::string directory = manager->temporaryDirectory();
  ASSERT_TRUE(directory.starts_with("/tmp/tovarine-" + std::to_string(geteuid())));
  const auto attributes = manager->attributesOfItemAtPath(directory);
  EXPECT_EQ(attributes.type, FileAttributes::Type::directory);
  EXPECT_EQ(attributes.posixPermissions, 0700u);
  EXPECT_EQ(attributes.ownerID, geteuid());
}

}  // namespace
}  // namespace platform
