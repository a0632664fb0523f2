#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// The folder of resources that ships with the program: TOVARINE_RESOURCES when set and not
// empty, else "resources" beside the executable when that is a folder, else
// "../share/tovarine" from the executable's folder when that is one, else "resources" beside
// the executable (which may not exist).
std::filesystem::path mainBundlePath();
// The same choice for a given value of the variable (null: unset) and executable path.
std::filesystem::path mainBundlePathFor(const char* variable,
                                        const std::filesystem::path& executable);

// A folder of resources.
class Bundle {
 public:
  explicit Bundle(std::filesystem::path path) : path_(std::move(path)) {}
  static Bundle main() { return Bundle(mainBundlePath()); }

  const std::filesystem::path& path() const { return path_; }
  // The regular files directly in the folder whose extension is `type` (with or without its
  // leading dot; compared case-sensitively), in name order. None when the folder is missing.
  std::vector<std::filesystem::path> pathsForResourcesOfType(const std::string& type) const;

 private:
  std::filesystem::path path_;
};

}  // namespace platform
