#include "platform/foundation/file_manager.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

namespace platform {

FileError::FileError(int code, std::string operation, std::string path, std::string otherPath)
    : code_(code),
      operation_(std::move(operation)),
      path_(std::move(path)),
      otherPath_(std::move(otherPath)) {}

std::string FileError::localizedDescription() const {
  const auto slash = path_.find_last_of('/');
  const std::string name = slash == std::string::npos ? path_ : path_.substr(slash + 1);
  return "The file \xE2\x80\x9C" + name + "\xE2\x80\x9D could not be " + operation_ + ": " +
         std::strerror(code_) + ".";
}

std::string FileError::debugDescription() const {
  std::string text = "FileError " + std::to_string(code_) + " (" + std::strerror(code_) +
                     "): could not be " + operation_ + ": " + path_;
  if (!otherPath_.empty()) text += " -> " + otherPath_;
  return text;
}

namespace {

namespace fs = std::filesystem;

[[noreturn]] void fail(int code, const char* operation, const std::string& path,
                       const std::string& otherPath = {}) {
  throw FileError(code, operation, path, otherPath);
}

std::string parentOf(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/')
    trimmed.pop_back();
  const auto slash = trimmed.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return trimmed.substr(0, slash);
}

std::string homeDirectory() {
  if (const char* home = std::getenv("HOME"); home && home[0] == '/') return home;
  if (const passwd* entry = getpwuid(geteuid()); entry && entry->pw_dir) return entry->pw_dir;
  return "/";
}

// An XDG base directory: the variable when it holds an absolute path, else the fallback under
// the home directory.
std::string xdgDirectory(const char* variable, const char* fallback) {
  if (const char* value = std::getenv(variable); value && value[0] == '/') return value;
  return homeDirectory() + "/" + fallback;
}

bool isPrivateDirectoryOfOurs(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return false;
  return S_ISDIR(info.st_mode) && info.st_uid == geteuid() && (info.st_mode & 077) == 0;
}

// Copies a regular file into a new file at `destination` (never replacing one), keeping its
// permissions. A partial copy is removed.
void copyRegularFile(const std::string& source, const std::string& destination, mode_t mode) {
  const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (in < 0) fail(errno, "moved", source, destination);
  const int out = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                         mode & 07777);
  if (out < 0) {
    const int code = errno;
    ::close(in);
    fail(code, "moved", source, destination);
  }
  int code = 0;
  char buffer[1 << 16];
  while (code == 0) {
    const ssize_t count = ::read(in, buffer, sizeof buffer);
    if (count == 0) break;
    if (count < 0) {
      if (errno != EINTR) code = errno;
      continue;
    }
    for (ssize_t done = 0; done < count && code == 0;) {
      const ssize_t written = ::write(out, buffer + done, static_cast<size_t>(count - done));
      if (written > 0) {
        done += written;
      } else if (written == 0 || errno != EINTR) {
        code = written == 0 ? ENOSPC : errno;
      }
    }
  }
  ::close(in);
  if (::close(out) != 0 && code == 0 && errno != EINTR) code = errno;
  if (code != 0) {
    ::unlink(destination.c_str());
    fail(code, "moved", source, destination);
  }
}

}  // namespace

std::shared_ptr<FileManager> FileManager::defaultManager() {
  static const auto manager = std::make_shared<FileManager>();
  return manager;
}

bool FileManager::fileExistsAtPath(const std::string& path, bool* isDirectory) const {
  struct stat info {};
  if (path.empty() || ::stat(path.c_str(), &info) != 0) return false;
  if (isDirectory) *isDirectory = S_ISDIR(info.st_mode);
  return true;
}

bool FileManager::checkResourceIsReachable(const std::string& path) const {
  struct stat info {};
  if (path.empty()) fail(ENOENT, "reached", path);
  if (::stat(path.c_str(), &info) != 0) fail(errno, "reached", path);
  return true;
}

FileAttributes FileManager::attributesOfItemAtPath(const std::string& path) const {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) fail(errno, "examined", path);
  FileAttributes attributes;
  if (S_ISREG(info.st_mode)) {
    attributes.type = FileAttributes::Type::regular;
  } else if (S_ISDIR(info.st_mode)) {
    attributes.type = FileAttributes::Type::directory;
  } else if (S_ISLNK(info.st_mode)) {
    attributes.type = FileAttributes::Type::symbolicLink;
  }
  attributes.size = static_cast<std::uint64_t>(info.st_size);
  attributes.posixPermissions = info.st_mode & 07777;
  attributes.ownerID = info.st_uid;
  return attributes;
}

