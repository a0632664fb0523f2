#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/error.h"

namespace platform {

// A failure of a file-system operation: the POSIX error number, what was being done and the
// path (or the two paths of a move).
class FileError : public Error {
 public:
  FileError(int code, std::string operation, std::string path, std::string otherPath = {});

  int code() const { return code_; }
  const std::string& operation() const { return operation_; }
  const std::string& path() const { return path_; }

  // "The file “a.txt” could not be moved: No such file or directory."
  std::string localizedDescription() const override;
  std::string debugDescription() const override;

 private:
  int code_;
  std::string operation_;
  std::string path_;
  std::string otherPath_;
};

// Well-known directories, in the platform's numbering. Only those this program asks for have a
// place here; the others yield no URL.
enum class SearchPathDirectory : unsigned {
  cachesDirectory = 13,
  applicationSupportDirectory = 14
};
// The domains a directory is looked up in; only the user's domain has directories here.
enum class SearchPathDomainMask : unsigned { user = 1, local = 2, network = 4, system = 8 };

struct FileAttributes {
  enum class Type { regular, directory, symbolicLink, other };
  Type type = Type::other;
  std::uint64_t size = 0;
  mode_t posixPermissions = 0;
  uid_t ownerID = 0;
};

// Questions and changes of the file system, by path (callers holding file URLs pass their
// paths). Errors are thrown as `FileError`. The operations are virtual so that tests can stand
// in a file system that fails on purpose.
class FileManager {
 public:
  virtual ~FileManager() = default;

  static std::shared_ptr<FileManager> defaultManager();

  // Whether something exists at `path` (following symbolic links), and whether it is a
  // directory.
  virtual bool fileExistsAtPath(const std::string& path, bool* isDirectory = nullptr) const;
  // Throws when the item at `path` cannot be reached; true otherwise.
  virtual bool checkResourceIsReachable(const std::string& path) const;
  // The item itself (a symbolic link is not followed).
  virtual FileAttributes attributesOfItemAtPath(const std::string& path) const;

  // Creates the directory. With intermediates, missing parents are made too and an existing
  // directory is fine; without, the parent must exist and the directory must not. With
  // `permissions`, the new directory gets exactly these (parents get the default).
  virtual void createDirectoryAtPath(const std::string& path, bool withIntermediateDirectories,
                                     std::optional<mode_t> permissions = std::nullopt);
  // Removes a file, a link or a whole directory tree.
  virtual void removeItemAtPath(const std::string& path);
  // Moves an item to a place where nothing is yet. Across file systems the item is copied and
  // the original removed; a partial copy is cleaned away when that fails.
  virtual void moveItemAtPath(const std::string& source, const std::string& destination);

  // The directories of that kind in the given domains: the caches directory is
  // $XDG_CACHE_HOME (or ~/.cache), application support $XDG_DATA_HOME (or ~/.local/share).
  virtual std::vector<std::string> pathsForDirectory(SearchPathDirectory directory,
                                                     SearchPathDomainMask domains) const;
  // A temporary directory only this user can enter: $TMPDIR when set, else a directory of
  // the user's own under /tmp, made private on first use.
  virtual std::string temporaryDirectory() const;
};

using FileManagerPtr = std::shared_ptr<FileManager>;

}  // namespace platform
