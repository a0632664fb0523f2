#include "platform/foundation/bundle.h"

#include <algorithm>
#include <cstdlib>

namespace platform {

std::filesystem::path mainBundlePathFor(const char* variable,
                                        const std::filesystem::path& executable) {
  if (variable != nullptr && *variable != '\0') return variable;
  if (executable.empty()) return {};
  // Beside the executable in the build tree; under the prefix's share folder once installed, so
  // an installed copy runs from any prefix without a path compiled in.
  const auto folder = executable.parent_path();
  const std::filesystem::path candidates[] = {folder / "resources",
                                              folder.parent_path() / "share" / "tovarine"};
  std::error_code error;
  for (const auto& candidate : candidates) {
    if (std::filesystem::is_directory(candidate, error)) return candidate;
  }
  return candidates[0];
}

std::filesystem::path mainBundlePath() {
  std::error_code error;
  const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
  return mainBundlePathFor(std::getenv("TOVARINE_RESOURCES"),
                           error ? std::filesystem::path() : executable);
}

std::vector<std::filesystem::path> Bundle::pathsForResourcesOfType(const std::string& type) const {
  const std::string extension = "." + (type.starts_with('.') ? type.substr(1) : type);
  std::vector<std::filesystem::path> paths;
  std::error_code error;
  if (path_.empty() || !std::filesystem::is_directory(path_, error)) return paths;
  for (const auto& entry : std::filesystem::directory_iterator(path_, error)) {
    if (entry.is_regular_file(error) && entry.path().extension() == extension) {
      paths.push_back(entry.path());
    }
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

}  // namespace platform