void FileManager::createDirectoryAtPath(const std::string& path, bool withIntermediateDirectories,
                                        std::optional<mode_t> permissions) {
  if (path.empty()) fail(ENOENT, "created", path);
  if (withIntermediateDirectories) {
    bool isDirectory = false;
    if (fileExistsAtPath(path, &isDirectory)) {
      if (!isDirectory) fail(EEXIST, "created", path);
      return;
    }
    const std::string parent = parentOf(path);
    if (parent != path) createDirectoryAtPath(parent, true);
  }
  if (::mkdir(path.c_str(), permissions.value_or(0777)) != 0) {
    const int code = errno;
    // Made meanwhile by someone else: as good as made here.
    if (code == EEXIST && withIntermediateDirectories && fileExistsAtPath(path, nullptr)) return;
    fail(code, "created", path);
  }
  // The process's umask narrows mkdir's mode; asked-for permissions are set exactly.
  if (permissions && ::chmod(path.c_str(), *permissions) != 0) fail(errno, "created", path);
}

void FileManager::removeItemAtPath(const std::string& path) {
  struct stat info {};
  if (path.empty() || ::lstat(path.c_str(), &info) != 0)
    fail(path.empty() ? ENOENT : errno, "removed", path);
  std::error_code error;
  fs::remove_all(path, error);
  if (error) fail(error.value(), "removed", path);
}

void FileManager::moveItemAtPath(const std::string& source, const std::string& destination) {
  struct stat info {};
  if (::lstat(source.c_str(), &info) != 0) fail(errno, "moved", source, destination);
  if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) == 0) {
    return;
  }
  int code = errno;
  if (code == EINVAL) {
    // A file system without no-replace renames: check, then rename.
    struct stat existing {};
    if (::lstat(destination.c_str(), &existing) == 0) fail(EEXIST, "moved", source, destination);
    if (::rename(source.c_str(), destination.c_str()) == 0) return;
    code = errno;
  }
  if (code != EXDEV) fail(code, "moved", source, destination);
  // Another file system: copy, then remove the original.
  if (S_ISREG(info.st_mode)) {
    copyRegularFile(source, destination, info.st_mode);
  } else {
    struct stat existing {};
    if (::lstat(destination.c_str(), &existing) == 0) fail(EEXIST, "moved", source, destination);
    std::error_code error;
    fs::copy(source, destination, fs::copy_options::recursive | fs::copy_options::copy_symlinks,
             error);
    if (error) {
      std::error_code ignored;
      fs::remove_all(destination, ignored);
      fail(error.value(), "moved", source, destination);
    }
  }
  std::error_code error;
  fs::remove_all(source, error);
  if (error) fail(error.value(), "moved", source, destination);
}

std::vector<std::string> FileManager::pathsForDirectory(SearchPathDirectory directory,
                                                        SearchPathDomainMask domains) const {
  if ((static_cast<unsigned>(domains) & static_cast<unsigned>(SearchPathDomainMask::user)) == 0) {
    return {};
  }
  switch (directory) {
    case SearchPathDirectory::cachesDirectory:
      return {xdgDirectory("XDG_CACHE_HOME", ".cache")};
    case SearchPathDirectory::applicationSupportDirectory:
      return {xdgDirectory("XDG_DATA_HOME", ".local/share")};
  }
  return {};
}

std::string FileManager::temporaryDirectory() const {
  if (const char* value = std::getenv("TMPDIR"); value && value[0] == '/') {
    std::string path = value;
    while (path.size() > 1 && path.back() == '/')
      path.pop_back();
    return path;
  }
  // /tmp is shared by every user: ours is a directory only we can enter. One that is not ours
  // (or not private) is not used; a fresh one is made for this process instead.
  static std::once_flag once;
  static std::string directory;
  std::call_once(once, [] {
    const std::string path = "/tmp/tovarine-" + std::to_string(geteuid());
    if (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) {
      if (isPrivateDirectoryOfOurs(path)) {
        directory = path;
        return;
      }
    }
    std::string pattern = path + "-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) {
      directory = pattern;
      return;
    }
    directory = "/tmp";
  });
  return directory;
}

}  // namespace platform
